#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "platform/scsi/scsi.h"
#include "platform/scsi/sg_io_target.h"
#include "platform/volumes/volumes.h"
#include "support/scripted_target.h"

using namespace platform;
using testing_support::ScriptedTarget;

namespace {

struct VolumeFixture : ::testing::Test {
  void SetUp() override { Volumes().Clear(); }
  void TearDown() override { Volumes().Clear(); }
};

HANDLE Open(const char* path) {
  return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     0, nullptr);
}

}  // namespace

using ScsiHandles = VolumeFixture;

TEST_F(ScsiHandles, OpensOnlyVolumePathsOfBoundLetters) {
  auto target = std::make_shared<ScriptedTarget>();
  ASSERT_TRUE(Volumes().Mount('e', target, "/dev/null"));
  EXPECT_FALSE(Volumes().Mount('E', target, "/dev/null")) << "a letter is bound once";

  const auto before = OpenHandleCount();
  HANDLE h = Open("\\\\.\\E:");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_NE(h, nullptr);
  EXPECT_EQ(OpenHandleCount(), before + 1);
  EXPECT_EQ(Open("\\\\.\\F:"), INVALID_HANDLE_VALUE) << "no volume on F";
  EXPECT_EQ(Open("E:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open("\\\\.\\E:\\"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(nullptr), INVALID_HANDLE_VALUE);

  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(CloseHandle(h)) << "a closed handle stays closed";
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_EQ(OpenHandleCount(), before);

  HANDLE again = Open("\\\\.\\e:");
  EXPECT_NE(again, h) << "handle values are never reused";
  CloseHandle(again);
}

TEST_F(ScsiHandles, AssignGivesTheFirstFreeLetterAndWatchersHearEveryChange) {
  auto target = std::make_shared<ScriptedTarget>();
  std::vector<std::pair<VolumeEvent, char>> heard;
  const int id = Volumes().Watch([&](VolumeEvent e, char letter) {
    heard.emplace_back(e, letter);
    if (e == VolumeEvent::Arrival) Volumes().SetNode(letter, "seen");  // a watcher may use the table
  });
  EXPECT_EQ(Volumes().Assign(target, "a"), 'D');
  EXPECT_EQ(Volumes().Assign(target, "b"), 'E');
  Volumes().Unmount('d');
  Volumes().Unmount('Q');  // nothing bound there: nothing to hear
  EXPECT_EQ(Volumes().Assign(target, "c"), 'D');
  EXPECT_EQ(Volumes().Lookup('D')->node, "seen");
  EXPECT_FALSE(Volumes().SetNode('Q', "x"));
  using enum VolumeEvent;
  EXPECT_EQ(heard, (std::vector<std::pair<VolumeEvent, char>>{{Arrival, 'D'}, {Arrival, 'E'}, {Removal, 'D'},
                                                              {Arrival, 'D'}}));
  Volumes().Unwatch(id);
  for (char c = 'F'; c <= 'Z'; ++c) ASSERT_TRUE(Volumes().Mount(c, target, ""));
  EXPECT_EQ(Volumes().Assign(target, "full"), 0);
  EXPECT_EQ(heard.size(), 4u) << "an unwatched watcher hears nothing more";
}

TEST_F(ScsiHandles, BufferedRequestReachesTheTargetAndAnswersIntoTheBlock) {
  auto target = std::make_shared<ScriptedTarget>();
  target->Queue({true, {1, 2, 3, 4, 5, 6, 7}});
  HANDLE h = OpenTargetHandle(target);

  SCSI_PASS_THROUGH_WITH_BUFFERS block{};
  block.spt.Length = 44;
  block.spt.CdbLength = 6;
  block.spt.DataIn = 1;
  block.spt.DataTransferLength = 5;
  block.spt.TimeOutValue = 12;
  block.spt.DataBufferOffset = 80;
  block.spt.SenseInfoOffset = 48;
  block.spt.Cdb[0] = 0xEF;
  block.spt.Cdb[1] = 0x70;
  DWORD returned = 0;
  EXPECT_TRUE(DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH, &block, 44, &block, 85, &returned, nullptr));
  ASSERT_EQ(target->requests.size(), 1u);
  EXPECT_EQ(target->requests[0].cdb, (std::vector<std::uint8_t>{0xEF, 0x70, 0, 0, 0, 0}));
  EXPECT_EQ(target->requests[0].direction, ScsiDirection::In);
  EXPECT_EQ(target->requests[0].timeoutSeconds, 12u);
  EXPECT_EQ(block.ucDataBuf[4], 5);
  EXPECT_EQ(block.ucDataBuf[5], 0) << "only the asked length is answered";

  // DataIn 1 with nothing to move is a command without data.
  block.spt.DataTransferLength = 0;
  EXPECT_TRUE(DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH, &block, 44, &block, 80, &returned, nullptr));
  EXPECT_EQ(target->requests[1].direction, ScsiDirection::None);

  // The data area may follow the header at once, never overlap it.
  block.spt.DataTransferLength = 1;
  block.spt.DataBufferOffset = 44;
  EXPECT_TRUE(DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH, &block, 44, &block, 80, &returned, nullptr));
  block.spt.DataBufferOffset = 43;
  EXPECT_FALSE(DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH, &block, 44, &block, 80, &returned, nullptr));
  EXPECT_EQ(target->requests.size(), 3u);
  block.spt.DataBufferOffset = 80;

  // An answer area that would run past the output block is refused.
  block.spt.DataTransferLength = 600;
  EXPECT_FALSE(DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH, &block, 44, &block, 592, &returned, nullptr));
  EXPECT_EQ(target->requests.size(), 3u);
  block.spt.DataTransferLength = 1;
  EXPECT_FALSE(DeviceIoControl(h, 0x12345, &block, 44, &block, 81, &returned, nullptr));
  CloseHandle(h);
  EXPECT_FALSE(DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH, &block, 44, &block, 81, &returned, nullptr))
      << "a closed handle carries nothing";
  EXPECT_EQ(target->requests.size(), 3u);
}

TEST_F(ScsiHandles, DirectRequestCarriesAFullAddressAndDirection) {
  auto target = std::make_shared<ScriptedTarget>();
  target->fallback = {false, {}};
  HANDLE h = OpenTargetHandle(target);
  std::uint8_t data[300] = {9, 8, 7};

  SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER block{};
  block.sptd.Length = 44;
  block.sptd.CdbLength = 10;
  block.sptd.DataIn = SCSI_IOCTL_DATA_OUT;
  block.sptd.DataTransferLength = sizeof data;
  block.sptd.TimeOutValue = 10;
  SetDirectDataBuffer(block, data);
  EXPECT_EQ(GetDirectDataBuffer(block), data);
  DWORD returned = 0;
  EXPECT_FALSE(DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, 80, &block, 80, &returned, nullptr))
      << "the target's failure is the call's failure";
  ASSERT_EQ(target->requests.size(), 1u);
  EXPECT_EQ(target->requests[0].direction, ScsiDirection::Out);
  EXPECT_EQ(target->requests[0].buffer, data);
  EXPECT_EQ(target->requests[0].dataOut.size(), 300u);
  EXPECT_EQ(target->requests[0].dataOut[2], 7);

  block.sptd.CdbLength = 17;
  EXPECT_FALSE(DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, 80, &block, 80, &returned, nullptr));
  EXPECT_EQ(target->requests.size(), 1u) << "an impossible CDB length never reaches the target";

  // A refusal: the status goes to the header, the sense data to the sense
  // area the header names, and only where that area lies within the block.
  const std::vector<std::uint8_t> sense(32, 0x70);
  block.sptd.CdbLength = 10;
  block.sptd.SenseInfoOffset = 48;
  for (const auto& [length, received] : {std::pair{24, 24}, {32, 32}, {33, 0}}) {
    target->Queue({true, {}, SCSI_STATUS_CHECK_CONDITION, sense});
    std::memset(block.ucSenseBuf, 0, sizeof block.ucSenseBuf);
    block.sptd.SenseInfoLength = static_cast<UCHAR>(length);
    EXPECT_TRUE(DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, 80, &block, 80, &returned, nullptr));
    EXPECT_EQ(block.sptd.ScsiStatus, SCSI_STATUS_CHECK_CONDITION);
    EXPECT_EQ(std::count(block.ucSenseBuf, block.ucSenseBuf + 32, 0x70), received) << "sense length " << length;
  }
  CloseHandle(h);
}

TEST(SgIoTarget, BuildsTheHeaderItSends) {
  sg_io_hdr_t seen{};
  int calls = 0;
  unsigned char hostStatus = 0, driverStatus = 0, deviceStatus = 0x02, senseLength = 0;
  int ioctlResult = 0;
  SgIoTarget target(42, [&](int fd, sg_io_hdr_t* header) {
    EXPECT_EQ(fd, 42);
    ++calls;
    seen = *header;
    header->host_status = hostStatus;
    header->driver_status = driverStatus;
    header->status = deviceStatus;  // CHECK CONDITION is the device's answer
    header->sb_len_wr = senseLength;
    if (senseLength > 2) header->sbp[2] = 0x03;
    return ioctlResult;
  });
  std::uint8_t cdb[16] = {0xEF, 0x93};
  std::uint8_t data[16] = {};
  UCHAR status = 0xFF;
  ScsiRequest in{cdb, 16, ScsiDirection::In, data, 6, 30, &status};
  EXPECT_TRUE(target.Execute(in));
  EXPECT_EQ(status, SCSI_STATUS_CHECK_CONDITION) << "the device's status is handed back";
  EXPECT_EQ(seen.interface_id, 'S');
  EXPECT_EQ(seen.dxfer_direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(seen.cmd_len, 16);
  EXPECT_EQ(seen.cmdp, cdb);
  EXPECT_EQ(seen.dxfer_len, 6u);
  EXPECT_EQ(seen.dxferp, data);
  EXPECT_EQ(seen.timeout, 30000u);
  EXPECT_GT(seen.mx_sb_len, 0);

  ScsiRequest out{cdb, 6, ScsiDirection::Out, data, 0, 12};
  EXPECT_TRUE(target.Execute(out));
  EXPECT_EQ(seen.dxfer_direction, SG_DXFER_NONE) << "an empty data-out goes as no data";
  EXPECT_EQ(seen.dxfer_len, 0u);
  out.length = 4;
  EXPECT_TRUE(target.Execute(out));
  EXPECT_EQ(seen.dxfer_direction, SG_DXFER_TO_DEV);

  driverStatus = 0x08;  // sense data came back: still carried out, and a CHECK CONDITION
  deviceStatus = 0;
  senseLength = 18;
  UCHAR sense[4] = {0, 0, 0, 0x77};
  in.sense = sense;
  in.senseLength = 3;
  EXPECT_TRUE(target.Execute(in));
  EXPECT_EQ(status, SCSI_STATUS_CHECK_CONDITION);
  EXPECT_EQ(sense[2], 0x03) << "the sense data goes to the caller's area";
  EXPECT_EQ(sense[3], 0x77) << "no further than its length";
  hostStatus = 0x01;
  EXPECT_FALSE(target.Execute(in));
  hostStatus = 0;
  driverStatus = 0x06;
  EXPECT_FALSE(target.Execute(in));
  driverStatus = 0;
  EXPECT_TRUE(target.Execute(in));
  EXPECT_EQ(status, SCSI_STATUS_GOOD) << "no status byte and no sense: GOOD";
  ioctlResult = -1;
  EXPECT_FALSE(target.Execute(in));
  EXPECT_EQ(calls, 8);
}

TEST(SgIoTarget, ANodeThatDoesNotOpenFailsEveryCall) {
  SgIoTarget target("/nonexistent/sg-node");
  EXPECT_FALSE(target.IsOpen());
  std::uint8_t cdb[6] = {0x12};
  EXPECT_FALSE(target.Execute(ScsiRequest{cdb, 6, ScsiDirection::None, nullptr, 0, 12}));
}
