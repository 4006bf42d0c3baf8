// A sweep of whole runs with one thing going wrong. For every road of the
// table below a clean run shows which requests the road sends and how often
// the worker waits; each case then fails one command at one of its calls (the
// first, the last or one between, as a failed call, an even status byte or a
// CHECK CONDITION), at that call only or from that call on for good, or pulls
// the device at one request or at one of the worker's waits. Whatever happens,
// the run ends: with the failure text of the stage that sent the request, or
// as a pass where the run tries again or does not look at the answer; a device
// that was pulled leaves its slot waiting. Panel, counters and log agree with
// the end, a device that passes holds a sound disk with the files, images and
// configuration block it should, and a fresh device in the same slot passes
// afterwards.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "support/scenario_station.h"

namespace scenario {
namespace {

using platform::ui::clBlue;
using platform::ui::clRed;
using platform::ui::clWindowText;
using testing_support::ReadFile;
using Tree = std::map<std::string, std::string>;

// ---- the commands, as the station reads their answers ----

// A request's key: CDB byte 0, and for vendor requests the sub-opcode.
using Key = std::uint16_t;
Key KeyOf(const emulator::TraceEntry& t) {
  return static_cast<Key>(t.Op() << 8 | (t.Op() == 0xEF || t.Op() == 0xEE ? t.Sub() : 0));
}

// How the station reads a command's answer. Status: answer byte 0, bit 0 set =
// success. Call: the call's success alone. Value: an answer byte that counts
// whether or not data came. Capacity: zero answers are a failure. Kept: the
// plain disk transfers and the writes of data the device keeps (flash table,
// image, FSM and SPI pieces, configuration pages), which fail on CHECK CONDITION.
enum class Reads { Status, Call, Value, Capacity, Kept };
Reads ReadsOf(Key k) {
  switch (k) {
    case 0x2500: return Reads::Capacity;
    case 0x2A00: case 0xEE71: case 0xEE78: case 0xEE7B: case 0xEE95: case 0xEE9E: return Reads::Kept;
    case 0xEF84: case 0xEF9A: case 0xEF9C: return Reads::Value;
    case 0xEF72: case 0xEF73: case 0xEF7A: case 0xEF7C: case 0xEF87: case 0xEF8D: case 0xEF92: case 0xEF93:
    case 0xEF94: return Reads::Status;
    default: return Reads::Call;
  }
}

enum class Form { None, FailCall, EvenStatus, CheckCondition, Pull, PullAtWait };
// An even status byte needs an answer that moves data to the host.
bool Offered(Key k, Form form) { return form != Form::EvenStatus || (k >> 8 != 0xEE && k != 0x2A00 && k != 0x1B00); }
// Whether the station can tell the request failed: else the device only did
// nothing, and what follows is the device's business.
bool Noticed(Key k, Form form) {
  const Reads reads = ReadsOf(k);
  if (form == Form::EvenStatus) return reads == Reads::Status || reads == Reads::Capacity;
  if (form == Form::CheckCondition) return reads != Reads::Call;
  return true;
}

// ---- the stages of a run, in order, and what a noticed failure does ----

// Fails: the run ends with `text`. Passes: the run tries again (program and
// prefer data, the configuration block's erase and page writes: when every
// try fails, it ends with `gaveUp`), takes the block as bad (clear flash) or
// does not look at the answer. A failure before the configuration block is
// written (early) leaves the flash alone; a later one prepares the
// configuration information, which erases the third and the fourth good block.
struct Step {
  Key key;
  const char* text;  // null: passes
  int limit = 0;     // calls of this stage at most; 0: any number
  bool early = false;
  const char* gaveUp = nullptr;  // tried again: the end when the command fails for good
};
using Stage = std::vector<Step>;

Step Fails(Key key, const char* text, int limit = 0) { return {key, text, limit}; }
Step Passes(Key key, int limit = 0) { return {key, nullptr, limit}; }
Step Retried(Key key, const char* gaveUp, int limit = 0) { return {key, nullptr, limit, false, gaveUp}; }
Stage Early(Stage stage) {
  for (Step& step : stage) step.early = true;
  return stage;
}

// The chip count matters to NAND only: none is no flash to check.
Stage Identify(bool bonding, bool nand = true) {
  Stage s{Passes(0xEFB0, 1), Passes(0xEF9A, 1), nand ? Fails(0xEF84, "Flash Check fail", 1) : Passes(0xEF84, 1),
          Fails(0xEF70, "Flash Check fail", 1)};
  if (bonding) s.insert(s.begin() + 2, Passes(0xEF8B, 1));
  return Early(s);
}
const Stage kTable = Early({Fails(0xEE71, "FILE Writing fail", 1)});
const Stage kDeviceMap = Early({Passes(0xEF80, 1), Fails(0xEF98, "Bad Block Checkfail", 1)});
// The device's own block goes back before its map is read, the table after.
const Stage kEccMap =
    Early({Passes(0xEF80, 1), Fails(0xEE71, "FILE Writing fail", 2), Fails(0xEF98, "Bad Block Checkfail", 1)});
const Stage kBlankCheck = Early({Fails(0xEF93, "Blanking Checkfail")});
const Stage kWriteCfg{Retried(0xEF94, "Write CFGfail", 2), Retried(0xEE95, "Write CFGfail")};  // two copies
const Stage kFsmInit{Fails(0xEF97, "FSM initfail", 1)};
Stage Image(const char* setup, const char* writing, const char* end, bool retried) {
  return {Fails(0xEF7A, setup, 1), retried ? Retried(0xEE7B, writing) : Fails(0xEE7B, writing), Fails(0xEF7C, end, 1)};
}
const Stage kProgram = Image("Program Write Setup fail", "Program Writing fail", "Program Write End fail", true);
const Stage kPrefer = Image("Prefer Write Setup fail", "Prefer Writing fail", "Prefer Write End fail", true);
const Stage kTelbook = Image("Telbook Write Setup fail", "Telbook Writing fail", "Telbook Write End fail", false);
const Stage kIso = Image("ISO Write Setup fail", "ISO Writing fail", "ISO Write End fail", false);
const Stage kPass = Image("PASS Write Setup fail", "PASS Write Setup fail", "PASS Write End fail", false);
const char* const kMusicFail = "SPI hidden files write fail";
const Stage kMusic = Image(kMusicFail, kMusicFail, kMusicFail, false);
const Stage kParity{Fails(0xEF87, "FW Parity Check fail", 1)};
const Stage kModule{Passes(0xEF8D, 1)};
const Stage kStart{Fails(0xEF73, "Start Diskfail", 1)};
const Stage kSize{Fails(0x2500, "Disk Size Error", 1)};
const Stage kFormatLook{Passes(0x2500, 2)};  // the FAT type, and the sector size to format with
const Stage kSplit{Fails(0xEF92, "Change to Hidden disk fail", 1)};
const Stage kPacked{Fails(0x2500, "Map Image filefail", 1), Fails(0x2A00, "Map Image filefail"), Passes(0x1B00, 1)};
const Stage kImageFile{Fails(0x2500, "Hidden disk too small!", 1), Fails(0x2500, "Map Image filefail", 1),
                       Fails(0x2A00, "Map Image filefail"), Passes(0x1B00, 1)};
const Stage kSpiCheck = Early({Fails(0xEF72, "Bad Block Check fail", 1)});
const Stage kReadBack{Fails(0xEF9D, "Check Data fail")};
const Stage kSpiSize{Passes(0xEF9C, 1)};
const Stage kDiskSize{Passes(0x2500, 1)};

std::vector<Stage> Join(std::initializer_list<std::vector<Stage>> parts) {
  std::vector<Stage> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}
std::vector<Stage> NandTo(std::vector<Stage> bad) {
  return Join({{Identify(true), kTable}, bad, {kWriteCfg, kFsmInit, kProgram, kPrefer}});
}
const std::vector<Stage> kNand = NandTo({kDeviceMap});

// ---- the roads ----

struct Road {
  std::string name;
  DeviceProfile profile;
  std::function<void(Station&)> arrange;
  std::vector<Stage> stages;
  bool identifies = false;       // the identification stage is swept (it is the same on every road)
  bool again = false;            // a second run of the same device is swept
  std::string secondLabel = "";  // the label of the second run, when it changes
  const char* cleanEnd = nullptr;  // a clean run fails with this text (no fault is swept)
  const char* cleanLog = nullptr;  // ... and logs a line holding this text
};

// Files whose names are one name on FAT, or a name that is no text: the copy
// cannot keep them all. Each clash has a tree of its own, so that each
// refusal is the one that ends the run.
Road Clash(const std::string& name, const DeviceProfile& nand, std::vector<std::string> names, const char* why) {
  return {name, nand,
          [names](Station& st) {
            st.StandardFirmware();
            for (const std::string& n : names)
              WriteFile(std::filesystem::path(st.home / "files/clash") / n, Pattern(1000 + n.size(), 1));
            st.AddListEntry(st.home / "files/clash");
          },
          {}, false, false, "", "Copy Filesfail", why};
}

void HiddenSplit(Station& st, std::uint8_t feature, int ratio) {
  st.StandardFirmware();
  st.window.settings.eDeviceFeature = feature;
  st.window.settings.iHideDiskRatio = ratio;
  st.window.settings.sHideDiskLabel = "HIDDEN";
  WriteFile(st.home / "hide/secret.txt", Pattern(3000, 11));
  WriteFile(st.home / "hide/notes/n.bin", Pattern(700, 12));
  st.window.hideFiles = {st.home / "hide/secret.txt", st.home / "hide/notes"};
  st.AddFile("readme.txt", 5000, 3);
}

void Music(Station& st) {
  st.StandardFirmware();
  st.window.chknor.SetChecked(true);
  WriteFile(st.home / "music/a.mp3", Pattern(20000, 21));
  WriteFile(st.home / "music/b.wma", Pattern(9000, 22));
  st.window.spiFiles = {st.home / "music/a.mp3", st.home / "music/b.wma"};
}

void Copies(Station& st) {
  st.StandardFirmware();
  st.AddFile("readme.txt", 5000, 3);
  st.AddFile("Tool.BIN", 4096, 4);
  WriteFile(st.home / "files/music/a.mp3", Pattern(70000, 5));
  WriteFile(st.home / "files/music/live/b.mp3", Pattern(1000, 6));
  st.AddListEntry(st.home / "files/music");
}

const std::vector<Road>& Roads() {
  static const std::vector<Road> roads = [] {
    const DeviceProfile nand = CleanStandard();
    const DeviceProfile spi = emulator::profiles::SpiOnlyDevice();
    const auto blocks = static_cast<int>(nand.TotalBlocks());
    DeviceProfile eccDiffers = nand;
    eccDiffers.WithPreloadedConfig(emulator::FlashTableFor(CleanStandard().WithEccMode(3)));
    const std::vector<Stage> user = {kStart, kSize, kFormatLook};
    const std::vector<Stage> hidden = {kStart, kSize, kFormatLook, kSplit};
    return std::vector<Road>{
        {"NandCopy", nand,
         [](Station& st) {
           st.AddFile("telbook.dat", 3000, 7);
           Copies(st);
           st.AddFile("image.iso", 20000, 8);
           st.window.chkISOupgrade.SetChecked(true);
           st.window.chkParityCheck.SetChecked(true);
           st.window.settings.iFlashModuleNo = 5;
         },
         Join({kNand, {kTelbook, kIso, kParity, kModule}, user}), true},
        {"Again", nand, Copies, Join({kNand, {kStart, kSize}}), false, true},
        {"AgainNewLabel", nand, Copies, Join({kNand, {kStart, kSize}}), false, true, "SECOND"},
        {"EccDiffers", eccDiffers, Copies, Join({NandTo({kEccMap}), user})},
        {"BlankCheck", nand, [](Station& st) { st.window.chkBlankCheck.SetChecked(true), Copies(st); },
         Join({NandTo({kBlankCheck}), user})},
        {"ClearFlash", nand, [](Station& st) { st.window.chkClearFlash.SetChecked(true), Copies(st); },
         Join({NandTo({Early({Passes(0xEF94, blocks)})}), user})},
        {"SpiReadBack", spi, Music,
         {Identify(true, false), kSpiCheck, kProgram, kPrefer, kMusic, kMusic, kStart, kReadBack, kSpiSize}, true},
        {"ConfigOnlyNand", nand, [](Station& st) { st.window.chkFwUpgrade.SetChecked(false); },
         {Identify(false), kTable, kDeviceMap, kWriteCfg, kFsmInit, kDiskSize}, true},
        {"ConfigOnlySpi", spi, [](Station& st) { st.window.chkFwUpgrade.SetChecked(false); },
         {Identify(false, false), kSpiCheck, kSpiSize}, true},
        {"Hidden", nand, [](Station& st) { HiddenSplit(st, 2, 50); }, Join({kNand, hidden, {kFormatLook}})},
        {"HiddenPacked", nand,
         [](Station& st) {
           HiddenSplit(st, 2, 50);
           st.window.settings.bNonFS = true;
           WriteFile(st.home / "hide/a", Pattern(100, 13));
           WriteFile(st.home / "hide/c", Pattern(1500, 14));
           st.window.hideFiles = {st.home / "hide/a", st.home / "hide/gone", st.home / "hide/c"};
         },
         Join({kNand, hidden, {kPacked}})},
        {"HiddenImage", nand,
         [](Station& st) {
           HiddenSplit(st, 2, 50);
           const std::string image = st.home / "disk.img";
           testing_support::Shell("mkfs.fat -C -S 512 " + testing_support::Quote(image) + " 2100");
           WriteFile(st.home / "inside.txt", "inside the image");
           testing_support::Shell("mcopy -i " + testing_support::Quote(image) + " " +
                                  testing_support::Quote(st.home / "inside.txt") + " ::/inside.txt");
           st.window.settings.bUseImgFile = true;
           st.window.settings.ImageFile = image;
         },
         Join({kNand, hidden, {kImageFile}})},
        {"Encrypted", nand,
         [](Station& st) {
           HiddenSplit(st, 1, 50);
           WriteFile(st.home / "misc/PASS.IMG", Pattern(6000, 9));
         },
         Join({kNand, {kPass}, hidden, {kFormatLook}})},
        {"EncryptedWhole", nand,
         [](Station& st) {
           HiddenSplit(st, 1, 100);
           WriteFile(st.home / "misc/PASS.IMG", Pattern(6000, 9));
         },
         Join({kNand, {kPass, kStart, kSize, kSplit, kFormatLook}})},
        Clash("NamesOfOneCase", nand, {"song.mp3", "Song.mp3", "SONG.MP3"}, "would have the same name"),
        Clash("FoldersOfOneCase", nand, {"Dir/a.txt", "dir/a.txt"}, "would have the same name"),
        Clash("LongAndShortName", nand, {"Long File Name.txt", "longfi~1.txt"}, "would have the same name"),
        Clash("NamesNotText", nand, {"bad\xff.txt", "bad\xfe.txt"}, "the name is not UTF-8 text")};
  }();
  return roads;
}

// ---- what the run should leave behind ----

// The files a list puts on a disk: folders whole, files by name, less the
// skipped entries and, for the pre-copy list, every name holding ".bin".
Tree ListedFiles(const std::vector<std::string>& list, const std::vector<int>& skipped, bool skipBin) {
  Tree out;
  for (int i = 0; i < static_cast<int>(list.size()); ++i) {
    const std::filesystem::path p = list[i];
    std::string lower = p.filename().string();
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (std::count(skipped.begin(), skipped.end(), i) || (skipBin && lower.find(".bin") != std::string::npos))
      continue;
    if (std::filesystem::is_directory(p))
      for (auto& [name, bytes] : testing_support::Tree(p)) out[p.filename().string() + "/" + name] = bytes;
    else if (std::filesystem::exists(p))
      out[p.filename().string()] = ReadFile(p);
  }
  return out;
}

std::string Bytes32(std::uint32_t v, bool bigEndian) {
  std::string b(4, '\0');
  for (int i = 0; i < 4; ++i) b[bigEndian ? 3 - i : i] = static_cast<char>(v >> (8 * i));
  return b;
}

// The images the device should have taken, in order.
std::vector<std::string> ExpectedImages(Station& st, bool spi) {
  auto& w = st.window;
  if (!w.chkFwUpgrade.Checked()) return {};
  const auto list = w.TntSelectFileList2.Items.ToVector();
  const auto& in = w.inspection;
  std::vector<std::string> images{ReadFile(list[in.iProgramIndex]), ReadFile(list[in.iPreferIndex])};
  for (int i = 0; spi && i < static_cast<int>(w.spiFiles.size()); ++i) {
    const std::string bytes = ReadFile(w.spiFiles[i]);
    std::string head(8192, '\0');
    head.replace(0, 4, "Q401");
    head[4] = static_cast<char>((w.spiFiles[i].ends_with(".wma") ? 0xC0 : 0x80) | ((i + 3) & 63));
    head.replace(5, 4, Bytes32(static_cast<std::uint32_t>(bytes.size()), true));
    images.push_back(head + bytes);
  }
  if (in.iTelbookIndex >= 0) images.push_back(ReadFile(list[in.iTelbookIndex]));
  if (w.chkISOupgrade.Checked()) images.push_back(ReadFile(list[in.iIsoIndex]));
  if (w.settings.eDeviceFeature == 1) images.push_back(ReadFile(st.home / "misc/PASS.IMG"));
  return images;
}

// The hidden-file area: a header sector with one row per file, then the files,
// each from a sector of its own.
std::string PackedArea(const std::vector<std::string>& files, std::uint32_t sector) {
  std::string head(sector, '\0'), body;
  head.replace(0, 12, "ZOQQ471K5206");
  for (std::uint32_t i = 0, next = 1; i < files.size(); ++i) {
    if (!std::filesystem::exists(files[i])) continue;
    const std::string bytes = ReadFile(files[i]);
    head.replace(16 + 16 * i, 12, Bytes32(i, false) + Bytes32(next, false) + Bytes32(bytes.size(), false));
    const std::uint32_t sectors = static_cast<std::uint32_t>((bytes.size() + sector - 1) / sector);
    body += bytes + std::string(sectors * sector - bytes.size(), '\0');
    next += sectors;
  }
  return head + body;
}

std::string Head(const std::filesystem::path& path, std::size_t n) {
  std::string bytes(n, '\0');
  std::ifstream in(path, std::ios::binary);
  in.read(bytes.data(), static_cast<std::streamsize>(n));
  return bytes.substr(0, static_cast<std::size_t>(in.gcount()));
}

std::uint32_t Be16(const Bytes& b, std::size_t at) { return std::uint32_t{b[at]} << 8 | b[at + 1]; }

// The configuration block on the device, against the flash table it was given
// and the settings: the table's bytes are carried, the station's own fields
// hold what they should, and the first two good blocks of the good-block
// bitmap each hold the block, then the bitmap, then zero pages, on the pages
// the block's page bitmap leaves usable.
void ExpectConfig(Station& st, const EmulatedDevice& dev) {
  Bytes cfg = dev.StoredConfig();
  ASSERT_TRUE(cfg.size() >= 512) << "no configuration block";
  cfg.resize(512);
  const auto& s = st.window.settings;
  const bool fw = st.window.chkFwUpgrade.Checked();
  auto stations = [](std::size_t i) {
    return (i >= 80 && i <= 82) || (i >= 118 && i <= 125) || (i >= 132 && i <= 143) || (i >= 256 && i < 384) ||
           i >= 480;
  };
  // The rest is one of the station's flash tables, carried as it stands.
  bool carried = false;
  for (const auto& file : std::filesystem::directory_iterator(st.home / "flash")) {
    std::string table = ReadFile(file.path());
    table.resize(512, '\0');
    std::size_t i = 0;
    while (i < 512 && (stations(i) || cfg[i] == (i < 64 && i % 4 == 1 && !fw ? 'X' : std::uint8_t(table[i])))) ++i;
    carried = carried || i == 512;
  }
  EXPECT_TRUE(carried) << "the block carries none of the flash tables";
  unsigned sum = 0;
  for (std::size_t i = 82; i <= 254; ++i) sum += cfg[i];
  EXPECT_EQ(Be16(cfg, 80), sum & 0xFFFF) << "checksum";
  EXPECT_EQ(cfg[82], dev.Profile().chipCount);
  const int share = s.eDeviceFeature == 0 ? 0 : s.iHideDiskRatio >= 100 ? 0xFF : s.iHideDiskRatio * 256 / 100;
  EXPECT_EQ(cfg[134], share);
  EXPECT_EQ(std::string(cfg.begin() + 135, cfg.begin() + 144), std::string("0000\0\0\0\0\0", 9));
  EXPECT_EQ(Bytes(cfg.begin() + 480, cfg.end()), Bytes(32, 0));

  const emulator::Geometry g = dev.ActiveGeometry();
  const std::uint32_t blocks = dev.Profile().chipCount * g.blocksPerChip;
  std::vector<std::uint32_t> usable;
  for (std::uint32_t p = 0; p < g.pagesPerBlock; ++p)
    if (cfg[132] == 0 || !(cfg[256 + p / 8] & (0x80 >> (p % 8)))) usable.push_back(p);
  if (cfg[132] == 0) {
    EXPECT_EQ(Bytes(cfg.begin() + 256, cfg.begin() + 384), Bytes(128, 0));
  }
  const std::size_t bitmapPages = (blocks / 8 + g.pageSize - 1) / g.pageSize;
  ASSERT_GT(usable.size(), bitmapPages);
  Bytes first;  // the first copy's bitmap
  for (int copy = 0; copy < 2; ++copy) {
    const std::uint32_t b = Be16(cfg, 118 + 2 * copy);
    SCOPED_TRACE("the copy in block " + std::to_string(b));
    Bytes page0(g.pageSize, 0), bitmap;
    std::copy(cfg.begin(), cfg.end(), page0.begin());
    for (std::size_t k = 0; k < usable.size(); ++k) {
      const auto page = dev.Page(b, usable[k]);
      ASSERT_TRUE(page) << "page " << usable[k] << " not written";
      if (k == 0)
        EXPECT_TRUE(*page == page0) << "the block";
      else if (k <= bitmapPages)
        bitmap.insert(bitmap.end(), page->begin(), page->end());
      else
        EXPECT_EQ(std::count(page->begin(), page->end(), 0), static_cast<long>(page->size())) << "page " << usable[k];
    }
    if (copy == 1) {
      EXPECT_TRUE(bitmap == first) << "the copies' bitmaps differ";
    }
    first = bitmap;
  }
  std::vector<std::uint32_t> good;
  for (std::uint32_t b = 0; b < blocks; ++b)
    if (first[b / 8] & (0x80 >> (b % 8))) {
      EXPECT_FALSE(dev.IsBadBlock(b)) << "bad block " << b << " counted good";
      good.push_back(b);
    }
  ASSERT_GE(good.size(), 4u);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(Be16(cfg, 118 + 2 * k), good[k]) << "good block " << k;
}

void ExpectSoundDisk(Station& st, const std::filesystem::path& disk, const std::string& label, const Tree& files) {
  EXPECT_TRUE(testing_support::FsckClean(disk.string())) << disk << " is damaged";
  EXPECT_EQ(st.DiskLabel(disk), label);
  EXPECT_EQ(st.DiskFiles(disk), files) << "on " << disk.filename();
}

// A device that passed holds what the settings ask for: the images, the
// configuration block and, when `disks`, the disks' files.
void ExpectHolds(Station& st, const EmulatedDevice& dev, bool disks) {
  auto& w = st.window;
  const bool spi = dev.Profile().IsSpiOnly();
  std::vector<std::string> taken;
  for (const auto& i : dev.Images()) taken.emplace_back(i.bytes.begin(), i.bytes.end());
  EXPECT_TRUE(taken == ExpectedImages(st, spi)) << taken.size() << " images taken";
  if (spi) return;
  ExpectConfig(st, dev);
  if (!w.chkFwUpgrade.Checked() || !disks) return;
  const auto& s = w.settings;
  const auto& in = w.inspection;
  if (!(s.eDeviceFeature == 1 && s.iHideDiskRatio == 100))
    ExpectSoundDisk(st, dev.UserDiskPath(), w.LabelEdit.Text(),
                    ListedFiles(w.TntSelectFileList2.Items.ToVector(),
                                {in.iProgramIndex, in.iPreferIndex, in.iIsoIndex, in.iTelbookIndex}, true));
  if (s.eDeviceFeature == 0) return;
  const auto hidden = dev.HiddenDiskPath();
  if (s.eDeviceFeature == 2 && s.bNonFS) {
    const std::string area = PackedArea(w.hideFiles, dev.Layout()->blockLength);
    EXPECT_TRUE(Head(hidden, area.size()) == area) << "the hidden-file area differs";
  } else if (s.bUseImgFile) {
    const std::string image = ReadFile(s.ImageFile);
    EXPECT_TRUE(Head(hidden, image.size()) == image) << "the hidden disk does not hold the image";
  } else {
    ExpectSoundDisk(st, hidden, s.sHideDiskLabel, ListedFiles(w.hideFiles, {}, false));
  }
}

// ---- one case ----

struct Case {
  int road;
  Key key = 0;          // the failing command; 0: none (a clean run, or a pull)
  char at = 'c';        // 'f' first, 'l' last, 'm' the call (request, wait) at `share`, 'c' none
  double share = 0;
  Form form = Form::None;
  bool forGood = false;  // the command fails from that call on
};

std::string KeyName(Key k) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", k);
  return k & 0xFF ? text : std::string(text, 2);
}
bool IsPull(Form f) { return f == Form::Pull || f == Form::PullAtWait; }
std::string CaseName(const Case& c) {
  static const char* const forms[] = {"", "FailedCall", "EvenStatus", "CheckCondition", "", ""};
  std::string name = Roads()[c.road].name + "_";
  if (c.form == Form::None) return name + "clean";
  name += c.form == Form::Pull ? "pull" : c.form == Form::PullAtWait ? "pullInWait" : KeyName(c.key);
  name += c.at == 'f' ? "_first" : c.at == 'l' ? "_last" : "_at" + std::to_string(static_cast<int>(c.share * 100));
  return name + (IsPull(c.form) ? "" : std::string("_") + forms[static_cast<int>(c.form)]) +
         (c.forGood ? "_fromThenOn" : "");
}
void PrintTo(const Case& c, std::ostream* os) { *os << CaseName(c); }

// Sets the station up for the road and brings the device to the run that is
// swept (after a first clean run when the road runs it again).
std::shared_ptr<EmulatedDevice> Prepare(Station& st, const Road& road) {
  road.arrange(st);
  auto dev = st.Plug(road.profile, 'E');
  if (road.again) {
    if (!st.Arrive('E', 0)) throw std::runtime_error("no FSM");
    st.WaitForRuns();
    if (st.Status() != "successful") throw std::runtime_error("first run: " + st.Status());
    dev->Unplug();
    dev->Plug('E');
    if (!road.secondLabel.empty()) st.window.LabelEdit.SetText(road.secondLabel);
    dev->ClearTrace();
  }
  return dev;
}

// A road's clean run: the keys of its requests from the FSM download on, and
// the number of the worker's waits. They are learned once per build of this
// program and kept beside it for the other cases.
struct CleanTrace {
  std::vector<Key> keys;
  int waits = 0;
};
CleanTrace CleanRun(const Road& road) {
  struct stat self {};
  ::stat("/proc/self/exe", &self);
  const std::filesystem::path folder = std::filesystem::path(STATION_BINARY_DIR) / "sweep-runs" /
                                       (std::to_string(self.st_mtim.tv_sec) + std::to_string(self.st_mtim.tv_nsec));
  const std::filesystem::path file = folder / (road.name + ".txt");
  CleanTrace clean;
  std::vector<Key>& keys = clean.keys;
  std::ifstream in(file);
  if (in >> std::dec >> clean.waits)
    for (unsigned k = 0; in >> std::hex >> k;) keys.push_back(static_cast<Key>(k));
  if (!keys.empty()) return clean;
  {
    Station st;
    auto dev = Prepare(st, road);
    auto waits = std::make_shared<std::atomic<int>>(0);
    st.AtWorkerWaits([waits](int) { ++*waits; });
    if (!st.Arrive('E', 0)) throw std::runtime_error("no FSM");
    st.WaitForRuns();
    if (st.Status() != "successful") throw std::runtime_error("the clean run ends with " + st.Status());
    for (const auto& t : dev->Trace()) keys.push_back(KeyOf(t));
    clean.waits = *waits;
  }
  std::error_code error;
  for (const auto& old : std::filesystem::directory_iterator(folder.parent_path(), error))
    if (old.path() != folder) std::filesystem::remove_all(old.path(), error);
  std::filesystem::create_directories(folder);
  const std::string part = file.string() + "." + std::to_string(::getpid());
  {
    std::ofstream out(part);
    out << std::dec << clean.waits << '\n';
    for (Key k : keys) out << std::hex << k << '\n';
  }
  std::filesystem::rename(part, file);
  return clean;
}

// The stage step of every request of a clean run, by the order of the stages;
// the FSM download of the arrival comes first and has none.
std::vector<const Step*> StepsOf(const std::vector<Stage>& stages, const std::vector<Key>& keys, std::size_t& first) {
  first = 0;
  while (first < keys.size() && (keys[first] == 0xEF77 || keys[first] == 0xEE78 || keys[first] == 0xEF79)) ++first;
  std::vector<const Step*> steps(keys.size(), nullptr);
  std::map<const Step*, int> used;
  std::size_t stage = 0;
  for (std::size_t i = first; i < keys.size(); ++i) {
    for (std::size_t s = stage; s < stages.size() && !steps[i]; ++s)
      for (const Step& step : stages[s])
        if (step.key == keys[i] && (step.limit == 0 || used[&step] < step.limit)) {
          steps[i] = &step, stage = s, ++used[&step];
          break;
        }
    if (!steps[i]) throw std::runtime_error("request " + std::to_string(i) + " (" + KeyName(keys[i]) +
                                            ") has no place in the road's stages");
  }
  return steps;
}

enum class End { Passes, Fails, Either, Pulled };
struct Expected {
  End end = End::Passes;
  std::string text = "successful";  // empty: any failure text
  std::optional<bool> early = {};   // a failure the station noticed: before the configuration block
};

// Checks how a run ended; `before` are the counters before it.
void ExpectEnd(Station& st, const EmulatedDevice& dev, Expected want, production::CounterValues before,
               bool disks = true) {
  const std::string status = st.Status();
  const bool noticed = want.end != End::Either;
  if (!noticed) want.end = status.starts_with("successful") ? End::Passes : End::Fails;
  const bool passed = want.end == End::Passes;
  const auto counts = st.window.Counts();
  EXPECT_EQ(counts.total, before.total + 1);
  EXPECT_EQ(counts.passed, before.passed + (passed ? 1 : 0));
  EXPECT_EQ(st.window.TotalStr.Caption() + " " + st.window.SuccessStr.Caption() + " " + st.window.FailStr.Caption(),
            std::to_string(counts.total) + " " + std::to_string(counts.passed) + " " + std::to_string(counts.failed));
  std::vector<std::string> results;
  for (const auto& line : st.LogLines())
    if (line.ends_with(" success!") || line.ends_with(" fail!")) results.push_back(line);
  EXPECT_EQ(results.size(), static_cast<std::size_t>(counts.total));
  EXPECT_EQ(results.empty() ? "" : results.back(), passed ? "E success!" : "E fail!");
  EXPECT_EQ(st.window.RunningCount(), 0);
  EXPECT_TRUE(st.window.grpFileList.Enabled() && st.window.grpMPSetting.Enabled());
  EXPECT_EQ(platform::OpenHandleCount(), st.handlesAtStart);
  auto& panel = st.window.panels[0];
  if (want.end == End::Pulled) {
    EXPECT_EQ(status, "Waiting device...");
    EXPECT_EQ(st.StatusColor(), clWindowText);
    EXPECT_FALSE(panel.gauge.Visible() || panel.image.Visible());
    EXPECT_EQ(panel.gauge.Progress(), 0);
    EXPECT_EQ(panel.textF.Caption() + panel.textP.Caption(), "");
  } else if (passed) {
    EXPECT_TRUE(want.text.empty() ? status.starts_with("successful") : status == want.text) << status;
    EXPECT_EQ(st.StatusColor(), clBlue);
    EXPECT_EQ(st.PicturePath(), st.home / "misc/success.bmp");
    EXPECT_EQ(st.Progress(), panel.gauge.MaxValue());
    ExpectHolds(st, dev, disks);
  } else {
    EXPECT_TRUE(want.text.empty() ? !status.empty() && status != "Waiting device..." : status == want.text)
        << status;
    EXPECT_EQ(st.StatusColor(), clRed);
    EXPECT_EQ(st.PicturePath(), st.home / "misc/fail.bmp");
  }
  if (want.end == End::Fails && want.early && !dev.Profile().IsSpiOnly()) {
    const auto trace = dev.Trace();
    const auto fault = std::find_if(trace.begin(), trace.end(), [](const auto& t) { return t.faulted; });
    const auto erases = std::count_if(fault, trace.end(), [](const auto& t) { return t.IsVendor(0x94); });
    EXPECT_EQ(erases, *want.early ? 0 : 2) << "erases after the failure";
  }
}

class SweepTest : public ::testing::TestWithParam<Case> {};

TEST_P(SweepTest, EndsAsItsStageSays) {
  const Case c = GetParam();
  const Road& road = Roads()[c.road];
  Expected want;
  if (road.cleanEnd) want = {End::Fails, road.cleanEnd};
  // The failing call of the command, the request the device leaves at, or
  // the worker's wait in which it leaves.
  int nth = 0;
  if (c.form != Form::None) {
    const CleanTrace clean = CleanRun(road);
    const std::vector<Key>& keys = clean.keys;
    std::size_t first = 0;
    const auto steps = StepsOf(road.stages, keys, first);
    std::vector<std::size_t> calls;  // indexes into keys, or the waits
    for (std::size_t i = first; i < keys.size() && c.form != Form::PullAtWait; ++i)
      if (c.form == Form::Pull || keys[i] == c.key) calls.push_back(i);
    for (int w = 0; c.form == Form::PullAtWait && w < clean.waits; ++w) calls.push_back(static_cast<std::size_t>(w));
    ASSERT_FALSE(calls.empty()) << "the road sends no " << KeyName(c.key);
    if (calls.size() < (c.at == 'f' ? 1u : c.at == 'l' ? 2u : 3u)) GTEST_SKIP() << "the same call as another case";
    const std::size_t n = c.at == 'f'   ? 0
                          : c.at == 'l' ? calls.size() - 1
                                        : 1 + static_cast<std::size_t>(c.share * static_cast<double>(calls.size() - 2));
    nth = static_cast<int>(IsPull(c.form) ? calls[n] : n + 1);
    const Step* step = c.form == Form::PullAtWait ? nullptr : steps[calls[n]];
    if (IsPull(c.form))
      want = {End::Pulled};
    else if (!Noticed(c.key, c.form))
      want = {End::Either, ""};
    else if (c.forGood && step->gaveUp)  // the configuration block's own tries erase blocks of their own
      want = {End::Fails, step->gaveUp, c.key == 0xEF94 || c.key == 0xEE95 ? std::nullopt : std::optional(step->early)};
    else if (step->text)
      want = {End::Fails, step->text, step->early};
    else if (c.forGood)  // not looked at, or taken as a bad block: what the later stages make of it is theirs
      want = {End::Either, ""};
  }

  Station st;
  auto dev = Prepare(st, road);
  const auto before = st.window.Counts();
  if (c.form == Form::Pull) {
    st.PullAt(dev, 0, [seen = std::make_shared<int>(0), nth](const platform::ScsiRequest&) {
      return (*seen)++ == nth;
    });
  } else if (c.form == Form::PullAtWait) {
    st.PullAtWait(dev, 0, nth);
  } else if (c.form != Form::None) {
    emulator::Fault f = c.key >> 8 == 0xEF || c.key >> 8 == 0xEE ? emulator::Fault::Vendor(c.key & 0xFF)
                                                                  : emulator::Fault::Opcode(c.key >> 8);
    f.OnCall(static_cast<std::uint32_t>(nth));
    if (c.forGood) f.Always();
    if (c.form == Form::EvenStatus) f.AsEvenStatus();
    if (c.form == Form::CheckCondition) f.AsCheckCondition();
    dev->InjectFault(f);
  }
  ASSERT_TRUE(st.Arrive('E', 0));
  st.WaitForRuns();
  st.clock->SetWaitHook({});
  {
    SCOPED_TRACE("the swept run");
    ExpectEnd(st, *dev, want, before);
  }
  if (road.cleanEnd) {
    const auto lines = st.LogLines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const auto& l) { return l.find(road.cleanLog) != l.npos; }))
        << "no log line tells \"" << road.cleanLog << "\"";
    return;
  }

  // The device leaves; a fresh one takes the slot and passes.
  dev->Unplug();
  platform::Volumes().Unmount('E');
  st.window.SetSlot(0, 0);
  auto fresh = EmulatedDevice::Create(road.profile, st.home / "fresh");
  ASSERT_EQ(fresh->Plug('E'), 'E');
  st.devices.push_back(fresh);
  const auto counts = st.window.Counts();
  ASSERT_TRUE(st.Arrive('E', 0));
  st.WaitForRuns();
  SCOPED_TRACE("a fresh device in the slot");
  ExpectEnd(st, *fresh, {}, counts, false);
}

// Each command a road sends fails at its first call, at its last and at one
// between (where it can be called that often). A command that answers a status
// byte fails in a form drawn for each call, as the station reads all three
// forms alike; any other fails as a failed call at the first and the last and
// in a drawn form between. Every command also answers CHECK CONDITION at a
// drawn one of those calls, and fails for good from a drawn call on (a write
// of data the device keeps as CHECK CONDITION, any other in a drawn form).
// The device is pulled at the first and the last request and at two between,
// and in the first and the last of the worker's waits and two between. The
// identification is the same on every road: it is swept on four. The draws
// come from a fixed seed.
std::vector<Case> Cases() {
  std::mt19937 random(20);
  auto pick = [&](const std::vector<Form>& forms) { return forms[random() % forms.size()]; };
  std::uniform_real_distribution<double> between(0.05, 0.95);
  std::vector<Case> cases;
  const auto& roads = Roads();
  for (int r = 0; r < static_cast<int>(roads.size()); ++r) {
    const Road& road = roads[r];
    cases.push_back({r});
    if (road.cleanEnd) continue;
    std::vector<std::pair<Key, int>> keys;  // each command and its calls at most (0: any number)
    for (std::size_t s = road.identifies ? 0 : 1; s < road.stages.size(); ++s)
      for (const Step& step : road.stages[s]) {
        auto k = std::find_if(keys.begin(), keys.end(), [&](const auto& e) { return e.first == step.key; });
        if (k == keys.end())
          keys.emplace_back(step.key, step.limit);
        else
          k->second = k->second && step.limit ? k->second + step.limit : 0;
      }
    for (auto [k, most] : keys) {
      std::vector<Form> forms, others;
      for (Form f : {Form::FailCall, Form::EvenStatus, Form::CheckCondition}) {
        if (!Offered(k, f)) continue;
        forms.push_back(f);
        if (f != Form::FailCall) others.push_back(f);
      }
      std::string at = most == 1 ? "f" : most == 2 ? "fl" : "flm";
      const bool status = ReadsOf(k) == Reads::Status;
      for (char a : at)
        cases.push_back({r, k, a, a == 'm' ? between(random) : 0, status || a == 'm' ? pick(forms) : Form::FailCall});
      const auto drawn = [&] { return at[random() % at.size()]; };
      char a = drawn();
      const Case check{r, k, a, a == 'm' ? between(random) : 0, Form::CheckCondition};
      if (std::none_of(cases.begin(), cases.end(), [&](const Case& c) { return CaseName(c) == CaseName(check); }))
        cases.push_back(check);
      a = drawn();
      const Form forGood = ReadsOf(k) == Reads::Kept ? Form::CheckCondition : pick(forms);
      cases.push_back({r, k, a, a == 'm' ? between(random) : 0, forGood, true});
    }
    for (Form pull : {Form::Pull, Form::PullAtWait}) {
      cases.push_back({r, 0, 'f', 0, pull});
      cases.push_back({r, 0, 'l', 0, pull});
      cases.push_back({r, 0, 'm', between(random) / 2, pull});
      cases.push_back({r, 0, 'm', 0.5 + between(random) / 2, pull});
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Sweep, SweepTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return CaseName(info.param); });

}  // namespace
}  // namespace scenario
