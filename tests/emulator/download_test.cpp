// FSM download, the order a run must keep, image downloads with their checks, SPI flash.
#include "emulator_fixture.h"

using namespace device;
using namespace emulator_test;

TEST_F(EmulatorTest, FsmDownloadChecksSizeAndSum) {
  auto [d, h] = Open(Small(), 'E', false);
  const Bytes fsm = Pattern(4096, 3);
  EXPECT_TRUE(LoadFsm(h, fsm));
  EXPECT_TRUE(d->FsmLoaded());
  EXPECT_EQ(d->FsmBytes(), fsm);
  EXPECT_EQ(d->CountVendor(SUB_SCSI_OP_DOWNLOAD_DATA), 3u);  // 2048, 2048 and 0
  EXPECT_TRUE(cmd_bFsmInit(h));

  // A wrong sum, or the size still 0 while the file is not, leaves no FSM.
  auto load = [&](std::uint32_t announced, std::uint16_t sum) {
    ASSERT_TRUE(cmd_bDownloadStart(h, announced));
    Pieces(fsm, [&](std::uint8_t* p, std::uint32_t n) { return cmd_bDownloadData(h, p, n); });
    EXPECT_FALSE(cmd_bDownloadSum(h, sum) && d->FsmLoaded());
  };
  std::uint16_t sum = 0;
  for (auto v : fsm) sum = static_cast<std::uint16_t>(sum + v);
  load(4096, static_cast<std::uint16_t>(sum + 1));
  load(0, sum);

  // The FSM is forgotten at the next plug.
  EXPECT_TRUE(LoadFsm(h, {'a', 'b', 'c'}));
  d->Unplug();
  d->Plug('E');
  EXPECT_FALSE(d->FsmLoaded());
}

TEST_F(EmulatorTest, WithoutTheFsmFlashCommandsFailInTheirWrappersConvention) {
  auto [d, h] = Open(Small(), 'E', false);
  Bytes buffer(2048, 0);
  std::uint8_t results[8];
  const struct {
    const char* name;
    BOOL result;
  } refused[] = {
      {"FsmInit", cmd_bFsmInit(h)},
      {"ReadCfg", cmd_bReadCfg(h, buffer.data())},
      {"EraseBlock", cmd_bEraseBlock(h, 1, 1)},
      {"BlockTest", cmd_bBlockTest(h, 1, 1, 0, 1, 3, 0, 4, results, 0, 64)},
      {"WritePages", cmd_bWritePages(h, 64, 1, buffer.data(), 2048, 0)},
      {"ReadPages", cmd_bReadPages(h, 64, 1, buffer.data(), 2048, 0)},
      {"ReadBadBlockMap", cmd_bReadBadBlockMap(h, buffer.data(), 128)},
      {"SetPageTable", cmd_bSetPageTable(h, buffer.data(), 64)},
      {"WriteSetup", cmd_bWriteSetup(h, 10)},
      {"WriteData", cmd_bWriteData(h, buffer.data(), 10)},
      {"WriteEnd", cmd_bWriteEnd(h)},
      {"StartDisk", cmd_bStartDisk(h)},
  };
  for (const auto& r : refused) EXPECT_EQ(r.result, 0) << r.name;
  EXPECT_FALSE(d->Page(1, 0));
  EXPECT_TRUE(d->BlockTests().empty());
  // Identity and the FSM download itself need no FSM.
  std::uint8_t id[5];
  EXPECT_TRUE(cmd_bGetFlashId(h, id));
  EXPECT_EQ(cmd_GetChipCount(h), 1);
  EXPECT_TRUE(LoadFsm(h));
  EXPECT_TRUE(cmd_bFsmInit(h));
}

TEST_F(EmulatorTest, ParityCheckAndStartDiskWaitForAWholeProgramImage) {
  auto [d, h] = Open(Small().WithPreloadedConfig(emulator::FlashTableFor(Small())));
  EXPECT_FALSE(cmd_bFwParityCheck(h));  // no firmware yet
  EXPECT_FALSE(cmd_bStartDisk(h));
  const Bytes program = Pattern(5000, 1), prefer = Pattern(4096, 2), empty;

  // A try whose data fell short fails at its end and is not kept.
  ASSERT_TRUE(cmd_bWriteSetup(h, 5000));
  Bytes part(program.begin(), program.begin() + 2048);
  ASSERT_TRUE(cmd_bWriteData(h, part.data(), 2048));
  EXPECT_FALSE(cmd_bWriteEnd(h));
  EXPECT_FALSE(cmd_bWriteEnd(h));  // no setup
  EXPECT_FALSE(cmd_bFwParityCheck(h));
  EXPECT_FALSE(cmd_bStartDisk(h));

  Download(h, program);
  Download(h, prefer);
  Download(h, empty);
  const auto images = d->Images();
  ASSERT_EQ(images.size(), 3u);
  EXPECT_EQ(images[0].bytes, program);
  EXPECT_EQ(images[1].bytes, prefer);
  EXPECT_EQ(images[2].announced, 0u);
  EXPECT_TRUE(cmd_bFwParityCheck(h));
  EXPECT_TRUE(cmd_bStartDisk(h));

  // An empty first image is no program.
  d->Unplug();
  d->Plug('E');
  Handle again('E');
  ASSERT_TRUE(LoadFsm(again));
  Download(again, empty);
  Download(again, program);
  EXPECT_FALSE(cmd_bFwParityCheck(again));
  EXPECT_FALSE(cmd_bStartDisk(again));
}

TEST_F(EmulatorTest, SpiImagesLandWhereTheReadBackExpectsThem) {
  auto [d, h] = Open(emulator::profiles::SpiOnlyDevice());
  std::uint8_t id[5] = {};
  ASSERT_TRUE(cmd_bGetFlashIdByDrive('E', id));  // no NAND
  EXPECT_EQ(Bytes(id, id + 5), (Bytes{0xFF, 0x00, 0xFF, 0x00, 0xFF}));
  EXPECT_EQ(cmd_GetSpiSizeMB(h), 4);
  EXPECT_TRUE(cmd_bCheckSpiFlash(h));
  const Bytes program = Pattern(100000, 5), prefer = Pattern(5000, 6);
  Download(h, program);
  Download(h, prefer);
  EXPECT_TRUE(cmd_bStartDisk(h)) << "an SPI-only device starts without a disk";
  std::uint32_t lastLba = 0, blockLength = 0;
  EXPECT_TRUE(cmd_bReadCapacity(h, &lastLba, &blockLength));
  EXPECT_TRUE(d->Trace().back().checkCondition);

  // Read the image as the station dumps it: 2048 bytes (8 units) per request.
  Bytes flash(262144);
  for (std::uint32_t unit = 0; unit < flash.size() / 256; unit += 8)
    ASSERT_TRUE(cmd_bSpiRead(h, unit, 8, flash.data() + unit * 256));
  EXPECT_EQ(0, std::memcmp(flash.data(), program.data(), 4));
  EXPECT_EQ(0, std::memcmp(flash.data() + 65536, program.data() + 2048, program.size() - 2048));
  const std::uint32_t preferAt = 196608;  // program rounded up to 64 KiB, plus 64 KiB
  EXPECT_EQ(0, std::memcmp(flash.data() + preferAt, prefer.data() + 2048, 2048));

  // Plain SPI writes and reads in 256-byte units; past the flash is refused.
  Bytes units = Pattern(512, 9), back(512);
  ASSERT_TRUE(cmd_bSpiWrite(h, 0x3000, 2, units.data()));
  ASSERT_TRUE(cmd_bSpiRead(h, 0x3000, 2, back.data()));
  EXPECT_EQ(back, units);
  EXPECT_EQ(d->SpiRead(0x3000 * 256, 512), units);
  ASSERT_TRUE(cmd_bSpiRead(h, 0x4000 - 1, 2, back.data()));  // 4 MB ends at unit 0x4000
  EXPECT_TRUE(d->Trace().back().checkCondition);
  EXPECT_EQ(std::tuple(d->Trace().back().sense.key, d->Trace().back().sense.asc), std::tuple(0x05, 0x21));
  EXPECT_FALSE(cmd_bSpiWrite(h, 0x4000 - 1, 2, units.data())) << "a write the device refused";
  // A fault for one SPI unit hits the 6-byte writes whose range covers it.
  d->InjectFault(emulator::Fault::Vendor(SUB_SCSI_OP_SPI_WRITE).At(0x2001).Always().AsCheckCondition());
  EXPECT_TRUE(cmd_bSpiWrite(h, 0x2002, 2, units.data()));
  EXPECT_FALSE(cmd_bSpiWrite(h, 0x2000, 2, units.data()));
  EXPECT_TRUE(d->Trace().back().faulted);
  EXPECT_EQ(d->SpiRead(0x3FFF * 256, 256), Bytes(256, 0xFF));
}
