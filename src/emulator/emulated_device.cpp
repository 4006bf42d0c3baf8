#include "emulator/emulated_device.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>

#include "platform/clock/clock.h"
#include "platform/volumes/volumes.h"

namespace emulator {

using platform::ScsiDirection;
using platform::ScsiRequest;

namespace {

constexpr std::uint32_t kSpiChunk = 65536;
constexpr std::uint64_t kSysAreaUnit = 4ull << 20;
constexpr std::size_t kTraceLimit = 1u << 20;  // oldest trace and block-test entries are dropped past this
constexpr std::uint8_t kVendorIn = 0xEF;
constexpr std::uint8_t kVendorOut = 0xEE;

std::uint32_t Be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}
std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }
void PutBe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

std::uint64_t Mix(std::uint64_t x) {  // splitmix64 finaliser
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}
double Unit(std::uint64_t h) { return static_cast<double>(h >> 11) * 0x1.0p-53; }

std::uint64_t Fnv(const std::uint8_t* p, std::size_t n) {
  std::uint64_t h = 0xCBF29CE484222325ull;
  for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001B3ull;
  return h;
}

bool PowerOfTwo(std::uint32_t v) { return v != 0 && std::has_single_bit(v); }

std::uint64_t RoundUp(std::uint64_t v, std::uint64_t unit) { return (v + unit - 1) / unit * unit; }

// The range of blocks, pages, SPI units or LBAs a request addresses, for faults.
std::optional<std::pair<std::uint64_t, std::uint64_t>> AddressRange(const std::uint8_t* c, std::uint8_t cdbLength) {
  auto range = [](std::uint64_t start, std::uint64_t count) {
    return std::make_optional(std::make_pair(start, std::max<std::uint64_t>(count, 1)));
  };
  if ((c[0] == kVendorIn || c[0] == kVendorOut) && cdbLength >= 8) {
    switch (c[1]) {
      case 0x93: case 0x94: case 0x95: case 0x96: return range(Be32(c + 2), Be16(c + 6));
      case 0x9D: case 0x9E: return range(Be16(c + 2), Be16(c + 4));
      default: return std::nullopt;
    }
  }
  if ((c[0] == kVendorIn || c[0] == kVendorOut) && cdbLength >= 6 && (c[1] == 0x9D || c[1] == 0x9E))
    return range(Be16(c + 2), Be16(c + 4));
  if ((c[0] == 0x28 || c[0] == 0x2A) && cdbLength >= 9) return range(Be32(c + 2), Be16(c + 7));
  return std::nullopt;
}

struct FailureRule {
  BlockFailure failure;
  bool fired = false;
};

struct ActiveFault {
  Fault fault;
  std::uint32_t seen = 0;
};

enum class Outcome { Done, CheckCondition, FailCall };

// Sense keys and additional sense codes of the model's own refusals.
constexpr std::uint8_t kNotReady = 0x02, kIllegalRequest = 0x05;
constexpr std::uint8_t kInvalidOpcode = 0x20, kOutOfRange = 0x21, kInvalidField = 0x24, kNoMedium = 0x3A;

enum BlockMark : std::uint8_t { kGood = 0, kFactoryBad = 1, kGrownBad = 2 };

struct BlockInfo {
  std::uint8_t mark = kGood;
  std::uint32_t erases = 0;
  std::uint32_t programs = 0;
  std::uint32_t tests = 0;
  std::uint64_t lastWrite = 0;  // sequence number of the newest page written into it
};

// Commands that reach the flash through the FSM, and of those the ones whose
// wrappers read a status byte (the others can only see a failed call).
bool NeedsFsm(std::uint8_t sub) {
  switch (sub) {
    case 0x73: case 0x7A: case 0x7B: case 0x7C: case 0x80: case 0x93: case 0x94:
    case 0x95: case 0x96: case 0x97: case 0x98: case 0x9B: return true;
    default: return false;
  }
}
bool AnswersStatus(std::uint8_t sub, ScsiDirection direction) {
  switch (sub) {
    case 0x73: case 0x7A: case 0x7C: case 0x93: case 0x94: return true;
    case 0x95: return direction == ScsiDirection::In;  // the 16-byte form answers a status
    default: return false;
  }
}

}  // namespace

namespace detail {
struct DeviceState {
  std::filesystem::path folder;
  std::filesystem::path userPath;
  std::filesystem::path hiddenPath;
  mutable std::mutex mutex;

  // ---- kept across plug cycles ----
  std::vector<BlockInfo> blocks;  // the physical blocks
  std::unordered_map<std::uint32_t, std::vector<FailureRule>> failures;
  std::vector<BlockTestOverride> overrides;
  std::map<std::uint32_t, std::map<std::uint32_t, Bytes>> pages;  // written pages only
  std::map<std::uint32_t, Bytes> spi;                             // 64 KiB chunks written so far
  std::vector<ActiveFault> faults;
  std::deque<TraceEntry> trace;
  std::deque<BlockTestRecord> blockTests;
  std::uint32_t resets = 0;
  std::array<std::uint8_t, 4> chipModel{};
  std::function<void(EmulatedDevice&)> onReset;
  std::uint64_t writeSeq = 0;

  // ---- re-enumeration after a reset (its own lock: the thread plugs the device) ----
  std::mutex replugMutex;
  std::condition_variable replugCv;
  std::thread replug;
  bool replugCancel = false;

  // ---- the plug cycle ----
  std::uint64_t generation = 0;
  bool plugged = false;
  char letter = 0;
  std::shared_ptr<EmulatedTarget> target;

  // ---- the controller's working state, fresh at every power-up ----
  Geometry geometry;
  std::optional<Bytes> flashTable;
  bool flashTableRun = false;  // consecutive table pieces: only the first carries the table
  Bytes pageTable;
  bool fsmActive = false;
  bool fsmLoaded = false;
  Sense sense;  // of the request being answered, when it is refused
  std::uint32_t fsmAnnounced = 0;
  Bytes fsm;
  std::optional<DownloadedImage> download;
  std::vector<DownloadedImage> images;
  std::uint64_t spiNext = 0;
  std::optional<std::uint8_t> sysArea;
  std::optional<std::uint8_t> moduleNo;
  std::map<std::uint8_t, std::uint8_t> settings;
  Disk visible = Disk::None;
  Disk started = Disk::None;  // what START DISK showed (START STOP UNIT brings it back)
  std::optional<DiskLayout> layout;
  int userFd = -1;
  int hiddenFd = -1;
};
}  // namespace detail

using detail::DeviceState;

// ---------------------------------------------------------------------------

namespace {

// Helpers that run under the device's lock.
class Model {
 public:
  Model(const DeviceProfile& p, DeviceState& s) : p_(p), s_(s) {}

  std::uint32_t Physical() const { return static_cast<std::uint32_t>(s_.blocks.size()); }
  std::uint32_t ActiveBlocks() const { return std::uint32_t{p_.chipCount} * s_.geometry.blocksPerChip; }

  bool IsBad(std::uint32_t b) const { return b >= Physical() || s_.blocks[b].mark != kGood; }

  void Grow(std::uint32_t b) {
    if (b < Physical() && s_.blocks[b].mark == kGood) s_.blocks[b].mark = kGrownBad;
  }

  // One erase or program of block b; false when it fails.
  bool Operate(std::uint32_t b, FlashOp op) {
    if (IsBad(b)) return false;
    auto& info = s_.blocks[b];
    const std::uint32_t n = op == FlashOp::Erase ? ++info.erases : ++info.programs;
    auto it = s_.failures.find(b);
    if (it == s_.failures.end()) return true;
    for (auto& rule : it->second) {
      const BlockFailure& f = rule.failure;
      if (f.op != op) continue;
      switch (f.mode) {
        case FailMode::Permanent:
          Grow(b);
          return false;
        case FailMode::AfterOperations:
          if (n > f.after) {
            Grow(b);
            return false;
          }
          break;
        case FailMode::Once:
          if (!rule.fired && n == f.after + 1) {
            rule.fired = true;
            return false;
          }
          break;
      }
    }
    return true;
  }

  std::uint8_t Errors(std::uint32_t b, std::uint32_t page) const {
    if (!p_.pageErrors.empty()) {
      auto it = p_.pageErrors.find({b, page});
      if (it != p_.pageErrors.end()) return it->second;
    }
    if (!p_.weakPages.empty()) {
      auto it = p_.weakPages.find(page);
      if (it != p_.weakPages.end()) return it->second;
    }
    if (p_.noisyPageRate > 0 && p_.maxRandomBitErrors > 0) {
      const std::uint64_t h = Mix(Mix(p_.bitErrorSeed) ^ (std::uint64_t{b} << 20) ^ page);
      if (Unit(h) < p_.noisyPageRate) return static_cast<std::uint8_t>(1 + (h & 0xFFFF) % p_.maxRandomBitErrors);
    }
    return 0;
  }

  bool Uncorrectable(std::uint8_t errors) const {
    return errors == kUncorrectable || errors > kEccBits[s_.geometry.eccMode & 7];
  }

  std::uint8_t PageResult(std::uint32_t b, std::uint32_t page) const {
    const std::uint8_t e = Errors(b, page);
    return Uncorrectable(e) ? 0 : static_cast<std::uint8_t>(255 - e);
  }

  bool InPageSet(std::uint32_t page) const { return page < s_.pageTable.size() && s_.pageTable[page] != 0; }

  // One block test of block b; fills pageOut (page form) and returns the block-form answer.
  std::uint8_t TestBlock(std::uint32_t b, const std::uint8_t* c, std::uint8_t* pageOut, std::uint32_t pageCount) {
    BlockTestRecord rec;
    rec.block = b;
    rec.count = Be16(c + 6);
    rec.seed = Be16(c + 8);
    rec.modeA = c[10];
    rec.modeB = c[11];
    rec.setting = c[12];
    rec.eccThreshold = c[13];
    rec.perPage = c[14] != 0;
    rec.nth = ++s_.blocks[b].tests;

    const std::uint32_t ppb = s_.geometry.pagesPerBlock;
    std::uint8_t code = 255;
    const BlockTestOverride* o = FindOverride(rec);
    if (o) {
      code = o->blockResult;
      for (std::uint32_t p = 0; p < pageCount; ++p)
        pageOut[p] = p < o->pageResults.size() ? o->pageResults[p] : (p < ppb ? PageResult(b, p) : 0);
    } else {
      if (IsBad(b)) {
        code = kTestBadBlock;
      } else if (!Operate(b, FlashOp::Erase)) {
        code = kTestEraseFailed;
      } else {
        s_.pages.erase(b);  // the test leaves the block erased
        if (!Operate(b, FlashOp::Program)) code = kTestProgramFailed;
      }
      const bool working = code == 255;
      for (std::uint32_t p = 0; working && p < ppb; ++p) {
        if (!InPageSet(p)) continue;
        const std::uint8_t e = Errors(b, p);
        if (Uncorrectable(e)) {
          code = kTestUncorrectable;
          break;
        }
        if (e > rec.eccThreshold && code == 255) code = kTestOverThreshold;
      }
      for (std::uint32_t p = 0; p < pageCount; ++p) pageOut[p] = working && p < ppb ? PageResult(b, p) : 0;
    }
    rec.result = code;
    if (s_.blockTests.size() >= kTraceLimit) s_.blockTests.pop_front();
    s_.blockTests.push_back(rec);
    return code;
  }

  const BlockTestOverride* FindOverride(const BlockTestRecord& r) const {
    for (const auto& o : s_.overrides) {
      if (o.block != r.block) continue;
      if (o.modeA && *o.modeA != r.modeA) continue;
      if (o.modeB && *o.modeB != r.modeB) continue;
      if (o.seed && *o.seed != r.seed) continue;
      if (o.nth && *o.nth != r.nth) continue;
      return &o;
    }
    return nullptr;
  }

  // The device's own map over the active geometry: bit set = good, MSB first.
  Bytes OwnBitmap(std::uint32_t n) const {
    Bytes map((n + 7) / 8, 0);
    for (std::uint32_t i = 0; i < n; ++i)
      if (!IsBad(i)) map[i / 8] |= static_cast<std::uint8_t>(0x80 >> (i % 8));
    return map;
  }

  // Whether blocks [first, first + count) all lie on the active flash (no wrap).
  bool InFlash(std::uint64_t first, std::uint64_t count) const {
    return first + count <= std::min(ActiveBlocks(), Physical());
  }

  // The configuration block the device holds: the first written page of the
  // good block written last (the station's newest copy, wherever a failed
  // erase moved it), and the pages written after it (the good-block bitmap).
  std::optional<std::pair<Bytes, Bytes>> HeldConfig() const {
    const std::map<std::uint32_t, Bytes>* newest = nullptr;
    std::uint64_t newestSeq = 0;
    for (const auto& [b, pm] : s_.pages) {
      if (pm.empty() || IsBad(b) || (newest && s_.blocks[b].lastWrite <= newestSeq)) continue;
      newest = &pm;
      newestSeq = s_.blocks[b].lastWrite;
    }
    if (!newest) return std::nullopt;
    Bytes cfg = newest->begin()->second;
    cfg.resize(512, 0);
    Bytes rest;
    for (auto it = std::next(newest->begin()); it != newest->end(); ++it)
      rest.insert(rest.end(), it->second.begin(), it->second.end());
    return std::make_pair(std::move(cfg), std::move(rest));
  }

  void StorePage(std::uint32_t b, std::uint32_t page, Bytes data) {
    s_.pages[b][page] = std::move(data);
    s_.blocks[b].lastWrite = ++s_.writeSeq;
  }

  // The first image of this power cycle is the program; it counts once it
  // arrived whole and is not empty.
  bool ProgramArrived() const { return !s_.images.empty() && s_.images.front().announced > 0; }

  // Disk sizes from the held configuration block.
  std::optional<DiskLayout> ComputeLayout() const {
    auto held = HeldConfig();
    if (!held) return std::nullopt;
    const Bytes& c = held->first;
    const std::uint32_t chips = c[82] ? c[82] : p_.chipCount;
    if (c[84] < 9 || c[84] > 14 || c[85] < c[84] || c[85] - c[84] > 10 || c[90] > 16) return std::nullopt;
    const std::uint64_t pageSize = 1ull << c[84];
    const std::uint32_t ppb = 1u << (c[85] - c[84]);
    const std::uint64_t n = std::uint64_t{chips} << c[90];
    if (n == 0 || n > 65536) return std::nullopt;
    const auto count = static_cast<std::uint32_t>(n);

    Bytes bitmap = held->second.size() >= (count + 7) / 8 ? held->second : OwnBitmap(count);
    std::uint64_t good = 0;
    for (std::uint32_t i = 0; i < count; ++i) good += (bitmap[i / 8] >> (7 - i % 8)) & 1;

    std::uint64_t usable = ppb;
    if (c[132]) {
      for (std::uint32_t page = 0; page < ppb && page < 1024; ++page)
        if (c[256 + page / 8] & (0x80 >> (page % 8))) --usable;
    }
    const std::uint64_t blockBytes = usable * pageSize;
    const std::uint64_t data = good * blockBytes;
    const std::uint64_t reserved = c[133] * kSysAreaUnit + 2 * blockBytes;  // system area and the two copies
    const std::uint64_t disk = data > reserved ? data - reserved : 0;

    DiskLayout layout;
    layout.blockLength = p_.diskBlockLength ? p_.diskBlockLength : ((c[64] & 1) ? 1024 : 512);
    std::uint64_t hidden = 0;
    if (c[134] == 0xFF)
      hidden = disk;
    else if (c[134] != 0)
      hidden = disk * c[134] / 256;
    const std::uint64_t user = c[134] == 0xFF ? 0 : disk - hidden;
    const std::uint64_t maxSectors = 0x100000000ull;
    layout.userSectors = std::min(user / layout.blockLength, maxSectors);
    layout.hiddenSectors = std::min(hidden / layout.blockLength, maxSectors);
    if (layout.userSectors == 0 && layout.hiddenSectors == 0) return std::nullopt;
    return layout;
  }

  void SpiPut(std::uint64_t offset, const std::uint8_t* data, std::uint64_t n) {
    const std::uint64_t size = std::uint64_t{p_.spiSizeMB} << 20;
    for (std::uint64_t i = 0; i < n && offset + i < size;) {
      const std::uint64_t at = offset + i;
      Bytes& chunk = s_.spi[static_cast<std::uint32_t>(at / kSpiChunk)];
      if (chunk.empty()) chunk.assign(kSpiChunk, 0xFF);
      const std::uint64_t in = at % kSpiChunk;
      const std::uint64_t take = std::min({n - i, kSpiChunk - in, size - at});
      std::memcpy(chunk.data() + in, data + i, take);
      i += take;
    }
  }

  void SpiGet(std::uint64_t offset, std::uint8_t* out, std::uint64_t n) const {
    for (std::uint64_t i = 0; i < n;) {
      const std::uint64_t at = offset + i;
      const std::uint64_t in = at % kSpiChunk;
      const std::uint64_t take = std::min(n - i, kSpiChunk - in);
      auto it = s_.spi.find(static_cast<std::uint32_t>(at / kSpiChunk));
      if (it == s_.spi.end())
        std::memset(out + i, 0xFF, take);
      else
        std::memcpy(out + i, it->second.data() + in, take);
      i += take;
    }
  }

  // Where the read-back check expects the images of an SPI-only device: the
  // program's first bytes at 0 and its bytes from 2048 at 65536, every later
  // image's bytes from 2048 at the next 64 KiB boundary after room for the one before.
  void PlaceOnSpi(const Bytes& image, bool first) {
    const std::uint64_t n = image.size();
    if (first) {
      SpiPut(0, image.data(), std::min<std::uint64_t>(n, 2048));
      if (n > 2048) SpiPut(65536, image.data() + 2048, n - 2048);
      s_.spiNext = RoundUp(n, 65536) + 65536;
    } else if (n > 2048) {
      SpiPut(s_.spiNext, image.data() + 2048, n - 2048);
      s_.spiNext = RoundUp(s_.spiNext + n - 2048, 65536);
    }
  }

  void CloseDisks() {
    if (s_.userFd >= 0) ::close(s_.userFd);
    if (s_.hiddenFd >= 0) ::close(s_.hiddenFd);
    s_.userFd = s_.hiddenFd = -1;
  }

  bool OpenDisks(const DiskLayout& layout) {
    CloseDisks();
    s_.userFd = ::open(s_.userPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    s_.hiddenFd = ::open(s_.hiddenPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (s_.userFd < 0 || s_.hiddenFd < 0 ||
        ::ftruncate(s_.userFd, static_cast<off_t>(layout.userSectors * layout.blockLength)) != 0 ||
        ::ftruncate(s_.hiddenFd, static_cast<off_t>(layout.hiddenSectors * layout.blockLength)) != 0) {
      CloseDisks();
      return false;
    }
    return true;
  }

  void Show(Disk disk) {
    s_.visible = disk;
    if (s_.plugged && disk != Disk::None)
      platform::Volumes().SetNode(s_.letter, (disk == Disk::Hidden ? s_.hiddenPath : s_.userPath).string());
  }

  std::uint64_t VisibleSectors() const {
    if (!s_.layout) return 0;
    if (s_.visible == Disk::User) return s_.layout->userSectors;
    if (s_.visible == Disk::Hidden) return s_.layout->hiddenSectors;
    return 0;
  }

  int VisibleFd() const { return s_.visible == Disk::Hidden ? s_.hiddenFd : s_.visible == Disk::User ? s_.userFd : -1; }

  const DeviceProfile& p_;
  DeviceState& s_;
};

void Answer(const ScsiRequest& r, const std::uint8_t* bytes, std::size_t n) {
  if (r.direction != ScsiDirection::In || !r.data) return;
  std::memcpy(r.data, bytes, std::min<std::size_t>(n, r.length));
}
void Answer(const ScsiRequest& r, std::initializer_list<std::uint8_t> bytes) { Answer(r, bytes.begin(), bytes.size()); }
void AnswerStatus(const ScsiRequest& r, bool ok) { Answer(r, {ok ? kStatusOk : kStatusFailed}); }

const std::uint8_t* OutData(const ScsiRequest& r) {
  return r.direction == ScsiDirection::Out ? r.data : nullptr;
}

void ResetWorkingState(const DeviceProfile& p, DeviceState& s, Model& m) {
  m.CloseDisks();
  s.geometry = p.geometry;
  s.flashTable.reset();
  s.flashTableRun = false;
  s.pageTable.assign(p.geometry.pagesPerBlock, 0xFF);
  s.fsmActive = s.fsmLoaded = false;
  s.fsmAnnounced = 0;
  s.fsm.clear();
  s.download.reset();
  s.images.clear();
  s.spiNext = 0;
  s.sysArea.reset();
  s.moduleNo.reset();
  s.settings.clear();
  s.visible = s.started = Disk::None;
  s.layout.reset();
}

// Fixed-format sense data (response code 70h) into the request's sense area.
void PutSense(const ScsiRequest& r, const Sense& sense) {
  if (!r.sense || r.senseLength == 0) return;
  std::uint8_t data[18] = {0x70, 0, sense.key, 0, 0, 0, 0, 10, 0, 0, 0, 0, sense.asc, sense.ascq, 0, 0, 0, 0};
  std::memcpy(r.sense, data, std::min<std::size_t>(sizeof data, r.senseLength));
}

// A refusal: CHECK CONDITION with the given sense key and additional sense code.
Outcome Refuse(DeviceState& s, std::uint8_t key, std::uint8_t asc, std::uint8_t ascq = 0) {
  s.sense = {key, asc, ascq};
  return Outcome::CheckCondition;
}

// A flash table that selects a geometry the model can hold.
std::optional<Geometry> TableGeometry(const Bytes& c, std::uint8_t chips) {
  if (c[84] < 9 || c[84] > 14 || c[85] < c[84] || c[85] - c[84] > 10 || c[90] > 16 || c[96] > 7) return std::nullopt;
  Geometry g;
  g.pageSize = 1u << c[84];
  g.pagesPerBlock = 1u << (c[85] - c[84]);
  g.blocksPerChip = 1u << c[90];
  g.eccMode = c[96];
  if (std::uint64_t{chips} * g.blocksPerChip > 65536) return std::nullopt;
  return g;
}

// One vendor command (CDB byte 0 EF or EE). 'tableRun' is set while the request
// belongs to a flash-table upload, 'reset' when the controller was reset.
Outcome RunVendor(const DeviceProfile& profile, DeviceState& s, Model& m, const ScsiRequest& r, const std::uint8_t* c,
                  bool& tableRun, bool& reset) {
  if (NeedsFsm(c[1]) && !s.fsmLoaded) {
    if (!AnswersStatus(c[1], r.direction)) return Outcome::FailCall;
    Answer(r, {kStatusFailed, 0});
    return Outcome::Done;
  }
  switch (c[1]) {
    case 0x70: Answer(r, profile.flashId.data(), 5); return Outcome::Done;
    case 0x71: {
      const std::uint8_t* d = OutData(r);
      if (!s.flashTableRun && d && r.length > 0) {
        Bytes table(d, d + std::min<std::uint32_t>(r.length, 512));
        table.resize(512, 0);
        if (auto g = TableGeometry(table, profile.chipCount)) {
          s.geometry = *g;
          if (s.pageTable.size() != g->pagesPerBlock) s.pageTable.assign(g->pagesPerBlock, 0xFF);
        }
        s.flashTable = std::move(table);
        s.flashTableRun = true;
      }
      tableRun = s.flashTableRun;
      return Outcome::Done;
    }
    case 0x72: AnswerStatus(r, profile.spiSizeMB > 0); return Outcome::Done;
    case 0x73: {
      if (!m.ProgramArrived()) {
        Answer(r, {kStatusFailed, 0});
        return Outcome::Done;
      }
      if (profile.IsSpiOnly()) {  // runs the program; there is no disk to show
        Answer(r, {kStatusOk, 0});
        return Outcome::Done;
      }
      auto layout = m.ComputeLayout();
      if (!layout || !m.OpenDisks(*layout)) {
        Answer(r, {kStatusFailed, 0});
        return Outcome::Done;
      }
      s.layout = layout;
      s.started = layout->userSectors == 0 ? Disk::Hidden : Disk::User;
      m.Show(s.started);
      Answer(r, {kStatusOk, 0});
      return Outcome::Done;
    }
    case 0x77:
      s.fsmActive = true;
      s.fsmLoaded = false;
      s.fsmAnnounced = Be32(c + 2);
      s.fsm.clear();
      AnswerStatus(r, true);
      return Outcome::Done;
    case 0x78:
      if (s.fsmActive && OutData(r)) s.fsm.insert(s.fsm.end(), r.data, r.data + r.length);
      return Outcome::Done;
    case 0x79: {
      std::uint16_t sum = 0;
      for (auto b : s.fsm) sum = static_cast<std::uint16_t>(sum + b);
      s.fsmLoaded = s.fsmActive && s.fsm.size() == s.fsmAnnounced && sum == Be16(c + 2);
      s.fsmActive = false;
      AnswerStatus(r, s.fsmLoaded);
      return Outcome::Done;
    }
    case 0x7A:
      s.download = DownloadedImage{Be32(c + 2), {}};
      // Room for the announced image at once (capped, since the size comes from the host), so the
      // pieces are not copied again as the buffer grows.
      s.download->bytes.reserve(std::min<std::size_t>(s.download->announced, std::size_t{256} << 20));
      AnswerStatus(r, true);
      return Outcome::Done;
    case 0x7B:
      if (s.download && OutData(r)) s.download->bytes.insert(s.download->bytes.end(), r.data, r.data + r.length);
      return Outcome::Done;
    case 0x7C: {
      const bool ok = s.download && s.download->bytes.size() >= s.download->announced;
      if (ok) {
        if (profile.IsSpiOnly()) m.PlaceOnSpi(s.download->bytes, s.images.empty());
        s.images.push_back(std::move(*s.download));
      }
      s.download.reset();
      AnswerStatus(r, ok);
      return Outcome::Done;
    }
    case 0x80: {
      auto held = m.HeldConfig();
      const Bytes cfg = held ? held->first : Bytes(512, 0xFF);
      Answer(r, cfg.data(), cfg.size());
      return Outcome::Done;
    }
    case 0x81:  // the device leaves the bus after answering (see EmulatedDevice::Execute)
      ++s.resets;
      if (profile.chipModelAfterReset) s.chipModel = *profile.chipModelAfterReset;
      ResetWorkingState(profile, s, m);
      reset = true;
      return Outcome::Done;
    case 0x82: Answer(r, s.chipModel.data(), 4); return Outcome::Done;
    case 0x83: s.sysArea = c[2]; AnswerStatus(r, true); return Outcome::Done;
    case 0x84: Answer(r, {profile.chipCount}); return Outcome::Done;
    case 0x85: Answer(r, profile.familyModel.data(), 4); return Outcome::Done;
    case 0x87: Answer(r, {m.ProgramArrived() ? kStatusOk : kStatusFailed, 0}); return Outcome::Done;
    case 0x8B: Answer(r, {profile.bondingId}); return Outcome::Done;
    case 0x8D: s.moduleNo = c[2]; AnswerStatus(r, true); return Outcome::Done;
    case 0x8E: case 0x8F: case 0x91: s.settings[c[1]] = c[2]; AnswerStatus(r, true); return Outcome::Done;
    case 0x92: {
      const bool ok = s.layout && s.visible != Disk::None && s.layout->hiddenSectors > 0;
      if (ok) m.Show(Disk::Hidden);
      AnswerStatus(r, ok);
      return Outcome::Done;
    }
    case 0x93: {
      if (r.direction != ScsiDirection::In || r.length == 0) return Refuse(s, kIllegalRequest, kInvalidField);
      const std::uint32_t block = Be32(c + 2);
      const std::uint32_t avail = r.length - 1;
      if (!m.InFlash(block, c[14] ? 1 : Be16(c + 6))) {
        r.data[0] = kStatusFailed;
        return Outcome::Done;
      }
      if (c[14]) {
        m.TestBlock(block, c, r.data + 1, avail);
      } else {
        const std::uint32_t count = Be16(c + 6);
        std::uint8_t none = 0;
        for (std::uint32_t i = 0; i < count; ++i) {
          const std::uint8_t code = m.TestBlock(block + i, c, &none, 0);
          if (i < avail) r.data[1 + i] = code;
        }
      }
      r.data[0] = kStatusOk;
      return Outcome::Done;
    }
    case 0x94: {
      const std::uint32_t block = Be32(c + 2);
      const std::uint32_t count = Be16(c + 6);
      if (!m.InFlash(block, count)) {
        AnswerStatus(r, false);
        return Outcome::Done;
      }
      bool ok = true;
      for (std::uint32_t i = 0; i < count; ++i) {
        if (m.Operate(block + i, FlashOp::Erase))
          s.pages.erase(block + i);
        else
          ok = false;
      }
      AnswerStatus(r, ok);
      return Outcome::Done;
    }
    case 0x95: {
      if (r.direction == ScsiDirection::In) {  // 16-byte form: the device answers a status
        AnswerStatus(r, true);
        return Outcome::Done;
      }
      const std::uint32_t first = Be32(c + 2);
      const std::uint32_t count = Be16(c + 6);
      const std::uint32_t ppb = s.geometry.pagesPerBlock;
      const std::uint32_t size = s.geometry.pageSize;
      if (count == 0 || !OutData(r) || r.length != std::uint64_t{count} * size)
        return Refuse(s, kIllegalRequest, kInvalidField);
      for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t addr = std::uint64_t{first} + i;
        const auto b = static_cast<std::uint32_t>(addr / ppb);
        if (!m.InFlash(addr / ppb, 1) || !m.Operate(b, FlashOp::Program)) return Outcome::FailCall;
        const std::uint8_t* at = r.data + std::uint64_t{i} * size;
        m.StorePage(b, static_cast<std::uint32_t>(addr % ppb), Bytes(at, at + size));
      }
      return Outcome::Done;
    }
    case 0x96: {
      const std::uint32_t first = Be32(c + 2);
      const std::uint32_t count = Be16(c + 6);
      const std::uint32_t ppb = s.geometry.pagesPerBlock;
      const std::uint32_t per = s.geometry.pageSize;
      if (r.direction != ScsiDirection::In || count == 0 || r.length != std::uint64_t{count} * per)
        return Refuse(s, kIllegalRequest, kInvalidField);
      if (!m.InFlash((std::uint64_t{first} + count - 1) / ppb, 1)) return Outcome::FailCall;
      std::memset(r.data, 0xFF, r.length);
      for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t addr = std::uint64_t{first} + i;
        auto b = s.pages.find(static_cast<std::uint32_t>(addr / ppb));
        if (b == s.pages.end()) continue;
        auto p = b->second.find(static_cast<std::uint32_t>(addr % ppb));
        if (p == b->second.end()) continue;
        std::memcpy(r.data + std::uint64_t{i} * per, p->second.data(), std::min<std::size_t>(per, p->second.size()));
      }
      return Outcome::Done;
    }
    case 0x97: AnswerStatus(r, s.fsmLoaded); return Outcome::Done;
    case 0x98: {
      if (r.direction != ScsiDirection::In || r.length != Be32(c + 2)) return Refuse(s, kIllegalRequest, kInvalidField);
      const Bytes map = m.OwnBitmap(m.ActiveBlocks());
      const std::uint32_t n = r.length;
      std::memset(r.data, 0, n);
      std::memcpy(r.data, map.data(), std::min<std::size_t>(n, map.size()));
      return Outcome::Done;
    }
    case 0x99: Answer(r, profile.read99.data(), profile.read99.size()); return Outcome::Done;
    case 0x9A: Answer(r, {profile.serialNumber}); return Outcome::Done;
    case 0x9B:
      if (OutData(r)) {
        s.pageTable.assign(s.geometry.pagesPerBlock, 0);
        std::memcpy(s.pageTable.data(), r.data, std::min<std::size_t>(r.length, s.pageTable.size()));
      }
      return Outcome::Done;
    case 0x9C: Answer(r, {profile.spiSizeMB}); return Outcome::Done;
    case 0x9D:
    case 0x9E: {
      const std::uint64_t offset = std::uint64_t{Be16(c + 2)} * 256;
      const std::uint64_t bytes = std::uint64_t{Be16(c + 4)} * 256;
      if (offset + bytes > (std::uint64_t{profile.spiSizeMB} << 20)) return Refuse(s, kIllegalRequest, kOutOfRange);
      if (r.length != bytes) return Refuse(s, kIllegalRequest, kInvalidField);
      if (c[1] == 0x9D && r.direction == ScsiDirection::In) m.SpiGet(offset, r.data, bytes);
      if (c[1] == 0x9E && OutData(r)) m.SpiPut(offset, r.data, bytes);
      return Outcome::Done;
    }
    case 0xB0: Answer(r, {profile.fwSelect}); return Outcome::Done;
    default: return Refuse(s, kIllegalRequest, kInvalidOpcode);
  }
}

// One standard SCSI command.
Outcome RunStandard(const DeviceProfile& profile, DeviceState& s, Model& m, const ScsiRequest& r, const std::uint8_t* c) {
  switch (c[0]) {
    case 0x12: Answer(r, profile.inquiry.data(), profile.inquiry.size()); return Outcome::Done;
    case 0x25: {
      const std::uint64_t sectors = m.VisibleSectors();
      if (sectors == 0) return Refuse(s, kNotReady, kNoMedium);
      std::uint8_t a[8];
      PutBe32(a, static_cast<std::uint32_t>(sectors - 1));
      PutBe32(a + 4, s.layout->blockLength);
      Answer(r, a, 8);
      return Outcome::Done;
    }
    case 0x28:
    case 0x2A: {
      const std::uint64_t lba = Be32(c + 2);
      const std::uint64_t count = Be16(c + 7);
      const std::uint64_t sectors = m.VisibleSectors();
      const int fd = m.VisibleFd();
      if (sectors == 0 || fd < 0) return Refuse(s, kNotReady, kNoMedium);
      if (lba + count > sectors) return Refuse(s, kIllegalRequest, kOutOfRange);
      // The data phase must carry exactly what the CDB announces.
      const std::uint64_t bytes = count * s.layout->blockLength;
      if (r.length != bytes) return Refuse(s, kIllegalRequest, kInvalidField);
      if (bytes == 0) return Outcome::Done;
      const auto at = static_cast<off_t>(lba * s.layout->blockLength);
      if (c[0] == 0x2A) {
        if (!OutData(r)) return Refuse(s, kIllegalRequest, kInvalidField);
        if (::pwrite(fd, r.data, bytes, at) != static_cast<ssize_t>(bytes)) return Outcome::FailCall;
      } else {
        if (r.direction != ScsiDirection::In) return Refuse(s, kIllegalRequest, kInvalidField);
        const ssize_t got = ::pread(fd, r.data, bytes, at);
        if (got < 0) return Outcome::FailCall;
        std::memset(r.data + got, 0, bytes - static_cast<std::uint64_t>(got));
      }
      return Outcome::Done;
    }
    case 0x1B:
      if ((c[4] & 1) && s.layout && s.started != Disk::None)
        m.Show(s.started);
      else if (!(c[4] & 1))
        s.visible = Disk::None;
      return Outcome::Done;
    default: return Refuse(s, kIllegalRequest, kInvalidOpcode);
  }
}
}  // namespace

// ---------------------------------------------------------------------------

bool EmulatedTarget::Execute(const ScsiRequest& request) {
  auto device = device_.lock();
  return device && device->Execute(generation_, request);
}

EmulatedDevice::EmulatedDevice(DeviceProfile profile, std::filesystem::path folder)
    : profile_(std::move(profile)), impl_(std::make_unique<DeviceState>()) {
  impl_->folder = std::move(folder);
  impl_->userPath = impl_->folder / "user.img";
  impl_->hiddenPath = impl_->folder / "hidden.img";
}

std::shared_ptr<EmulatedDevice> EmulatedDevice::Create(DeviceProfile profile, std::filesystem::path folder) {
  const Geometry& g = profile.geometry;
  const bool nand = g.blocksPerChip != 0;
  if (nand && (!PowerOfTwo(g.pageSize) || g.pageSize < 512 || g.pageSize > 16384 || !PowerOfTwo(g.pagesPerBlock) ||
               g.pagesPerBlock > 1024 || !PowerOfTwo(g.blocksPerChip) || profile.chipCount == 0 ||
               profile.TotalBlocks() > 65536 || g.eccMode > 7))
    throw std::invalid_argument("emulated device: unsound geometry in profile " + profile.name);
  if (profile.factoryBadRate < 0 || profile.factoryBadRate > 1 || profile.noisyPageRate < 0 || profile.noisyPageRate > 1)
    throw std::invalid_argument("emulated device: rates must lie in 0..1");
  std::filesystem::create_directories(folder);

  std::shared_ptr<EmulatedDevice> device(new EmulatedDevice(std::move(profile), std::move(folder)));
  const DeviceProfile& p = device->profile_;
  DeviceState& s = *device->impl_;
  s.chipModel = p.chipModel;
  const std::uint32_t n = nand ? p.TotalBlocks() : 0;
  s.blocks.resize(n);
  for (std::uint32_t b = 1; b < n && p.factoryBadRate > 0; ++b)
    if (Unit(Mix(Mix(p.badBlockSeed) ^ b)) < p.factoryBadRate) s.blocks[b].mark = kFactoryBad;
  for (auto b : p.factoryBadBlocks)
    if (b < n) s.blocks[b].mark = kFactoryBad;
  for (auto b : p.grownBadBlocks)
    if (b < n && s.blocks[b].mark == kGood) s.blocks[b].mark = kGrownBad;
  for (const auto& f : p.blockFailures) s.failures[f.block].push_back({f, false});
  s.overrides = p.blockTestOverrides;

  Model m(p, s);
  ResetWorkingState(p, s, m);
  if (!p.preloadedConfig.empty() && n > 0) {
    std::uint32_t b = 0;
    while (b < n && m.IsBad(b)) ++b;
    if (b < n) {
      Bytes first = p.preloadedConfig;
      first.resize(g.pageSize, 0);
      auto& pm = s.pages[b];
      pm[0] = std::move(first);
      const Bytes map = m.OwnBitmap(n);
      for (std::uint32_t page = 1, at = 0; at < map.size() && page < g.pagesPerBlock; ++page, at += g.pageSize) {
        Bytes chunk(g.pageSize, 0);
        std::memcpy(chunk.data(), map.data() + at, std::min<std::size_t>(g.pageSize, map.size() - at));
        pm[page] = std::move(chunk);
      }
      s.blocks[b].lastWrite = ++s.writeSeq;
    }
  }
  return device;
}

EmulatedDevice::~EmulatedDevice() {
  CancelReenumeration();
  Detach(std::nullopt);
  std::lock_guard lock(impl_->mutex);
  Model(profile_, *impl_).CloseDisks();
}

std::filesystem::path EmulatedDevice::UserDiskPath() const { return impl_->userPath; }
std::filesystem::path EmulatedDevice::HiddenDiskPath() const { return impl_->hiddenPath; }

char EmulatedDevice::Plug(char letter) {
  CancelReenumeration();
  return Attach(letter, false);
}

void EmulatedDevice::Unplug() {
  CancelReenumeration();
  Detach(std::nullopt);
}

// Powers the device up behind a letter. The state says "plugged" before the
// letter is bound, so a watcher that hears the arrival can talk to it at once.
char EmulatedDevice::Attach(char letter, bool anyLetter) {
  DeviceState& s = *impl_;
  std::shared_ptr<EmulatedTarget> target;
  {
    std::lock_guard lock(s.mutex);
    if (s.plugged) return s.letter;
    Model m(profile_, s);
    ResetWorkingState(profile_, s, m);
    target = std::make_shared<EmulatedTarget>(weak_from_this(), ++s.generation);
    s.target = target;
    s.letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    s.plugged = true;
  }
  const std::string node = UserDiskPath().string();
  char got = 0;
  if (letter != 0 && platform::Volumes().Mount(letter, target, node))
    got = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  else if (letter == 0 || anyLetter)
    got = platform::Volumes().Assign(target, node, 'D');
  {
    std::lock_guard lock(s.mutex);
    if (s.target == target) {
      if (got == 0) {
        s.plugged = false;
        s.target.reset();
      }
      s.letter = got;
      return got;
    }
  }
  if (got != 0) {  // unplugged while the letter was being bound
    auto volume = platform::Volumes().Lookup(got);
    if (volume && volume->target == target) platform::Volumes().Unmount(got);
  }
  return 0;
}

// Takes the device off the bus (only the given plug cycle, when one is named):
// the letter goes away and every handle of that cycle fails from now on.
char EmulatedDevice::Detach(std::optional<std::uint64_t> generation) {
  DeviceState& s = *impl_;
  std::shared_ptr<EmulatedTarget> target;
  char letter = 0;
  {
    std::lock_guard lock(s.mutex);
    if (!s.plugged || (generation && *generation != s.generation)) return 0;
    s.plugged = false;
    target = std::move(s.target);
    letter = s.letter;
    Model m(profile_, s);
    ResetWorkingState(profile_, s, m);
  }
  auto volume = platform::Volumes().Lookup(letter);
  if (volume && volume->target == target) platform::Volumes().Unmount(letter);
  return letter;
}

// After a reset the device leaves the bus and, a moment later (the profile's
// delay, scaled like every wait of the station), arrives again at the same
// letter when it is still free.
void EmulatedDevice::Reenumerate(std::uint64_t generation) {
  const char letter = Detach(generation);
  if (letter == 0) return;
  std::function<void(EmulatedDevice&)> handler;
  {
    std::lock_guard lock(impl_->mutex);
    handler = impl_->onReset;
  }
  if (handler) handler(*this);
  if (Plugged()) return;  // the handler plugged it itself
  CancelReenumeration();  // reaps a finished earlier re-arrival
  DeviceState& s = *impl_;
  std::lock_guard lock(s.replugMutex);
  s.replugCancel = false;
  const auto delay = std::chrono::duration<double, std::milli>(profile_.reenumerationMs * platform::TimeScale());
  s.replug = std::thread([this, letter, delay] {
    {
      std::unique_lock wait(impl_->replugMutex);
      impl_->replugCv.wait_for(wait, delay, [this] { return impl_->replugCancel; });
      if (impl_->replugCancel) return;
    }
    Attach(letter, true);
  });
}

void EmulatedDevice::CancelReenumeration() {
  std::thread pending;
  {
    std::lock_guard lock(impl_->replugMutex);
    impl_->replugCancel = true;
    pending = std::move(impl_->replug);
  }
  impl_->replugCv.notify_all();
  if (pending.joinable()) pending.join();
}

bool EmulatedDevice::AwaitReenumeration() {
  std::thread pending;
  {
    std::lock_guard lock(impl_->replugMutex);
    pending = std::move(impl_->replug);
  }
  if (pending.joinable()) pending.join();
  return Plugged();
}

bool EmulatedDevice::Plugged() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->plugged;
}

char EmulatedDevice::Letter() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->plugged ? impl_->letter : 0;
}

std::shared_ptr<platform::ScsiTarget> EmulatedDevice::Target() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->target;
}

void EmulatedDevice::OnReset(std::function<void(EmulatedDevice&)> handler) {
  std::lock_guard lock(impl_->mutex);
  impl_->onReset = std::move(handler);
}

void EmulatedDevice::InjectFault(const Fault& fault) {
  std::lock_guard lock(impl_->mutex);
  impl_->faults.push_back({fault, 0});
}

void EmulatedDevice::ClearFaults() {
  std::lock_guard lock(impl_->mutex);
  impl_->faults.clear();
}

void EmulatedDevice::AddBlockFailure(const BlockFailure& failure) {
  std::lock_guard lock(impl_->mutex);
  impl_->failures[failure.block].push_back({failure, false});
}

void EmulatedDevice::AddBlockTestOverride(const BlockTestOverride& o) {
  std::lock_guard lock(impl_->mutex);
  impl_->overrides.push_back(o);
}

void EmulatedDevice::GrowBadBlock(std::uint32_t block) {
  std::lock_guard lock(impl_->mutex);
  Model(profile_, *impl_).Grow(block);
}

std::vector<TraceEntry> EmulatedDevice::Trace() const {
  std::lock_guard lock(impl_->mutex);
  return {impl_->trace.begin(), impl_->trace.end()};
}

void EmulatedDevice::ClearTrace() {
  std::lock_guard lock(impl_->mutex);
  impl_->trace.clear();
  impl_->blockTests.clear();
}

std::size_t EmulatedDevice::CountRequests(std::uint8_t op, std::optional<std::uint8_t> sub) const {
  std::lock_guard lock(impl_->mutex);
  return static_cast<std::size_t>(std::count_if(impl_->trace.begin(), impl_->trace.end(), [&](const TraceEntry& t) {
    return t.Op() == op && (!sub || t.Sub() == *sub);
  }));
}

std::size_t EmulatedDevice::CountVendor(std::uint8_t sub) const {
  std::lock_guard lock(impl_->mutex);
  return static_cast<std::size_t>(
      std::count_if(impl_->trace.begin(), impl_->trace.end(), [&](const TraceEntry& t) { return t.IsVendor(sub); }));
}

std::vector<BlockTestRecord> EmulatedDevice::BlockTests() const {
  std::lock_guard lock(impl_->mutex);
  return {impl_->blockTests.begin(), impl_->blockTests.end()};
}

std::uint32_t EmulatedDevice::ResetCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->resets;
}

bool EmulatedDevice::FsmLoaded() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->fsmLoaded;
}

Bytes EmulatedDevice::FsmBytes() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->fsm;
}

std::optional<Bytes> EmulatedDevice::FlashTable() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->flashTable;
}

Geometry EmulatedDevice::ActiveGeometry() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->geometry;
}

Bytes EmulatedDevice::PageTable() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->pageTable;
}

Bytes EmulatedDevice::StoredConfig() const {
  std::lock_guard lock(impl_->mutex);
  auto held = Model(profile_, *impl_).HeldConfig();
  return held ? held->first : Bytes(512, 0xFF);
}

Bytes EmulatedDevice::BadBlockMap() const {
  std::lock_guard lock(impl_->mutex);
  Model m(profile_, *impl_);
  return m.OwnBitmap(m.ActiveBlocks());
}

bool EmulatedDevice::IsBadBlock(std::uint32_t block) const {
  std::lock_guard lock(impl_->mutex);
  return Model(profile_, *impl_).IsBad(block);
}

std::optional<Bytes> EmulatedDevice::Page(std::uint32_t block, std::uint32_t page) const {
  std::lock_guard lock(impl_->mutex);
  auto b = impl_->pages.find(block);
  if (b == impl_->pages.end()) return std::nullopt;
  auto p = b->second.find(page);
  if (p == b->second.end()) return std::nullopt;
  return p->second;
}

std::vector<DownloadedImage> EmulatedDevice::Images() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->images;
}

std::optional<std::uint8_t> EmulatedDevice::SysAreaUnit() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->sysArea;
}

std::optional<std::uint8_t> EmulatedDevice::ModuleNumber() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->moduleNo;
}

std::map<std::uint8_t, std::uint8_t> EmulatedDevice::SettingBytes() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->settings;
}

Bytes EmulatedDevice::SpiRead(std::uint32_t offset, std::uint32_t length) const {
  std::lock_guard lock(impl_->mutex);
  Bytes out(length);
  Model(profile_, *impl_).SpiGet(offset, out.data(), length);
  return out;
}

Disk EmulatedDevice::VisibleDisk() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->visible;
}

std::optional<DiskLayout> EmulatedDevice::Layout() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->layout;
}

std::filesystem::path EmulatedDevice::VisibleDiskPath() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->visible == Disk::Hidden ? HiddenDiskPath() : UserDiskPath();
}

// ---------------------------------------------------------------------------

bool EmulatedDevice::Execute(std::uint64_t generation, const ScsiRequest& r) {
  bool reset = false;
  bool carriedOut = false;
  {
    std::lock_guard lock(impl_->mutex);
    DeviceState& s = *impl_;
    Model m(profile_, s);

    TraceEntry t;
    t.cdbLength = r.cdb ? std::min<std::uint8_t>(r.cdbLength, 16) : 0;
    if (t.cdbLength) std::memcpy(t.cdb.data(), r.cdb, t.cdbLength);
    t.direction = r.direction;
    t.length = r.length;
    if (r.direction == ScsiDirection::Out && r.data) t.digest = Fnv(r.data, r.length);
    auto record = [&](TraceEntry entry) {
      if (s.trace.size() >= kTraceLimit) s.trace.pop_front();
      s.trace.push_back(std::move(entry));
    };

    // A request that reaches a removed device, or that is malformed, is not carried out.
    if (!s.plugged || generation != s.generation || t.cdbLength < 6 || (r.length > 0 && !r.data)) {
      record(t);
      return false;
    }

    // The CDB is read from the zero-padded copy: bytes past its length are 0.
    const std::uint8_t* c = t.cdb.data();
    const bool vendor = c[0] == kVendorIn || c[0] == kVendorOut;

    // Injected faults: every matching fault counts the call, the first due one decides.
    const auto range = AddressRange(c, t.cdbLength);
    const Fault* firing = nullptr;
    for (auto& af : s.faults) {
      const Fault& f = af.fault;
      if (f.opcode && *f.opcode != c[0]) continue;
      if (f.subOpcode && (!vendor || *f.subOpcode != c[1])) continue;
      if (f.address && (!range || *f.address < range->first || *f.address - range->first >= range->second)) continue;
      ++af.seen;
      if (!firing && af.seen >= f.nth && (f.times == 0 || af.seen - f.nth < f.times)) firing = &f;
    }

    Outcome outcome = Outcome::Done;
    if (firing) {
      t.faulted = true;
      if (firing->kind == FaultKind::FailCall)
        outcome = Outcome::FailCall;
      else if (firing->kind == FaultKind::CheckCondition)
        outcome = Refuse(s, firing->sense.key, firing->sense.asc, firing->sense.ascq);
      else
        Answer(r, {firing->status});
      if (!vendor || c[1] != 0x71) s.flashTableRun = false;
    } else {
      bool tableRun = false;
      outcome = vendor ? RunVendor(profile_, s, m, r, c, tableRun, reset) : RunStandard(profile_, s, m, r, c);
      if (!tableRun) s.flashTableRun = false;
    }

    t.carriedOut = outcome != Outcome::FailCall;
    t.checkCondition = outcome == Outcome::CheckCondition;
    if (t.carriedOut && r.scsiStatus)
      *r.scsiStatus = t.checkCondition ? platform::SCSI_STATUS_CHECK_CONDITION : platform::SCSI_STATUS_GOOD;
    if (t.checkCondition) {
      t.sense = s.sense;
      PutSense(r, s.sense);
    }
    if (r.direction == ScsiDirection::In && r.data && r.length > 0 && outcome == Outcome::Done) {
      t.status = r.data[0];
      t.digest = Fnv(r.data, r.length);
    }
    record(t);
    carriedOut = t.carriedOut;
  }
  if (reset) Reenumerate(generation);
  return carriedOut;
}

}  // namespace emulator
