// FSM download, image downloads with their checks, SPI flash.
#include "emulator_fixture.h"

using namespace device;
using namespace emulator_test;

namespace {

Bytes Pattern(std::size_t n, std::uint8_t salt) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i * 7 + salt + i / 251) & 0xFF);
  return b;
}

// Sends a file in 2048-byte pieces, with the trailing empty piece when the size is a multiple of 2048.
template <typename Send>
void Pieces(Bytes data, Send send) {
  for (std::size_t at = 0, n = 2048; n == 2048; at += n) {
    n = std::min<std::size_t>(2048, data.size() - at);
    ASSERT_TRUE(send(data.data() + at, static_cast<std::uint32_t>(n)));
  }
}

void Download(platform::HANDLE h, const Bytes& image) {
  ASSERT_TRUE(cmd_bWriteSetup(h, static_cast<std::uint32_t>(image.size())));
  Pieces(image, [&](std::uint8_t* p, std::uint32_t n) { return cmd_bWriteData(h, p, n); });
  ASSERT_TRUE(cmd_bWriteEnd(h));
}

}  // namespace

TEST_F(EmulatorTest, FsmDownloadChecksSizeAndSum) {
  auto [d, h] = Open(Small());
  auto load = [&](std::uint32_t announced, const Bytes& data, std::uint32_t sum) {
    ASSERT_TRUE(cmd_bDownloadStart(h, announced));
    Pieces(data, [&](std::uint8_t* p, std::uint32_t n) { return cmd_bDownloadData(h, p, n); });
    ASSERT_TRUE(cmd_bDownloadSum(h, sum));
  };
  const Bytes fsm = Pattern(4096, 3);
  std::uint16_t sum = 0;
  for (auto v : fsm) sum = static_cast<std::uint16_t>(sum + v);
  load(4096, fsm, sum);
  EXPECT_TRUE(d->FsmLoaded());
  EXPECT_EQ(d->FsmBytes(), fsm);
  EXPECT_EQ(d->CountVendor(SUB_SCSI_OP_DOWNLOAD_DATA), 3u);  // 2048, 2048 and 0
  EXPECT_TRUE(cmd_bFsmInit(h));

  // A wrong sum, or the size still 0 while the file is not, leaves no FSM.
  load(4096, fsm, static_cast<std::uint16_t>(sum + 1));
  EXPECT_FALSE(d->FsmLoaded());
  load(0, fsm, sum);
  EXPECT_FALSE(d->FsmLoaded());

  // "abc" sums to 0x0126; the FSM is forgotten at the next plug.
  load(3, {'a', 'b', 'c'}, 0x0126);
  EXPECT_TRUE(d->FsmLoaded());
  d->Unplug();
  d->Plug('E');
  EXPECT_FALSE(d->FsmLoaded());
}

TEST_F(EmulatorTest, ImageDownloadsAreKeptInOrderAndChecked) {
  auto [d, h] = Open(Small());
  EXPECT_FALSE(cmd_bFwParityCheck(h));  // no firmware yet
  const Bytes program = Pattern(5000, 1), prefer = Pattern(4096, 2), empty;

  // A try whose data fell short fails at its end and is not kept.
  ASSERT_TRUE(cmd_bWriteSetup(h, 5000));
  Bytes part(program.begin(), program.begin() + 2048);
  ASSERT_TRUE(cmd_bWriteData(h, part.data(), 2048));
  EXPECT_FALSE(cmd_bWriteEnd(h));
  EXPECT_FALSE(cmd_bWriteEnd(h));  // no setup

  Download(h, program);
  Download(h, prefer);
  Download(h, empty);
  const auto images = d->Images();
  ASSERT_EQ(images.size(), 3u);
  EXPECT_EQ(images[0].bytes, program);
  EXPECT_EQ(images[1].bytes, prefer);
  EXPECT_EQ(images[2].announced, 0u);
  EXPECT_TRUE(cmd_bFwParityCheck(h));
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
}
