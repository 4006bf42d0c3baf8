// The disk split on emulated devices with a hidden disk: the packed
// hidden-file area and the image writes, read back sector by sector through
// the command layer.
#include <cstring>
#include <filesystem>

#include "drive_fixture.h"

using namespace production_test;
namespace fs = std::filesystem;

namespace {

std::string Numbered(const char* head, int i) { return head + std::to_string(i); }

struct SplitTest : DriveTest {
  // A device whose configuration gives half the disk to the hidden disk,
  // switched to it, with a worker holding the volume open.
  ProductThread& HiddenDisk(DeviceProfile p) {
    Bytes cfg = emulator::FlashTableFor(p);
    cfg[134] = 128;
    Plug(p.WithPreloadedConfig(cfg));
    ProductThread& w = Worker();
    StartDisk(w.hDevice);
    EXPECT_TRUE(production::ChangeToHiddenDisk(w.hDevice));
    w.SectorUnit = (cfg[64] & 1) ? 1024 : 512;  // as the worker loads it from its table
    w.Gauge->SetMaxValue(400);  // the run's scale with the blanking check on
    return w;
  }
  static std::uint32_t BlockLength(platform::HANDLE h) {
    std::uint32_t last = 0, length = 0;
    device::cmd_bReadCapacity(h, &last, &length);
    return length;
  }
  static std::string Sectors(platform::HANDLE h, std::uint32_t lba, std::uint32_t count) {
    const std::uint32_t length = BlockLength(h);
    std::string out;
    std::vector<std::uint8_t> sector(length);
    for (std::uint32_t i = 0; i < count; ++i) {
      EXPECT_TRUE(device::cmd_bRead10(h, sector.data(), length, lba + i, 1));
      out.append(sector.begin(), sector.end());
    }
    return out;
  }
  static std::string Pattern(std::size_t size, int seed) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>(i * 13 + seed + i / 256);
    return s;
  }
  // A raw volume image: the pattern with the sector size in bytes 11-12.
  std::string RawImage(const std::string& name, std::size_t size, std::uint32_t sectorSize) {
    std::string bytes = Pattern(size, 5);
    if (size > 12) {
      bytes[11] = static_cast<char>(sectorSize & 0xFF);
      bytes[12] = static_cast<char>(sectorSize >> 8);
    }
    WriteFile(home / name, bytes);
    return home / name;
  }
  std::size_t Writes() const { return devices.back()->CountRequests(0x2A); }
};

std::uint32_t Le32(const std::string& s, std::size_t at) {
  return std::uint32_t{static_cast<std::uint8_t>(s[at])} | std::uint32_t{static_cast<std::uint8_t>(s[at + 1])} << 8 |
         std::uint32_t{static_cast<std::uint8_t>(s[at + 2])} << 16 |
         std::uint32_t{static_cast<std::uint8_t>(s[at + 3])} << 24;
}

void Put32(std::string& s, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
}

// The image tool's container: slots of the given sector sizes, each holding
// the records (lba -> sector filled with a byte of the lba).
std::string Container(std::uint32_t sizeMiB, const std::vector<std::uint32_t>& slotSizes,
                      const std::vector<std::uint32_t>& lbas) {
  std::string file(512, '\0');
  std::memcpy(file.data(), "Q4X1 IMG", 8);
  for (int i = 0; i < 4; ++i) file[12 + i] = static_cast<char>(sizeMiB >> (8 * i));
  for (std::size_t s = 0; s < slotSizes.size(); ++s) {
    std::string desc;
    Put32(desc, slotSizes[s]);
    Put32(desc, static_cast<std::uint32_t>(file.size()));
    Put32(desc, static_cast<std::uint32_t>(lbas.size()));
    file.replace(16 + 16 * s, 12, desc);
    for (std::uint32_t lba : lbas) {
      Put32(file, lba);
      file.append(slotSizes[s], static_cast<char>(lba * 3 + s + 1));
    }
  }
  return file;
}

}  // namespace

TEST_F(SplitTest, HiddenFilesArePackedSectorBySector) {
  for (auto profile : {SmallDevice(), emulator::profiles::SmallDisk()}) {
    SCOPED_TRACE(profile.name);
    ProductThread& w = HiddenDisk(profile);
    const std::uint32_t sector = BlockLength(w.hDevice);
    const std::size_t sizes[] = {100, 512, 513};
    window.hideFiles.clear();
    for (int i = 0; i < 3; ++i) {
      WriteFile(home / Numbered("h", i), Pattern(sizes[i], i));
      window.hideFiles.push_back(home / Numbered("h", i));
    }
    window.hideFiles.insert(window.hideFiles.begin() + 1, home / "missing");
    ASSERT_TRUE(w.WriteHiddenFiles(390, 398));
    const std::string header = Sectors(w.hDevice, 0, 1);
    EXPECT_EQ(header.substr(0, 16), std::string("ZOQQ471K5206\0\0\0\0", 16));
    EXPECT_EQ(header.substr(16 + 16, 16), std::string(16, '\0')) << "the missing file's row stays zero";
    std::uint32_t next = 1;
    for (int i = 0; i < 3; ++i) {
      const std::size_t row = 16 + 16 * (i == 0 ? 0 : i + 1);
      EXPECT_EQ(Le32(header, row), static_cast<std::uint32_t>(i == 0 ? 0 : i + 1));
      EXPECT_EQ(Le32(header, row + 4), next);
      EXPECT_EQ(Le32(header, row + 8), sizes[i]);
      const std::uint32_t n = static_cast<std::uint32_t>((sizes[i] + sector - 1) / sector);
      std::string expect = Pattern(sizes[i], i);
      expect.resize(std::size_t{n} * sector, '\0');
      EXPECT_EQ(Sectors(w.hDevice, next, n), expect);
      next += n;
    }
    EXPECT_EQ(header.substr(512), std::string(sector - 512, '\0'));
    CloseWorker(w);
    platform::Volumes().Clear();
    devices.clear();
  }
}

TEST_F(SplitTest, OnlyThirtyOneRowsArePacked) {
  ProductThread& w = HiddenDisk(SmallDevice());
  for (int i = 0; i < 40; ++i) {
    WriteFile(home / Numbered("f", i), std::string(1, static_cast<char>('a' + i % 26)));
    window.hideFiles.push_back(home / Numbered("f", i));
  }
  ASSERT_TRUE(w.WriteHiddenFiles(0, 0));
  const std::string header = Sectors(w.hDevice, 0, 1);
  EXPECT_EQ(Le32(header, 16 + 16 * 30 + 4), 31u);
  EXPECT_EQ(Sectors(w.hDevice, 32, 1), std::string(512, '\0')) << "entries from the 32nd on are ignored";
}

TEST_F(SplitTest, RawImagesGoOutInZeroPaddedPieces) {
  ProductThread& w = HiddenDisk(SmallDevice());
  struct Case {
    std::size_t size;
    std::size_t writes;
  } cases[] = {{512, 1}, {32768, 1}, {32769, 2}, {65536, 2}, {100000, 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    // Leftovers of the previous case must be overwritten by the zero padding.
    Bytes junk(32768 * 4, 0xEE);
    ASSERT_TRUE(device::cmd_bWrite10(w.hDevice, junk.data(), 512, 0, 256));
    const std::size_t before = Writes();
    const std::string path = RawImage("raw.img", c.size, 512);
    ASSERT_TRUE(w.WriteImageFile('E', path, 390, 398));
    EXPECT_EQ(Writes() - before, c.writes);
    std::string expect = ReadFile(path);
    expect.resize(c.writes * 32768, '\0');
    EXPECT_EQ(Sectors(w.hDevice, 0, static_cast<std::uint32_t>(c.writes * 64)), expect);
    EXPECT_EQ(w.Gauge->Progress(), 398);
  }
}

TEST_F(SplitTest, ImagesThatDoNotFitTheDiskAreRefusedBeforeAnyWrite) {
  ProductThread& w = HiddenDisk(SmallDevice());
  std::uint32_t last = 0, length = 0;
  ASSERT_TRUE(device::cmd_bReadCapacity(w.hDevice, &last, &length));
  const std::size_t before = Writes();
  EXPECT_FALSE(w.WriteImageFile('E', RawImage("k.img", 4096, 1024), 0, 100)) << "1024-byte sectors on a 512 unit";
  EXPECT_FALSE(w.WriteImageFile('E', RawImage("x.img", 4096, 4096), 0, 100));
  EXPECT_FALSE(w.WriteImageFile('E', RawImage("one.img", 1, 512), 0, 100));
  EXPECT_EQ(window.panels[0].status.Caption(), "IMG file error!");
  WriteFile(home / "empty.img", std::string());
  window.panels[0].status.SetCaption("");
  EXPECT_FALSE(w.WriteImageFile('E', home / "empty.img", 0, 100));
  EXPECT_EQ(window.panels[0].status.Caption(), "IMG file error!");
  EXPECT_FALSE(w.WriteImageFile('E', home / "missing.img", 0, 100));
  // One sector more than the hidden disk holds.
  const std::string big = home / "big.img";
  WriteFile(big, RawImage("big.img", 512, 512));
  fs::resize_file(big, (std::uint64_t{last} + 2) * 512);
  EXPECT_FALSE(w.WriteImageFile('E', big, 0, 100));
  EXPECT_EQ(Writes(), before);
  EXPECT_EQ(w.GetImageFileSize(big), (std::uint64_t{last} + 2) * 512);
  EXPECT_EQ(w.GetImageFileSize(home / "missing.img"), ~std::uint64_t{0});
}

// The device behind it, but READ CAPACITY answers another block length.
class BlockLengthLiar : public platform::ScsiTarget {
 public:
  BlockLengthLiar(std::shared_ptr<platform::ScsiTarget> inner, std::uint32_t length)
      : inner_(std::move(inner)), length_(length) {}
  bool Execute(const platform::ScsiRequest& r) override {
    const bool ok = inner_->Execute(r);
    if (ok && r.cdb[0] == 0x25 && r.length >= 8)
      for (int i = 0; i < 4; ++i) r.data[4 + i] = static_cast<std::uint8_t>(length_ >> (24 - 8 * i));
    return ok;
  }

 private:
  std::shared_ptr<platform::ScsiTarget> inner_;
  std::uint32_t length_;
};

TEST_F(SplitTest, WritesGoOutOnlyInTheSectorUnitTheDeviceAddresses) {
  ProductThread& w = HiddenDisk(SmallDevice());  // addresses 512-byte blocks
  const platform::HANDLE own = w.hDevice;
  WriteFile(home / "h", "hidden");
  window.hideFiles = {home / "h"};
  WriteFile(home / "tool.img", Container(16, {512, 1024}, {0, 1}));
  const std::string raw = RawImage("raw.img", 4096, 512);
  struct Case {
    int sectorUnit;            // configuration byte 64
    std::uint32_t answered;    // READ CAPACITY's block length
    bool imagesWritten, hiddenFilesWritten;
  } cases[] = {{512, 512, true, true},
               {1024, 512, false, true},     // an image made for another unit than the configured one
               {512, 1024, false, false},    // the device would put each sector elsewhere
               {512, 0xFFFFFFFF, false, false}};  // refused before it sizes a buffer
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.sectorUnit) + " " + std::to_string(c.answered));
    w.SectorUnit = c.sectorUnit;
    w.hDevice = platform::OpenTargetHandle(std::make_shared<BlockLengthLiar>(devices.back()->Target(), c.answered));
    const std::size_t before = Writes();
    EXPECT_EQ(w.WriteImageFile('E', raw, 0, 100), c.imagesWritten);
    EXPECT_EQ(w.WriteImageFile('E', home / "tool.img", 0, 100), c.imagesWritten);
    if (!c.imagesWritten) {
      EXPECT_EQ(Writes(), before) << "refused before any write";
    }
    EXPECT_EQ(w.WriteHiddenFiles(0, 0), c.hiddenFilesWritten);
    if (c.answered > 32768) {
      EXPECT_EQ(Writes(), before);
    }
    platform::CloseHandle(w.hDevice);
  }
  w.hDevice = own;
}

TEST_F(SplitTest, ContainerSlotOfTheSectorUnitIsWrittenAtItsAddresses) {
  const std::vector<std::uint32_t> lbas = {0, 1, 2, 3, 100, 101, 5000};
  for (std::uint32_t unit : {512u, 1024u}) {
    SCOPED_TRACE(unit);
    ProductThread& w = HiddenDisk(SmallDevice().WithDiskBlockLength(unit));
    ASSERT_EQ(static_cast<std::uint32_t>(w.SectorUnit), unit);
    WriteFile(home / "other.img", Container(16, {unit == 512 ? 1024u : 512u}, lbas));
    EXPECT_FALSE(w.WriteImageFile('E', home / "other.img", 390, 398)) << "no slot for this unit";
    EXPECT_EQ(window.panels[0].status.Caption(), "IMG file error!");
    WriteFile(home / "tool.img", Container(16, {512, 1024}, lbas));
    ASSERT_TRUE(w.WriteImageFile('E', home / "tool.img", 390, 398));
    const int slot = unit == 512 ? 0 : 1;
    EXPECT_EQ(w.ImageSize, 16u << 20) << "the size comes from the header";
    for (std::uint32_t lba : lbas)
      EXPECT_EQ(Sectors(w.hDevice, lba, 1), std::string(unit, static_cast<char>(lba * 3 + slot + 1))) << lba;
    EXPECT_EQ(Sectors(w.hDevice, 4, 1), std::string(unit, '\0'));
    EXPECT_EQ(w.Gauge->Progress(), 398);
    // A container claiming more than the hidden disk holds.
    WriteFile(home / "huge.img", Container(4096, {512, unit}, {0}));
    EXPECT_FALSE(w.WriteImageFile('E', home / "huge.img", 0, 100));
    // A write the device refuses fails the image.
    devices.back()->InjectFault(emulator::Fault::Opcode(0x2A).OnCall(2).AsCheckCondition());
    EXPECT_FALSE(w.WriteImageFile('E', home / "tool.img", 0, 100));
    CloseWorker(w);
    platform::Volumes().Clear();
    devices.clear();
  }
}
