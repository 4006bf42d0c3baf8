#include "device/commands.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/volumes/volumes.h"
#include "support/scripted_target.h"

using namespace device;
using platform::ScsiDirection;
using testing_support::Answer;
using testing_support::ScriptedTarget;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct CommandFixture : ::testing::Test {
  std::shared_ptr<ScriptedTarget> target = std::make_shared<ScriptedTarget>();
  HANDLE h = platform::OpenTargetHandle(target);
  std::size_t handlesBefore = 0;

  void SetUp() override {
    platform::Volumes().Clear();
    platform::Volumes().Mount('E', target, "");
    handlesBefore = platform::OpenHandleCount();
  }
  void TearDown() override {
    platform::CloseHandle(h);
    platform::Volumes().Clear();
  }
  const testing_support::RecordedRequest& Last() { return target->requests.back(); }
};

// One row of the command set: how to call it and the request it must make.
struct Row {
  std::string name;
  std::function<void(HANDLE, std::uint8_t* buffer)> call;
  Bytes cdb;  // exactly CdbLength bytes
  ScsiDirection direction;
  std::uint32_t length;
  std::uint32_t timeout;
  bool direct;  // data phase through the caller's buffer
};

std::vector<Row> CommandSet() {
  // Output variables outlive the rows that write into them.
  static std::uint8_t id[5];
  static std::uint32_t a = 0, b = 0;
  static std::uint8_t v = 0;
  return {
      {"GetFlashId", [](HANDLE h, std::uint8_t*) { cmd_bGetFlashId(h, id); }, {0xEF, 0x70, 0, 0, 0, 0},
       ScsiDirection::In, 5, 12, false},
      {"EraseBlock", [](HANDLE h, std::uint8_t*) { cmd_bEraseBlock(h, 0x01020304, 0x10005); },
       {0xEF, 0x94, 1, 2, 3, 4, 0x00, 0x05, 0, 0}, ScsiDirection::In, 1, 12, false},
      {"WritePagesEx", [](HANDLE h, std::uint8_t* buf) { cmd_bWritePagesEx(h, 0xA0B0C0D0, 0x1234, buf, 64, 7); },
       {0xEE, 0x95, 0xA0, 0xB0, 0xC0, 0xD0, 0x12, 0x34, 7, 0, 0, 0, 0, 0, 0, 0}, ScsiDirection::In, 64, 30, true},
      {"WritePages", [](HANDLE h, std::uint8_t* buf) { cmd_bWritePages(h, 9, 2, buf, 4096, 1); },
       {0xEE, 0x95, 0, 0, 0, 9, 0, 2, 1, 0}, ScsiDirection::Out, 4096, 10, true},
      {"ReadPages", [](HANDLE h, std::uint8_t* buf) { cmd_bReadPages(h, 9, 2, buf, 4096, 3); },
       {0xEF, 0x96, 0, 0, 0, 9, 0, 2, 3, 0}, ScsiDirection::In, 4096, 12, true},
      {"FsmInit", [](HANDLE h, std::uint8_t*) { cmd_bFsmInit(h); }, {0xEF, 0x97, 0, 0, 0, 0}, ScsiDirection::In, 1,
       10, false},
      {"ReadCapacity", [](HANDLE h, std::uint8_t*) { cmd_bReadCapacity(h, &a, &b); }, {0x25, 0, 0, 0, 0, 0},
       ScsiDirection::In, 8, 12, false},
      {"DownloadStart", [](HANDLE h, std::uint8_t*) { cmd_bDownloadStart(h, 0x00012345); },
       {0xEF, 0x77, 0x00, 0x01, 0x23, 0x45}, ScsiDirection::In, 1, 12, false},
      {"DownloadData", [](HANDLE h, std::uint8_t* buf) { cmd_bDownloadData(h, buf, 2048); },
       {0xEE, 0x78, 0, 0, 0, 0}, ScsiDirection::Out, 2048, 12, true},
      {"DownloadSum", [](HANDLE h, std::uint8_t*) { cmd_bDownloadSum(h, 0x1ABCD); },
       {0xEF, 0x79, 0xAB, 0xCD, 0, 0}, ScsiDirection::In, 1, 12, false},
      {"SetSysAreaSize", [](HANDLE h, std::uint8_t*) { cmd_bSetSysAreaSize(h, 0x21); },
       {0xEF, 0x83, 0x21, 0, 0, 0}, ScsiDirection::In, 1, 12, false},
      {"SetByte91", [](HANDLE h, std::uint8_t*) { cmd_bSetByte91(h, 0x5A); }, {0xEF, 0x91, 0x5A, 0, 0, 0},
       ScsiDirection::In, 1, 12, false},
      {"GetChipCount", [](HANDLE h, std::uint8_t*) { cmd_GetChipCount(h); }, {0xEF, 0x84, 0, 0, 0, 0},
       ScsiDirection::In, 1, 12, false},
      {"WriteFlashTable", [](HANDLE h, std::uint8_t* buf) { cmd_bWriteFlashTable(h, buf, 512); },
       {0xEE, 0x71, 0, 0, 0, 0}, ScsiDirection::Out, 512, 12, true},
      {"CheckSpiFlash", [](HANDLE h, std::uint8_t*) { cmd_bCheckSpiFlash(h); }, {0xEF, 0x72, 0, 0, 0, 0},
       ScsiDirection::In, 1, 300, false},
      {"SetByte8E", [](HANDLE h, std::uint8_t*) { cmd_bSetByte8E(h, 1); }, {0xEF, 0x8E, 1, 0, 0, 0},
       ScsiDirection::In, 1, 12, false},
      {"WriteSetup", [](HANDLE h, std::uint8_t*) { cmd_bWriteSetup(h, 0x80000001); },
       {0xEF, 0x7A, 0x80, 0x00, 0x00, 0x01}, ScsiDirection::In, 1, 12, false},
      {"WriteData", [](HANDLE h, std::uint8_t* buf) { cmd_bWriteData(h, buf, 65536); }, {0xEE, 0x7B, 0, 0, 0, 0},
       ScsiDirection::Out, 65536, 12, true},
      {"WriteEnd", [](HANDLE h, std::uint8_t*) { cmd_bWriteEnd(h); }, {0xEF, 0x7C, 0, 0, 0, 0}, ScsiDirection::In, 1,
       12, false},
      {"FwParityCheck", [](HANDLE h, std::uint8_t*) { cmd_bFwParityCheck(h); }, {0xEF, 0x87, 0, 0, 0, 0},
       ScsiDirection::In, 2, 12, false},
      {"SetModuleNo", [](HANDLE h, std::uint8_t*) { cmd_bSetModuleNo(h, 3); }, {0xEF, 0x8D, 3, 0, 0, 0},
       ScsiDirection::In, 1, 12, false},
      {"StartDisk", [](HANDLE h, std::uint8_t*) { cmd_bStartDisk(h); }, {0xEF, 0x73, 0, 0, 0, 0}, ScsiDirection::In,
       2, 30, false},
      {"ChangeToHiddenDisk", [](HANDLE h, std::uint8_t*) { cmd_bChangeToHiddenDisk(h); }, {0xEF, 0x92, 0, 0, 0, 0},
       ScsiDirection::In, 1, 12, false},
      {"ReadBadBlockMap", [](HANDLE h, std::uint8_t* buf) { cmd_bReadBadBlockMap(h, buf, 0x1000); },
       {0xEF, 0x98, 0, 0, 0x10, 0x00, 0, 0, 0, 0}, ScsiDirection::In, 0x1000, 30, true},
      {"CheckFamilyModel", [](HANDLE h, std::uint8_t*) { cmd_bCheckFamilyModel(h); }, {0xEF, 0x85, 0, 0, 0, 0},
       ScsiDirection::In, 4, 12, false},
      {"GetFwSelect", [](HANDLE h, std::uint8_t*) { cmd_bGetFwSelect(h, &v); }, {0xEF, 0xB0, 0, 0, 0, 0},
       ScsiDirection::In, 1, 12, false},
      {"GetBondingId", [](HANDLE h, std::uint8_t*) { cmd_bGetBondingId(h, &v); }, {0xEF, 0x8B, 0, 0, 0, 0},
       ScsiDirection::In, 1, 12, false},
      {"SetByte8F", [](HANDLE h, std::uint8_t*) { cmd_bSetByte8F(h, 0xFF); }, {0xEF, 0x8F, 0xFF, 0, 0, 0},
       ScsiDirection::In, 1, 12, false},
      {"Read99", [](HANDLE h, std::uint8_t* buf) { cmd_bRead99(h, buf); }, {0xEF, 0x99, 0, 0, 0, 0, 0, 0, 0, 0},
       ScsiDirection::In, 512, 10, true},
      {"GetSerialNum", [](HANDLE h, std::uint8_t*) { cmd_GetSerialNum(h); }, {0xEF, 0x9A, 0, 0, 0, 0},
       ScsiDirection::In, 1, 12, false},
      {"SetPageTable", [](HANDLE h, std::uint8_t* buf) { cmd_bSetPageTable(h, buf, 256); }, {0xEE, 0x9B, 0, 0, 0, 0},
       ScsiDirection::Out, 256, 10, true},
      {"ReadCfg", [](HANDLE h, std::uint8_t* buf) { cmd_bReadCfg(h, buf); }, {0xEF, 0x80, 0, 0, 0, 0, 0, 0, 0, 0},
       ScsiDirection::In, 512, 10, true},
      {"GetSpiSizeMB", [](HANDLE h, std::uint8_t*) { cmd_GetSpiSizeMB(h); }, {0xEF, 0x9C, 0, 0, 0, 0},
       ScsiDirection::In, 1, 12, false},
      {"SpiRead", [](HANDLE h, std::uint8_t* buf) { cmd_bSpiRead(h, 0x10100, 3, buf); },
       {0xEF, 0x9D, 0x01, 0x00, 0x00, 0x03}, ScsiDirection::In, 768, 10, true},
      {"SpiWrite", [](HANDLE h, std::uint8_t* buf) { cmd_bSpiWrite(h, 0x0201, 2, buf); },
       {0xEE, 0x9E, 0x02, 0x01, 0x00, 0x02}, ScsiDirection::Out, 512, 10, true},
      {"Write10", [](HANDLE h, std::uint8_t* buf) { cmd_bWrite10(h, buf, 512, 0x00ABCDEF, 64); },
       {0x2A, 0, 0x00, 0xAB, 0xCD, 0xEF, 0, 0x00, 0x40, 0}, ScsiDirection::Out, 32768, 12, true},
      {"Read10", [](HANDLE h, std::uint8_t* buf) { cmd_bRead10(h, buf, 1024, 7, 2); },
       {0x28, 0, 0, 0, 0, 7, 0, 0, 2, 0}, ScsiDirection::In, 2048, 12, true},
      {"StopUnit", [](HANDLE h, std::uint8_t*) { cmd_bStopUnit(h); }, {0x1B, 0, 0, 0, 0, 0}, ScsiDirection::None, 0,
       12, false},
  };
}

}  // namespace

using CommandSetRequests = CommandFixture;

TEST_F(CommandSetRequests, EveryCommandSendsItsOwnRequest) {
  std::vector<std::uint8_t> buffer(65536, 0x11);
  for (const Row& row : CommandSet()) {
    SCOPED_TRACE(row.name);
    target->requests.clear();
    row.call(h, buffer.data());
    ASSERT_EQ(target->requests.size(), 1u);
    const auto& r = Last();
    EXPECT_EQ(r.cdb, row.cdb);
    EXPECT_EQ(r.direction, row.direction);
    EXPECT_EQ(r.length, row.length);
    EXPECT_EQ(r.timeoutSeconds, row.timeout);
    if (row.length > 0) {
      EXPECT_EQ(r.buffer == buffer.data(), row.direct) << "request form";
    }
    if (row.direction == ScsiDirection::Out) {
      EXPECT_EQ(r.dataOut, Bytes(buffer.begin(), buffer.begin() + row.length));
    }
  }
}

TEST_F(CommandSetRequests, BlockTestAsksForItsAnswerInItsOwnBuffer) {
  std::uint8_t results[1100];
  std::memset(results, 0xCC, sizeof results);
  target->Queue({true, {0x01, 255, 255, 7, 255, 255, 99}});
  EXPECT_EQ(cmd_bBlockTest(h, 0x00010203, 5, 0x1FFFE, 0x11, 0x22, 0x33, 0x44, results, 0, 128), 1);
  const auto& r = Last();
  EXPECT_EQ(r.cdb, (Bytes{0xEF, 0x93, 0x00, 0x01, 0x02, 0x03, 0x00, 0x05, 0xFF, 0xFE, 0x11, 0x22, 0x33, 0x44, 0, 0}));
  EXPECT_EQ(r.direction, ScsiDirection::In);
  EXPECT_EQ(r.length, 6u);
  EXPECT_EQ(r.timeoutSeconds, 30u);
  EXPECT_NE(r.buffer, results);
  EXPECT_EQ(Bytes(results, results + 6), (Bytes{255, 255, 7, 255, 255, 0xCC})) << "count bytes copied, no more";

  // Page form: pages + 1 bytes, perPage's low byte in byte 14.
  target->Queue({true, {0x03, 250, 251}});
  EXPECT_EQ(cmd_bBlockTest(h, 4, 1, 0, 1, 2, 3, 4, results, 0x102, 2), 1);
  EXPECT_EQ(Last().length, 3u);
  EXPECT_EQ(Last().cdb[14], 0x02);
  EXPECT_EQ(results[0], 250);
  EXPECT_EQ(results[1], 251);

  // An even status byte, or a failed call, leaves the results alone.
  std::memset(results, 0xCC, sizeof results);
  target->Queue({true, {0x02, 1, 1, 1, 1, 1}});
  EXPECT_EQ(cmd_bBlockTest(h, 0, 5, 0, 0, 0, 0, 0, results, 0, 0), 0);
  target->Queue({false, {0x01, 1, 1, 1, 1, 1}});
  EXPECT_EQ(cmd_bBlockTest(h, 0, 5, 0, 0, 0, 0, 0, results, 0, 0), 0);
  EXPECT_EQ(results[0], 0xCC);

  // The largest answer that fits the 1024-byte buffer goes; one more is refused unsent.
  const auto sent = target->requests.size();
  EXPECT_EQ(cmd_bBlockTest(h, 0, 1023, 0, 0, 0, 0, 0, results, 0, 0), 0);
  EXPECT_EQ(Last().length, 1024u);
  EXPECT_EQ(cmd_bBlockTest(h, 0, 1024, 0, 0, 0, 0, 0, results, 0, 0), 0);
  EXPECT_EQ(cmd_bBlockTest(h, 0, 1, 0, 0, 0, 0, 0, results, 1, 1024), 0);
  EXPECT_EQ(cmd_bBlockTest(h, 0, 1, 0, 0, 0, 0, 0, results, 1, 0xFFFFFFFFu), 0) << "no wrap-around";
  EXPECT_EQ(target->requests.size(), sent + 1);
}

TEST_F(CommandSetRequests, GuardedCommandsSendNothingOnTheInvalidHandle) {
  std::uint8_t buffer[512] = {}, id[5] = {1, 2, 3, 4, 5};
  const HANDLE bad = INVALID_HANDLE_VALUE;
  EXPECT_EQ(cmd_bGetFlashId(bad, id), 0);
  EXPECT_EQ(id[0], 1) << "nothing is written without a request";
  EXPECT_EQ(cmd_bBlockTest(bad, 0, 1, 0, 0, 0, 0, 0, buffer, 0, 0), 0);
  EXPECT_EQ(cmd_bWritePagesEx(bad, 0, 1, buffer, 16, 0), 0);
  EXPECT_EQ(cmd_bWritePages(bad, 0, 1, buffer, 16, 0), 0);
  EXPECT_EQ(cmd_bReadPages(bad, 0, 1, buffer, 16, 0), 0);
  EXPECT_EQ(cmd_bReadBadBlockMap(bad, buffer, 16), 0);
  EXPECT_EQ(cmd_bRead99(bad, buffer), 0);
  EXPECT_EQ(cmd_bSetPageTable(bad, buffer, 16), 0);
  EXPECT_EQ(cmd_bReadCfg(bad, buffer), 0);
  EXPECT_EQ(cmd_bSpiRead(bad, 0, 1, buffer), 0);
  EXPECT_EQ(cmd_bSpiWrite(bad, 0, 1, buffer), 0);
  EXPECT_TRUE(target->requests.empty());

  // Unguarded commands send anyway and the call fails; outputs follow the answer area.
  std::uint32_t lba = 7, len = 7;
  EXPECT_EQ(cmd_bReadCapacity(bad, &lba, &len), 0);
  EXPECT_EQ(lba, 0u);
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(cmd_bEraseBlock(bad, 0, 1), 0);
  EXPECT_EQ(cmd_GetChipCount(bad), 0);
  EXPECT_EQ(cmd_bStopUnit(bad), 0);
}

using ResultConventions = CommandFixture;

TEST_F(ResultConventions, StatusUsesBitZeroOfTheAnswerAndTheCall) {
  target->Queue({true, {0x03}});
  EXPECT_EQ(cmd_bEraseBlock(h, 1, 1), 1) << "status 3 is a pass";
  target->Queue({true, {0x02}});
  EXPECT_EQ(cmd_bEraseBlock(h, 1, 1), 0) << "status 2 is a fail";
  target->Queue({false, {0x01}});
  EXPECT_EQ(cmd_bWriteEnd(h), 0) << "a failed call is a fail whatever it answered";
  target->Queue({true, {0x01, 0x00}});
  EXPECT_EQ(cmd_bStartDisk(h), 1);
  target->Queue({true, {0x00, 0x01}});
  EXPECT_EQ(cmd_bFwParityCheck(h), 0) << "only answer byte 0 counts";

  // "call" commands ignore the answer.
  target->Queue({true, {0x00}});
  EXPECT_EQ(cmd_bFsmInit(h), 1);
  target->Queue({false, {0x01}});
  EXPECT_EQ(cmd_bDownloadStart(h, 1), 0);

  // cmd_bWritePagesEx: buffer byte 0 AND the call.
  std::uint8_t buffer[4] = {};
  target->Queue({true, {0x05}});
  EXPECT_EQ(cmd_bWritePagesEx(h, 0, 1, buffer, 4, 0), 1);
  target->Queue({true, {0x04}});
  EXPECT_EQ(cmd_bWritePagesEx(h, 0, 1, buffer, 4, 0), 0);
}

TEST_F(ResultConventions, OneByteAnswers) {
  target->Queue({false, {0x07}});
  EXPECT_EQ(cmd_GetChipCount(h), 7) << "the chip count is read whatever the call did";
  target->Queue({false, {0x07}});
  EXPECT_EQ(cmd_GetSerialNum(h), 0);
  target->Queue({true, {0x07}});
  EXPECT_EQ(cmd_GetSerialNum(h), 7);
  target->Queue({false, {0x08}});
  EXPECT_EQ(cmd_GetSpiSizeMB(h), 0);
  target->Queue({true, {0x08}});
  EXPECT_EQ(cmd_GetSpiSizeMB(h), 8);

  std::uint8_t value = 0xEE;
  target->Queue({false, {0x42}});
  EXPECT_EQ(cmd_bGetFwSelect(h, &value), 0);
  EXPECT_EQ(value, 0x42) << "written from the answer area also on failure";
  target->Queue({true, {0x09}});
  EXPECT_EQ(cmd_bGetBondingId(h, &value), 1);
  EXPECT_EQ(value, 9);
}

TEST_F(ResultConventions, FlashIdAndCapacityAreDecoded) {
  std::uint8_t id[5] = {};
  target->Queue({true, {0x98, 0xD7, 0x94, 0x32, 0x76}});
  EXPECT_EQ(cmd_bGetFlashId(h, id), 1);
  EXPECT_EQ(Bytes(id, id + 5), (Bytes{0x76, 0x32, 0x94, 0xD7, 0x98}));
  target->Queue({false, {0xEC, 0xD3, 0x51, 0x95, 0x58}});
  EXPECT_EQ(cmd_bGetFlashId(h, id), 0);
  EXPECT_EQ(Bytes(id, id + 5), (Bytes{0x58, 0x95, 0x51, 0xD3, 0xEC})) << "copied also when the call failed";

  std::uint32_t lastLba = 0, blockLength = 0;
  target->Queue({false, {0x00, 0x3B, 0x9A, 0xBF, 0x00, 0x00, 0x02, 0x00}});
  EXPECT_EQ(cmd_bReadCapacity(h, &lastLba, &blockLength), 0);
  EXPECT_EQ(lastLba, 0x003B9ABFu);
  EXPECT_EQ(blockLength, 512u);
}

TEST_F(ResultConventions, ModelChecksCompareFourCharacters) {
  target->Queue({false, {'Q', '4', '0', '1'}});
  EXPECT_EQ(cmd_bCheckFamilyModel(h), 1) << "the call's result is not looked at";
  target->Queue({true, {'Q', '4', '0', '2'}});
  EXPECT_EQ(cmd_bCheckFamilyModel(h), 0);
  target->Queue({true, {}});
  EXPECT_EQ(cmd_bCheckFamilyModel(h), 0) << "a silent device compares zeros";

  target->Queue({true, {'Q', '4', '7', '1'}});
  EXPECT_EQ(cmd_bCheckChipModel('E'), 1);
  target->Queue({true, {'Q', '4', '0', '1'}});
  EXPECT_EQ(cmd_bCheckChipModel('e'), 0);
  EXPECT_EQ(Last().cdb, (Bytes{0xEF, 0x82, 0, 0, 0, 0}));
  EXPECT_EQ(Last().length, 4u);
}

using ArrivalCommands = CommandFixture;

TEST_F(ArrivalCommands, OpenAndCloseTheirOwnHandle) {
  std::uint8_t id[5] = {};
  target->Queue({true, {1, 2, 3, 4, 5}});
  EXPECT_EQ(cmd_bGetFlashIdByDrive('E', id), 1);
  EXPECT_EQ(Bytes(id, id + 5), (Bytes{5, 4, 3, 2, 1}));
  EXPECT_EQ(Last().cdb, (Bytes{0xEF, 0x70, 0, 0, 0, 0}));
  EXPECT_EQ(Last().timeoutSeconds, 12u);

  EXPECT_EQ(cmd_bResetDevice('E'), 1);
  EXPECT_EQ(Last().cdb, (Bytes{0xEF, 0x81, 0, 0, 0, 0}));
  EXPECT_EQ(Last().direction, ScsiDirection::None);
  EXPECT_EQ(Last().length, 0u);
  EXPECT_EQ(platform::OpenHandleCount(), handlesBefore) << "every arrival command closes its handle";

  // No volume behind the letter: result 0 and no request, for all four.
  const auto sent = target->requests.size();
  std::uint8_t untouched[5] = {9, 9, 9, 9, 9};
  EXPECT_EQ(cmd_bGetFlashIdByDrive('Q', untouched), 0);
  EXPECT_EQ(untouched[0], 9);
  EXPECT_EQ(cmd_bCheckChipModel('Q'), 0);
  EXPECT_EQ(cmd_bResetDevice('Q'), 0);
  EXPECT_EQ(cmd_bInquiry('Q'), 0) << "an unopened volume is no match";
  EXPECT_EQ(target->requests.size(), sent);
  EXPECT_EQ(platform::OpenHandleCount(), handlesBefore);
}

TEST_F(ArrivalCommands, InquiryAcceptsTheThreeSignatures) {
  const Bytes head4 = {0x00, 0x80, 0x02, 0x02, 0x04, 0x00, 0x00, 0x00};
  const Bytes head7 = {0x00, 0x80, 0x02, 0x02, 0x07, 0x00, 0x00, 0x00};
  auto with = [](Bytes head, const std::string& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  struct Case {
    Bytes answer;
    bool carriedOut;
    BOOL expected;
  } cases[] = {
      {with(head4, "GENERIC  FLASH"), true, 1},
      {with(head4, "Gx"), true, 1},
      {with(head7, "71.1xxxx"), true, 1},
      {with(head7, "71.2"), true, 1},
      {with(head7, "71.3"), true, 0},
      {with(head7, "GENERIC"), true, 0},
      {with(head4, "71.1"), true, 0},
      {with({0x00, 0x00, 0x02, 0x02, 0x04, 0, 0, 0}, "G"), true, 0},
      {{}, true, 0},
      {with(head7, "nothing"), false, 1},  // a failed request does not disqualify
  };
  for (const auto& c : cases) {
    target->Queue({c.carriedOut, c.answer});
    EXPECT_EQ(cmd_bInquiry('E'), c.expected) << std::string(c.answer.begin(), c.answer.end());
    EXPECT_EQ(Last().cdb, (Bytes{0x12, 0, 0, 0, 0, 0})) << "allocation length byte stays 0";
    EXPECT_EQ(Last().length, 36u);
  }
  EXPECT_EQ(platform::OpenHandleCount(), handlesBefore);
}

TEST_F(CommandSetRequests, TransfersThatDoNotFitTheirFieldsAreRefused) {
  std::uint8_t buffer[16] = {};
  EXPECT_EQ(cmd_bWrite10(h, buffer, 512, 0, 0x10000), 0);
  EXPECT_EQ(cmd_bRead10(h, buffer, 0x10000, 0, 0x10000), 0);
  EXPECT_TRUE(target->requests.empty());
}

TEST(SetSysAreaSize, PrintsItsTwoLines) {
  auto target = std::make_shared<ScriptedTarget>();
  HANDLE h = platform::OpenTargetHandle(target);
  testing::internal::CaptureStdout();
  EXPECT_EQ(cmd_bSetSysAreaSize(h, 12), 1);
  std::fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "SUB_SCSI_OP_SET_SYS_AREA_SIZE = 131\nunit = 12\n");
  platform::CloseHandle(h);
}
