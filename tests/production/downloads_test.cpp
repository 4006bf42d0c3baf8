// Image downloads and the FSM download, piece by piece, against the emulator.
#include "production/file_send.h"
#include "production_fixture.h"

namespace production_test {
namespace {

using production::DownloadFsmFile;
using production::StartDisk;
using production::WriteEnd;
using production::WriteImageData;
using production::WritePreferData;
using production::WriteSetup;

std::uint32_t CdbValue(const emulator::TraceEntry& t, int at, int bytes) {
  std::uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | t.cdb[at + i];
  return v;
}

struct DownloadsTest : ProductionTest {
  std::string File(const std::string& name, std::size_t size, char fill = 'a') {
    WriteFile(home / name, std::string(size, fill));
    return home / name;
  }
};

TEST_F(DownloadsTest, ImageGoesOutAsSetupPiecesAndEnd) {
  auto dev = Plug(emulator::profiles::Standard());
  ProductThread& w = Worker();
  struct Case {
    std::size_t size;
    std::vector<std::uint32_t> pieces;
  };
  for (const Case& c : {Case{5000, {2048, 2048, 904}}, Case{4096, {2048, 2048, 0}}, Case{0, {0}}}) {
    const std::string path = File("image.bin", c.size);
    dev->ClearTrace();
    ASSERT_TRUE(WriteSetup(w.hDevice, path));
    ASSERT_TRUE(WriteImageData(w.hDevice, path, 1));
    ASSERT_TRUE(WriteEnd(w.hDevice));
    const auto trace = dev->Trace();
    ASSERT_TRUE(trace.front().IsVendor(0x7A));
    EXPECT_EQ(CdbValue(trace.front(), 2, 4), c.size);
    EXPECT_EQ(Pieces(*dev, 0x7B), c.pieces) << c.size;
    EXPECT_TRUE(trace.back().IsVendor(0x7C));
    ASSERT_FALSE(dev->Images().empty());
    EXPECT_EQ(dev->Images().back().bytes.size(), c.size);
  }
}

TEST_F(DownloadsTest, MissingFilesAndFailedPiecesFailTheirStep) {
  auto dev = Plug(emulator::profiles::Standard());
  ProductThread& w = Worker();
  dev->ClearTrace();
  // Nothing is announced for a file that is not there.
  EXPECT_FALSE(WriteSetup(w.hDevice, home / "missing.bin"));
  EXPECT_FALSE(WriteSetup(w.hDevice, home.path));  // a folder is no image
  EXPECT_FALSE(WriteImageData(w.hDevice, home / "missing.bin", 0));
  // 4 GiB does not fit the 32-bit size (a sparse file: no disk space used).
  WriteFile(home / "huge.iso", std::string());
  std::filesystem::resize_file(home / "huge.iso", std::uint64_t{4} << 30);
  EXPECT_FALSE(WriteSetup(w.hDevice, home / "huge.iso"));
  EXPECT_TRUE(dev->Trace().empty());

  const std::string path = File("prefer.dat", 7000);
  dev->InjectFault(emulator::Fault::Vendor(0x7B).OnCall(3));
  EXPECT_FALSE(WritePreferData(w.hDevice, path));
  EXPECT_EQ(Pieces(*dev, 0x7B).size(), 3u);  // stopped at the failed piece

  dev->InjectFault(emulator::Fault::Vendor(0x7A).AsEvenStatus());
  EXPECT_FALSE(WriteSetup(w.hDevice, path));

  // A stream that cannot be read (a folder) sends nothing and fails.
  std::FILE* folder = std::fopen(home.path.c_str(), "rb");
  ASSERT_NE(folder, nullptr);
  int sent = 0;
  EXPECT_FALSE(production::SendStreamInPieces(folder, 8192, [&](std::uint8_t*, std::uint32_t) { return ++sent > 0; }));
  std::fclose(folder);
  EXPECT_EQ(sent, 0);

  dev->Unplug();  // removed between stages
  EXPECT_FALSE(WriteSetup(w.hDevice, path));
  EXPECT_FALSE(WriteImageData(w.hDevice, path, 0));
  EXPECT_FALSE(WriteEnd(w.hDevice));
  EXPECT_FALSE(StartDisk(w.hDevice));
  CloseWorker(w);
  EXPECT_EQ(OpenHandles(), 0u);
}

TEST_F(DownloadsTest, FsmDownloadSendsSizeDataAndSum) {
  auto dev = Plug(emulator::profiles::Standard(), 'E', false);
  struct Case {
    const char* what;
    std::string bytes;
    std::int32_t parameter;
    std::uint16_t sum;
    std::vector<std::uint32_t> pieces;
  };
  const std::vector<Case> cases = {
      {"abc", "abc", 3, 0x0126, {3}},
      {"300 x FF", std::string(300, '\xFF'), 300, 0x2AD4, {300}},
      {"4096 bytes", std::string(4096, '\x01'), 4096, 4096, {2048, 2048, 0}},
  };
  for (const auto& c : cases) {
    WriteFile(home / "misc/FSM.bin", c.bytes);
    dev->ClearTrace();
    ASSERT_TRUE(DownloadFsmFile('E', c.parameter, home / "misc/FSM.bin")) << c.what;
    const auto trace = dev->Trace();
    EXPECT_EQ(CdbValue(trace.front(), 2, 4), static_cast<std::uint32_t>(c.parameter)) << c.what;
    EXPECT_EQ(Pieces(*dev, 0x78), c.pieces) << c.what;
    ASSERT_TRUE(trace.back().IsVendor(0x79));
    EXPECT_EQ(CdbValue(trace.back(), 2, 2), c.sum) << c.what;
    EXPECT_TRUE(dev->FsmLoaded()) << c.what;
  }
  // The size from the language build is still 0: all four bytes 0.
  dev->ClearTrace();
  EXPECT_TRUE(DownloadFsmFile('E', 0, home / "misc/FSM.bin"));
  EXPECT_EQ(CdbValue(dev->Trace().front(), 2, 4), 0u);
  EXPECT_FALSE(dev->FsmLoaded());
  EXPECT_EQ(OpenHandles(), 0u);
}

TEST_F(DownloadsTest, FsmFailuresStopTheTransferAndCloseTheVolume) {
  auto dev = Plug(emulator::profiles::Standard(), 'E', false);
  WriteFile(home / "misc/FSM.bin", std::string(3000, 'x'));
  // A volume that cannot be opened: nothing is sent.
  EXPECT_FALSE(DownloadFsmFile('Q', 3000, home / "misc/FSM.bin"));
  // A missing file fails at the data step, after the start; no sum follows.
  dev->ClearTrace();
  EXPECT_FALSE(DownloadFsmFile('E', 3000, home / "misc/none.bin"));
  EXPECT_EQ(dev->CountVendor(0x77), 1u);
  EXPECT_EQ(dev->CountVendor(0x79), 0u);
  // A failed start skips the rest; a failed piece skips the sum.
  for (std::uint8_t sub : {0x77, 0x78, 0x79}) {
    dev->ClearTrace();
    dev->InjectFault(emulator::Fault::Vendor(sub));
    EXPECT_FALSE(DownloadFsmFile('E', 3000, home / "misc/FSM.bin")) << int(sub);
    EXPECT_EQ(dev->CountVendor(0x79), sub == 0x79 ? 1u : 0u) << int(sub);
    dev->ClearFaults();
  }
  EXPECT_EQ(OpenHandles(), 0u);
}

// The shipped FSM (loaded at plugging) and a block written by the station.
TEST_F(DownloadsTest, DeviceConfiguredByTheStationStartsItsDisk) {
  ShipFlashTables();
  const DeviceProfile p = emulator::profiles::SmallDisk();
  Plug(p);
  ProductThread& w = Identified(p);
  int percent = 0;
  ASSERT_TRUE(w.ReadBadBlockBitmap(percent));
  w.SystemAreaUnits = 1;
  ASSERT_TRUE(w.WriteCfgBlock(true));
  ASSERT_TRUE(device::cmd_bFsmInit(w.hDevice));
  for (const char* name : {"program.bin", "prefer.dat"}) {
    const std::string path = File(name, 70000, 'p');
    ASSERT_TRUE(WriteSetup(w.hDevice, path));
    ASSERT_TRUE(WriteImageData(w.hDevice, path, 0));
    ASSERT_TRUE(WriteEnd(w.hDevice));
  }
  EXPECT_TRUE(production::FwParityCheck(w.hDevice));
  ASSERT_TRUE(StartDisk(w.hDevice));
  CloseWorker(w);
  EXPECT_GT(production::bGetDiskSizeMB('E'), 0);
  EXPECT_EQ(OpenHandles(), 0u);
}

}  // namespace
}  // namespace production_test
