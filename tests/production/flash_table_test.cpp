// Flash identification: the table search, display names, the table upload
// and the loading of a table into the worker.
#include <map>

#include "production_fixture.h"

namespace production_test {
namespace {

using production::ReadCfgFileNandId;
using production::ReadCfgTypeName;
using production::SendFlashTableFile;

Bytes Table(std::array<std::uint8_t, 5> id, const std::string& typeName = "") {
  return emulator::FlashTableFor(DeviceProfile().WithFlashId(id), typeName);
}

struct FlashTableTest : ProductionTest {
  // Puts table files into the flash folder; returns the matched name.
  std::string Search(const std::map<std::string, Bytes>& files, std::array<std::uint8_t, 5> id, int chips = 1) {
    for (const auto& [name, bytes] : files) WriteFile(home / ("flash/" + name), bytes);
    ProductThread& w = Worker('E', 0, false);
    const std::uint32_t low = (std::uint32_t{id[1]} << 24) | (std::uint32_t{id[2]} << 16) | (id[3] << 8) | id[4];
    return w.FindFlashType(low, id[0], chips);
  }
};

TEST_F(FlashTableTest, SearchPrefersExactOverNearAndNeverMatchesShortFiles) {
  const std::array<std::uint8_t, 5> dev = {0x98, 0xD7, 0x94, 0x32, 0x76};
  struct Case {
    const char* what;
    std::map<std::string, Bytes> files;
    std::string expected;
  };
  Bytes shortFile = Table(dev);
  shortFile.resize(127);
  const std::vector<Case> cases = {
      {"exact beats another 5th byte", {{"a.txt", Table({0x98, 0xD7, 0x94, 0x32, 0x00})}, {"b.txt", Table(dev)}}, "b.txt"},
      {"exact beats bit-7 relative", {{"z.txt", Table(dev)}, {"a.txt", Table({0x98, 0xD7, 0x94, 0xB2, 0x76})}}, "z.txt"},
      {"bit 7 of byte 4 is a near match", {{"n.txt", Table({0x98, 0xD7, 0x94, 0xB2, 0x11})}}, "n.txt"},
      {"other byte 4 bits do not match", {{"n.txt", Table({0x98, 0xD7, 0x94, 0x33, 0x76})}}, "0"},
      {"a file under 128 bytes never matches", {{"s.txt", shortFile}}, "0"},
      {"only .txt files count", {{"t.bin", Table(dev)}, {"u.TXT", Table(dev)}}, "u.TXT"},
      {"hidden files are skipped", {{".h.txt", Table(dev)}}, "0"},
      {"empty folder", {}, "0"},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(home / "flash");
    std::filesystem::create_directories(home / "flash");
    EXPECT_EQ(Search(c.files, dev), c.expected) << c.what;
  }
}

TEST_F(FlashTableTest, DisplayNameComesFromFlashIniByChipCount) {
  const std::array<std::uint8_t, 5> dev = {0xEC, 0xD7, 0x55, 0xB6, 0x78};
  WriteFile(home / "flash/flash.ini", std::string("[one.txt]\r\n1=Alpha\r\n[both.txt]\r\n1=Beta\r\n2=Beta dual\r\n"));
  struct Case {
    const char* file;
    int chips;
    std::string name;
  };
  for (const Case& c : {Case{"one.txt", 2, "Alpha x 2"}, Case{"both.txt", 2, "Beta dual"}, Case{"both.txt", 1, "Beta"},
                        Case{"none.txt", 1, "DEFAULT"}}) {
    for (auto& e : std::filesystem::directory_iterator(home / "flash"))
      if (e.path().extension() == ".txt") std::filesystem::remove(e.path());
    EXPECT_EQ(Search({{c.file, Table(dev)}}, dev, c.chips), c.file);
    EXPECT_EQ(workers.back()->FlashTypeName, c.name) << c.file << " " << c.chips;
  }
  // A device without a chip has no table.
  EXPECT_EQ(Search({}, dev, 0), "0");
}

TEST_F(FlashTableTest, TableFileReadersTakeIdAndNameFromTheirPlaces) {
  const std::string path = home / "t.txt";
  WriteFile(path, Table({0x98, 0xD7, 0x94, 0xB2, 0x76}, "MyType"));
  EXPECT_EQ(ReadCfgFileNandId(5, path), 0x98D794B276u);
  EXPECT_EQ(ReadCfgFileNandId(4, path), 0xFFFFFFFF98D794B2u);  // widened with its sign
  EXPECT_EQ(ReadCfgFileNandId(3, path), 0u);
  EXPECT_EQ(ReadCfgTypeName(path), "MyType");
  EXPECT_EQ(ReadCfgTypeName(home / "missing.txt"), "DEFAULT");
  WriteFile(path, Table({0x98, 0xD7, 0x94, 0xB2, 0x76}));
  EXPECT_EQ(ReadCfgTypeName(path), "DEFAULT");
  // 129 bytes: ID bytes beyond the end read as 0.
  Bytes cut = Table({0x98, 0xD7, 0x94, 0xB2, 0x76});
  cut.resize(129);
  WriteFile(path, cut);
  EXPECT_EQ(ReadCfgFileNandId(5, path), 0x98D7000000u);
  EXPECT_EQ(ReadCfgFileNandId(5, home / "missing.txt"), 0u);
}

TEST_F(FlashTableTest, ShippedTablesIdentifyEveryEmulatedNandDevice) {
  ShipFlashTables();
  for (const DeviceProfile& p : emulator::profiles::All()) {
    if (p.IsSpiOnly()) continue;
    devices.clear();
    platform::Volumes().Clear();
    auto dev = Plug(p);
    ProductThread& w = Identified(p);
    EXPECT_EQ(w.PageSize, static_cast<int>(p.geometry.pageSize)) << p.name;
    EXPECT_EQ(w.PagesPerBlock, static_cast<int>(p.geometry.pagesPerBlock)) << p.name;
    EXPECT_EQ(w.BlocksPerChip, static_cast<int>(p.geometry.blocksPerChip)) << p.name;
    EXPECT_EQ(w.EccMode, p.geometry.eccMode) << p.name;
    EXPECT_NE(w.FlashTypeName, "DEFAULT") << p.name;
    // The device took the same table.
    EXPECT_EQ(dev->ActiveGeometry().blocksPerChip, p.geometry.blocksPerChip) << p.name;
    EXPECT_EQ(dev->ActiveGeometry().pagesPerBlock, p.geometry.pagesPerBlock) << p.name;
    CloseWorker(w);
  }
  EXPECT_EQ(OpenHandles(), 0u);
}

TEST_F(FlashTableTest, TableUploadGoesInPiecesOfTheBytesRead) {
  auto dev = Plug(emulator::profiles::Standard());
  ProductThread& w = Worker();
  struct Case {
    std::size_t size;
    std::vector<std::uint32_t> pieces;
  };
  for (const Case& c : {Case{512, {512}}, Case{4096, {2048, 2048, 0}}, Case{2500, {2048, 452}}}) {
    Bytes file = emulator::FlashTableFor(emulator::profiles::Standard());
    file.resize(c.size, 0x5A);
    WriteFile(home / "t.txt", file);
    dev->ClearTrace();
    EXPECT_TRUE(SendFlashTableFile(w.hDevice, home / "t.txt"));
    EXPECT_EQ(Pieces(*dev, 0x71), c.pieces) << c.size;
  }
  EXPECT_FALSE(SendFlashTableFile(w.hDevice, home / "missing.txt"));
  dev->InjectFault(emulator::Fault::Vendor(0x71).OnCall(2));
  EXPECT_FALSE(SendFlashTableFile(w.hDevice, home / "t.txt"));
}

TEST_F(FlashTableTest, LoadingRefusesGeometryThatCannotBe) {
  ProductThread& w = Worker('E', 0, false);
  w.ChipCount = 1;
  struct Case {
    const char* what;
    int offset;
    std::uint8_t value;
    bool loads;
  };
  const Bytes good = emulator::FlashTableFor(DeviceProfile().WithGeometry(2048, 64, 4096).WithEccMode(7));
  for (const Case& c : {Case{"sound", 0, good[0], true}, Case{"page shift 8", 84, 8, false},
                        Case{"page shift 14", 84, 14, false}, Case{"16 pages per block", 85, 11 + 4, false},
                        Case{"512 pages per block", 85, 11 + 9, false}, Case{"block shift below page", 85, 10, false},
                        Case{"2^17 blocks per chip", 90, 17, false}, Case{"ECC mode 8", 96, 8, false}}) {
    Bytes t = good;
    t[c.offset] = c.value;
    WriteFile(home / "t.txt", t);
    EXPECT_EQ(w.LoadCfgFile(home / "t.txt"), c.loads) << c.what;
  }
  WriteFile(home / "t.txt", good);
  ASSERT_TRUE(w.LoadCfgFile(home / "t.txt"));
  EXPECT_EQ(w.EccBits, 24);
  EXPECT_EQ(w.EccThreshold, 1);  // iEccLevel 2
  EXPECT_EQ(w.SectorUnit, 512);
  w.ChipCount = 0;
  EXPECT_FALSE(w.LoadCfgFile(home / "t.txt"));
  w.ChipCount = 32;  // 32 x 4096 blocks do not fit the bitmap
  EXPECT_FALSE(w.LoadCfgFile(home / "t.txt"));
  w.ChipCount = 1;

  // The registry override of blocks per chip is checked the same way.
  for (auto [value, loads] : {std::pair{100, true}, std::pair{65537, false}, std::pair{-5, false}}) {
    production::RegWriteInt("BlocksPerChip", value);
    EXPECT_EQ(w.LoadCfgFile(home / "t.txt"), loads) << value;
    if (loads) {
      EXPECT_TRUE(w.BlocksPerChipOverride);
      EXPECT_EQ(w.BlocksPerChip, value);
    }
  }
  production::RegWriteInt("BlocksPerChip", 0);
  ASSERT_TRUE(w.LoadCfgFile(home / "t.txt"));
  EXPECT_FALSE(w.BlocksPerChipOverride);
  EXPECT_EQ(w.BlocksPerChip, 4096);
}

}  // namespace
}  // namespace production_test
