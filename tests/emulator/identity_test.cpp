// Identity answers and the checks made at device arrival.
#include <atomic>

#include "emulator_fixture.h"

using namespace device;
using namespace emulator_test;
namespace profiles = emulator::profiles;

TEST_F(EmulatorTest, FlashIdComesMakerFirstAndTheWrapperReversesIt) {
  auto d = Make(Small());
  Handle h('E');
  std::uint8_t id[5] = {};
  ASSERT_TRUE(cmd_bGetFlashId(h, id));
  const std::uint8_t reversed[5] = {0x76, 0x32, 0x94, 0xD7, 0x98};
  EXPECT_EQ(0, std::memcmp(id, reversed, 5));

  auto spi = Make(profiles::SpiOnlyDevice(), 'F');
  std::uint8_t spiId[5] = {};
  ASSERT_TRUE(cmd_bGetFlashIdByDrive('F', spiId));
  const std::uint8_t spiAnswer[5] = {0xFF, 0x00, 0xFF, 0x00, 0xFF};
  EXPECT_EQ(0, std::memcmp(spiId, spiAnswer, 5));
  Handle hs('F');
  EXPECT_EQ(cmd_GetSpiSizeMB(hs), 4);
  EXPECT_TRUE(cmd_bCheckSpiFlash(hs));
  EXPECT_FALSE(cmd_bCheckSpiFlash(h));  // no SPI flash on the NAND device
}

TEST_F(EmulatorTest, OneByteIdentityAnswers) {
  auto d = Make(Small().WithSerialNumber(200).WithBondingId(7).WithFwSelect(0).WithGeometry(2048, 64, 512, 2));
  Handle h('E');
  EXPECT_EQ(cmd_GetSerialNum(h), 200);
  EXPECT_EQ(cmd_GetChipCount(h), 2);
  std::uint8_t v = 99;
  EXPECT_TRUE(cmd_bGetBondingId(h, &v));
  EXPECT_EQ(v, 7);
  EXPECT_TRUE(cmd_bGetFwSelect(h, &v));
  EXPECT_EQ(v, 0);
  EXPECT_TRUE(cmd_bCheckFamilyModel(h));
  std::uint8_t r99[512];
  EXPECT_TRUE(cmd_bRead99(h, r99));
  EXPECT_EQ(cmd_GetSpiSizeMB(h), 0);
}

TEST_F(EmulatorTest, InquirySignatures) {
  Make(Small().Named("g").WithInquiry(emulator::InquiryG()), 'E');
  Make(Small().Named("711").WithInquiry(emulator::Inquiry711()), 'F');
  Make(Small().Named("712").WithInquiry(emulator::Inquiry712()), 'G');
  Make(profiles::Foreign(), 'H');
  EXPECT_TRUE(cmd_bInquiry('E'));
  EXPECT_TRUE(cmd_bInquiry('F'));
  EXPECT_TRUE(cmd_bInquiry('G'));
  EXPECT_FALSE(cmd_bInquiry('H'));
  EXPECT_FALSE(cmd_bInquiry('K'));  // nothing mounted there
}

TEST_F(EmulatorTest, PlayerModeDeviceIsResetIntoProductionMode) {
  auto d = Make(profiles::PlayerMode());
  std::atomic<int> calls{0};
  d->OnReset([&](EmulatedDevice& dev) {
    ++calls;
    EXPECT_TRUE(dev.Plugged());
  });
  EXPECT_TRUE(cmd_bCheckChipModel('E'));
  EXPECT_TRUE(cmd_bResetDevice('E'));
  EXPECT_EQ(d->ResetCount(), 1u);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(cmd_bCheckChipModel('E'));

  Make(Small(), 'F');
  EXPECT_FALSE(cmd_bCheckChipModel('F'));
}

TEST_F(EmulatorTest, EveryNamedProfileBuildsAndAnswers) {
  char letter = 'D';
  for (const auto& p : profiles::All()) {
    SCOPED_TRACE(p.name);
    auto d = Make(p, letter);
    std::uint8_t id[5] = {};
    EXPECT_TRUE(cmd_bGetFlashIdByDrive(letter, id));
    EXPECT_EQ(id[4], p.flashId[0]);
    EXPECT_EQ(emulator::profiles::ByName(p.name)->name, p.name);
    ++letter;
  }
  EXPECT_FALSE(emulator::profiles::ByName("no such"));
  EXPECT_THROW(EmulatedDevice::Create(Small().WithGeometry(3000, 64, 1024), dir / "bad"), std::invalid_argument);
}
