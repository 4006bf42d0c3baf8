// Identity answers and the checks made at device arrival.
#include <atomic>

#include "emulator_fixture.h"

using namespace device;
using namespace emulator_test;
namespace profiles = emulator::profiles;

TEST_F(EmulatorTest, IdentityAnswers) {
  auto [d, h] = Open(Small().WithSerialNumber(200).WithBondingId(7).WithFwSelect(0).WithGeometry(2048, 64, 512, 2));
  std::uint8_t id[5] = {}, v = 99, r99[512];
  ASSERT_TRUE(cmd_bGetFlashId(h, id));  // the device answers maker first, the wrapper reverses it
  EXPECT_EQ(Bytes(id, id + 5), (Bytes{0x76, 0x32, 0x94, 0xD7, 0x98}));
  EXPECT_EQ(cmd_GetSerialNum(h), 200);
  EXPECT_EQ(cmd_GetChipCount(h), 2);
  EXPECT_TRUE(cmd_bGetBondingId(h, &v));
  EXPECT_EQ(v, 7);
  EXPECT_TRUE(cmd_bGetFwSelect(h, &v));
  EXPECT_EQ(v, 0);
  EXPECT_TRUE(cmd_bCheckFamilyModel(h));
  EXPECT_TRUE(cmd_bRead99(h, r99));
  EXPECT_EQ(cmd_GetSpiSizeMB(h), 0);
  EXPECT_FALSE(cmd_bCheckSpiFlash(h));
}

TEST_F(EmulatorTest, InquirySignatures) {
  // The default answer and the foreign one are checked with the named profiles.
  Make(Small().Named("711").WithInquiry(emulator::Inquiry711()), 'F');
  Make(Small().Named("712").WithInquiry(emulator::Inquiry712()), 'G');
  EXPECT_TRUE(cmd_bInquiry('F'));
  EXPECT_TRUE(cmd_bInquiry('G'));
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
}

TEST_F(EmulatorTest, EveryNamedProfileBuildsAndAnswers) {
  char letter = 'D';
  for (const auto& p : profiles::All()) {
    SCOPED_TRACE(p.name);
    Make(p, letter);
    std::uint8_t id[5] = {};
    EXPECT_TRUE(cmd_bGetFlashIdByDrive(letter, id));
    EXPECT_EQ(id[4], p.flashId[0]);
    EXPECT_EQ(bool(cmd_bInquiry(letter)), p.name != "foreign");
    EXPECT_EQ(bool(cmd_bCheckChipModel(letter++)), p.name == "player-mode");  // only it needs the reset
    EXPECT_EQ(profiles::ByName(p.name)->name, p.name);
  }
  EXPECT_FALSE(profiles::ByName("no such"));
  EXPECT_THROW(EmulatedDevice::Create(Small().WithGeometry(3000, 64, 1024), dir / "bad"), std::invalid_argument);
}
