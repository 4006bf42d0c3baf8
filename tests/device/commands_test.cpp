#include "device/commands.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "platform/volumes/volumes.h"
#include "support/scripted_target.h"

using namespace device;
using namespace platform;
using testing_support::ScriptedTarget;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Every pass-through call the command layer makes, as the operating system
// receives it (the test program is linked with the call wrapped, see CMakeLists.txt).
struct IoCall {
  DWORD code, inSize, outSize;
  SCSI_PASS_THROUGH header;
  void* directBuffer;
};
std::vector<IoCall> g_calls;

}  // namespace

extern "C" BOOL __real__ZN8platform15DeviceIoControlEPvjS0_jS0_jPjS0_(HANDLE, DWORD, void*, DWORD, void*, DWORD,
                                                                       DWORD*, void*);
extern "C" BOOL __wrap__ZN8platform15DeviceIoControlEPvjS0_jS0_jPjS0_(HANDLE h, DWORD code, void* in, DWORD inSize,
                                                                       void* out, DWORD outSize, DWORD* returned,
                                                                       void* overlapped) {
  IoCall call{code, inSize, outSize, {}, nullptr};
  std::memcpy(&call.header, in, sizeof call.header);
  if (code == IOCTL_SCSI_PASS_THROUGH_DIRECT)
    call.directBuffer = GetDirectDataBuffer(*static_cast<SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER*>(in));
  g_calls.push_back(call);
  return __real__ZN8platform15DeviceIoControlEPvjS0_jS0_jPjS0_(h, code, in, inSize, out, outSize, returned,
                                                               overlapped);
}

namespace {

Bytes Hex(const char* text) {
  Bytes out;
  std::istringstream in(text);
  for (unsigned v = 0; in >> std::hex >> v;) out.push_back(static_cast<std::uint8_t>(v));
  return out;
}

struct CommandFixture : ::testing::Test {
  std::shared_ptr<ScriptedTarget> target = std::make_shared<ScriptedTarget>();
  HANDLE h = OpenTargetHandle(target);

  void SetUp() override {
    Volumes().Clear();
    Volumes().Mount('E', target, "");
    g_calls.clear();
  }
  void TearDown() override {
    CloseHandle(h);
    Volumes().Clear();
  }
  const testing_support::RecordedRequest& Last() { return target->requests.back(); }
};

// B: buffered form; D: direct form on the caller's buffer; W: direct on the wrapper's own buffer.
enum Form { B, D, W };

// One row of the command set: the call, the request it must make, and whether it
// refuses the invalid handle unsent (guard) or opens drive E itself (letter).
struct Row {
  const char* name;
  std::function<BOOL(HANDLE, std::uint8_t* buffer)> call;
  const char* cdb;  // exactly CdbLength bytes
  Form form;
  UCHAR dataIn;
  std::uint32_t length, timeout;
  bool guard = false, letter = false;
};

std::vector<Row> CommandSet() {
  static std::uint8_t id[5], v;  // output variables outlive the rows
  static std::uint32_t a, b;
  const bool G = true, L = true;  // guard, letter
#define CALL(expr) [](HANDLE h, std::uint8_t* p) -> BOOL { return (void)h, (void)p, (expr); }
  return {
      {"GetFlashIdByDrive", CALL(cmd_bGetFlashIdByDrive('E', id)), "EF 70 0 0 0 0", B, 1, 5, 12, false, L},
      {"CheckChipModel", CALL(cmd_bCheckChipModel('E')), "EF 82 0 0 0 0", B, 1, 4, 12, false, L},
      {"ResetDevice", CALL(cmd_bResetDevice('E')), "EF 81 0 0 0 0", B, 1, 0, 12, false, L},
      {"Inquiry", CALL(cmd_bInquiry('E')), "12 0 0 0 0 0", B, 1, 36, 12, false, L},
      {"GetFlashId", CALL(cmd_bGetFlashId(h, id)), "EF 70 0 0 0 0", B, 1, 5, 12, G},
      {"BlockTest", CALL(cmd_bBlockTest(h, 0x10203, 5, 0x1FFFE, 1, 2, 3, 4, p, 0, 9)),
       "EF 93 0 1 2 3 0 5 FF FE 1 2 3 4 0 0", W, 1, 6, 30, G},
      {"EraseBlock", CALL(cmd_bEraseBlock(h, 0x01020304, 0x10005)), "EF 94 1 2 3 4 0 5 0 0", B, 1, 1, 12},
      {"WritePagesEx", CALL(cmd_bWritePagesEx(h, 0xA0B0C0D0, 0x1234, p, 64, 7)),
       "EE 95 A0 B0 C0 D0 12 34 7 0 0 0 0 0 0 0", D, 1, 64, 30, G},
      {"WritePages", CALL(cmd_bWritePages(h, 9, 2, p, 4096, 1)), "EE 95 0 0 0 9 0 2 1 0", D, 0, 4096, 10, G},
      {"ReadPages", CALL(cmd_bReadPages(h, 9, 2, p, 4096, 3)), "EF 96 0 0 0 9 0 2 3 0", D, 1, 4096, 12, G},
      {"FsmInit", CALL(cmd_bFsmInit(h)), "EF 97 0 0 0 0", B, 1, 1, 10},
      {"ReadCapacity", CALL(cmd_bReadCapacity(h, &a, &b)), "25 0 0 0 0 0", B, 1, 8, 12},
      {"DownloadStart", CALL(cmd_bDownloadStart(h, 0x12345)), "EF 77 0 1 23 45", B, 1, 1, 12},
      {"DownloadData", CALL(cmd_bDownloadData(h, p, 2048)), "EE 78 0 0 0 0", D, 0, 2048, 12},
      {"DownloadSum", CALL(cmd_bDownloadSum(h, 0x1ABCD)), "EF 79 AB CD 0 0", B, 1, 1, 12},
      {"SetSysAreaSize", CALL(cmd_bSetSysAreaSize(h, 0x21)), "EF 83 21 0 0 0", B, 1, 1, 12},
      {"SetByte91", CALL(cmd_bSetByte91(h, 0x5A)), "EF 91 5A 0 0 0", B, 1, 1, 12},
      {"GetChipCount", CALL(cmd_GetChipCount(h)), "EF 84 0 0 0 0", B, 1, 1, 12},
      {"WriteFlashTable", CALL(cmd_bWriteFlashTable(h, p, 512)), "EE 71 0 0 0 0", D, 0, 512, 12},
      {"CheckSpiFlash", CALL(cmd_bCheckSpiFlash(h)), "EF 72 0 0 0 0", B, 1, 1, 300},
      {"SetByte8E", CALL(cmd_bSetByte8E(h, 1)), "EF 8E 1 0 0 0", B, 1, 1, 12},
      {"WriteSetup", CALL(cmd_bWriteSetup(h, 0x80000001)), "EF 7A 80 0 0 1", B, 1, 1, 12},
      {"WriteData", CALL(cmd_bWriteData(h, p, 65536)), "EE 7B 0 0 0 0", D, 0, 65536, 12},
      {"WriteEnd", CALL(cmd_bWriteEnd(h)), "EF 7C 0 0 0 0", B, 1, 1, 12},
      {"FwParityCheck", CALL(cmd_bFwParityCheck(h)), "EF 87 0 0 0 0", B, 1, 2, 12},
      {"SetModuleNo", CALL(cmd_bSetModuleNo(h, 3)), "EF 8D 3 0 0 0", B, 1, 1, 12},
      {"StartDisk", CALL(cmd_bStartDisk(h)), "EF 73 0 0 0 0", B, 1, 2, 30},
      {"ChangeToHiddenDisk", CALL(cmd_bChangeToHiddenDisk(h)), "EF 92 0 0 0 0", B, 1, 1, 12},
      {"ReadBadBlockMap", CALL(cmd_bReadBadBlockMap(h, p, 0x1000)), "EF 98 0 0 10 0 0 0 0 0", D, 1, 0x1000, 30, G},
      {"CheckFamilyModel", CALL(cmd_bCheckFamilyModel(h)), "EF 85 0 0 0 0", B, 1, 4, 12},
      {"GetFwSelect", CALL(cmd_bGetFwSelect(h, &v)), "EF B0 0 0 0 0", B, 1, 1, 12},
      {"GetBondingId", CALL(cmd_bGetBondingId(h, &v)), "EF 8B 0 0 0 0", B, 1, 1, 12},
      {"SetByte8F", CALL(cmd_bSetByte8F(h, 0xFF)), "EF 8F FF 0 0 0", B, 1, 1, 12},
      {"Read99", CALL(cmd_bRead99(h, p)), "EF 99 0 0 0 0 0 0 0 0", D, 1, 512, 10, G},
      {"GetSerialNum", CALL(cmd_GetSerialNum(h)), "EF 9A 0 0 0 0", B, 1, 1, 12},
      {"SetPageTable", CALL(cmd_bSetPageTable(h, p, 256)), "EE 9B 0 0 0 0", D, 0, 256, 10, G},
      {"ReadCfg", CALL(cmd_bReadCfg(h, p)), "EF 80 0 0 0 0 0 0 0 0", D, 1, 512, 10, G},
      {"GetSpiSizeMB", CALL(cmd_GetSpiSizeMB(h)), "EF 9C 0 0 0 0", B, 1, 1, 12},
      {"SpiRead", CALL(cmd_bSpiRead(h, 0x10100, 3, p)), "EF 9D 1 0 0 3", D, 1, 768, 10, G},
      {"SpiWrite", CALL(cmd_bSpiWrite(h, 0x0201, 2, p)), "EE 9E 2 1 0 2", D, 0, 512, 10, G},
      {"Write10", CALL(cmd_bWrite10(h, p, 512, 0xABCDEF, 64)), "2A 0 0 AB CD EF 0 0 40 0", D, 0, 32768, 12},
      {"Read10", CALL(cmd_bRead10(h, p, 1024, 7, 2)), "28 0 0 0 0 7 0 0 2 0", D, 1, 2048, 12},
      {"StopUnit", CALL(cmd_bStopUnit(h)), "1B 0 0 0 0 0", B, 1, 0, 12},
  };
#undef CALL
}

}  // namespace

using CommandSetRequests = CommandFixture;

TEST_F(CommandSetRequests, EveryCommandFillsItsRequestBlock) {
  Bytes buffer(65536, 0x11);
  const auto handles = OpenHandleCount();
  for (const Row& row : CommandSet()) {
    SCOPED_TRACE(row.name);
    g_calls.clear();
    target->requests.clear();
    row.call(h, buffer.data());
    ASSERT_EQ(g_calls.size(), 1u);
    const IoCall& c = g_calls[0];
    const SCSI_PASS_THROUGH& p = c.header;
    const bool buffered = row.form == B;
    Bytes cdb = Hex(row.cdb);
    const std::size_t cdbLength = cdb.size();
    cdb.resize(16, 0);
    EXPECT_EQ(c.code, buffered ? IOCTL_SCSI_PASS_THROUGH : IOCTL_SCSI_PASS_THROUGH_DIRECT);
    EXPECT_EQ(std::tuple(c.inSize, c.outSize), std::tuple(buffered ? 44u : 80u, buffered ? 80 + row.length : 80u))
        << "buffered: the header only";
    EXPECT_EQ(std::tuple(p.Length, p.SenseInfoLength, p.SenseInfoOffset, p.ScsiStatus | p.PathId | p.TargetId | p.Lun),
              std::tuple(44, buffered ? 0 : 24, 48u, 0));
    EXPECT_EQ(std::tuple(p.DataIn, p.DataTransferLength, p.TimeOutValue), std::tuple(row.dataIn, row.length, row.timeout));
    EXPECT_EQ(std::tuple(std::size_t{p.CdbLength}, Bytes(p.Cdb, p.Cdb + 16)), std::tuple(cdbLength, cdb))
        << "bytes past the CDB length stay 0";
    if (row.form == B) {
      EXPECT_EQ(p.DataBufferOffset, 80u);
    } else {
      EXPECT_EQ(c.directBuffer == buffer.data(), row.form == D) << "whose buffer the data phase uses";
    }
    if (row.form != B && row.dataIn == 0) {
      EXPECT_EQ(Last().dataOut, Bytes(buffer.begin(), buffer.begin() + row.length));
    }
    EXPECT_EQ(OpenHandleCount(), handles) << "a command that opens its letter closes it";

    // The invalid handle, or a letter with no volume: guarded commands and
    // letter commands send nothing; every command answers 0.
    g_calls.clear();
    if (row.letter) {
      Volumes().Unmount('E');
      EXPECT_EQ(row.call(h, buffer.data()), 0);
      Volumes().Mount('E', target, "");
    } else {
      EXPECT_EQ(row.call(INVALID_HANDLE_VALUE, buffer.data()), 0);
    }
    EXPECT_EQ(g_calls.size(), row.guard || row.letter ? 0u : 1u);
  }
}

TEST_F(CommandSetRequests, BlockTestAsksForItsAnswerInItsOwnBuffer) {
  std::uint8_t results[1100];
  std::memset(results, 0xCC, sizeof results);
  target->Queue({true, {0x01, 255, 255, 7, 255, 255, 99}});
  EXPECT_EQ(cmd_bBlockTest(h, 0x00010203, 5, 0x1FFFE, 0x11, 0x22, 0x33, 0x44, results, 0, 128), 1);
  EXPECT_EQ(Bytes(results, results + 6), (Bytes{255, 255, 7, 255, 255, 0xCC})) << "count bytes copied, no more";

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
  // Nor do transfers whose sector count does not fit the CDB's field.
  EXPECT_EQ(cmd_bWrite10(h, results, 512, 0, 0x10000), 0);
  EXPECT_EQ(cmd_bRead10(h, results, 0x10000, 0, 0x10000), 0);
  EXPECT_EQ(target->requests.size(), sent + 1);
}

using ResultConventions = CommandFixture;

TEST_F(ResultConventions, StatusUsesBitZeroOfTheAnswerAndTheCall) {
  std::uint8_t sector[512] = {0, 1};
  const std::uint8_t check = SCSI_STATUS_CHECK_CONDITION;
  struct {
    testing_support::Answer answer;
    std::function<BOOL()> call;
    BOOL expected;
  } cases[] = {
      {{true, {0x03}}, [&] { return cmd_bEraseBlock(h, 1, 1); }, 1},  // status 3 is a pass
      {{true, {0x02}}, [&] { return cmd_bEraseBlock(h, 1, 1); }, 0},  // status 2 is a fail
      {{false, {0x01}}, [&] { return cmd_bWriteEnd(h); }, 0},         // a failed call fails whatever it answered
      {{true, {0x01, 0x00}}, [&] { return cmd_bStartDisk(h); }, 1},
      {{true, {0x00, 0x01}}, [&] { return cmd_bFwParityCheck(h); }, 0},  // only answer byte 0 counts
      {{true, {0x00}}, [&] { return cmd_bFsmInit(h); }, 1},              // "call" ignores the answer
      {{false, {0x07}}, [&] { return BOOL{cmd_GetChipCount(h)}; }, 7},  // the chip count ignores the call
      {{false, {0x07}}, [&] { return BOOL{cmd_GetSerialNum(h)}; }, 0},
      {{true, {0x08}}, [&] { return BOOL{cmd_GetSpiSizeMB(h)}; }, 8},
      {{false, {'Q', '4', '0', '1'}}, [&] { return cmd_bCheckFamilyModel(h); }, 1},  // the call is not looked at
      {{true, {'Q', '4', '0', '2'}}, [&] { return cmd_bCheckFamilyModel(h); }, 0},
      {{true, {}}, [&] { return cmd_bCheckFamilyModel(h); }, 0},  // a silent device compares zeros
      {{true, {'Q', '4', '7', '1'}}, [&] { return cmd_bCheckChipModel('e'); }, 1},
      // CHECK CONDITION: the plain disk transfers and the writes of data the
      // device keeps fail, the other vendor commands keep their conventions.
      {{true, {}, check}, [&] { return cmd_bWrite10(h, sector, 512, 0, 1); }, 0},
      {{true, {}, check}, [&] { return cmd_bRead10(h, sector, 512, 0, 1); }, 0},
      {{true, {}}, [&] { return cmd_bRead10(h, sector, 512, 0, 1); }, 1},
      {{true, {}, check}, [&] { return cmd_bWriteData(h, sector, 512); }, 0},
      {{true, {}}, [&] { return cmd_bWriteData(h, sector, 512); }, 1},
      {{true, {}, check}, [&] { return cmd_bDownloadData(h, sector, 512); }, 0},
      {{true, {}, check}, [&] { return cmd_bWritePages(h, 0, 1, sector, 512, 0); }, 0},
      {{true, {}}, [&] { return cmd_bWritePages(h, 0, 1, sector, 512, 0); }, 1},
      {{true, {}, check}, [&] { return cmd_bSpiWrite(h, 0, 2, sector); }, 0},
      {{true, {}, 0x08}, [&] { return cmd_bWriteData(h, sector, 512); }, 0},  // BUSY took nothing either
      {{true, {0x01}, check}, [&] { return cmd_bWriteEnd(h); }, 1},
      {{true, {}, check}, [&] { return cmd_bWriteFlashTable(h, sector, 512); }, 0},
      {{true, {}, check}, [&] { return cmd_bSetPageTable(h, sector, 64); }, 1},
      {{true, {}, check}, [&] { return cmd_bReadCfg(h, sector); }, 1},
      {{true, {}}, [&] { return cmd_bWritePagesEx(h, 0, 1, sector + 1, 0, 0); }, 0},  // no answer byte to read
  };
  for (std::size_t row = 0; row < std::size(cases); ++row) {
    target->Queue(cases[row].answer);
    EXPECT_EQ(cases[row].call(), cases[row].expected) << "case " << row;
  }
}

TEST_F(ResultConventions, ARefusedWriteTellsWhatTheDeviceAnswered) {
  const std::uint8_t check = SCSI_STATUS_CHECK_CONDITION;
  Bytes fixed(18, 0), descriptor(8, 0);
  fixed[0] = 0xF0, fixed[2] = 0x03, fixed[12] = 0x0C, fixed[13] = 0x02;  // valid bit set, MEDIUM ERROR
  descriptor[0] = 0x72, descriptor[1] = 0x07, descriptor[2] = 0x27;      // DATA PROTECT, write protected
  struct {
    testing_support::Answer answer;
    std::string text;  // empty: taken, nothing to tell
  } cases[] = {
      {{true, {}, check, fixed}, "CHECK CONDITION, sense key 3 (MEDIUM ERROR), ASC/ASCQ 0C/02"},
      {{true, {}, check, descriptor}, "CHECK CONDITION, sense key 7 (DATA PROTECT), ASC/ASCQ 27/00"},
      {{true, {}, check, Bytes(18, 0)}, "CHECK CONDITION, no sense data"},
      {{true, {}, 0x18}, "SCSI status 18"},
      {{false, {}, check, fixed}, ""},  // a call that was not carried out was not refused
      {{true, {}}, ""},
  };
  std::uint8_t data[2048] = {};
  for (std::size_t row = 0; row < std::size(cases); ++row) {
    target->Queue(cases[row].answer);
    Refusal refusal;
    refusal.scsiStatus = 0x55;  // left alone unless the device refused
    EXPECT_EQ(cmd_bWriteData(h, data, sizeof data, &refusal), 0 + cases[row].text.empty() && cases[row].answer.carriedOut);
    EXPECT_EQ(refusal.refused, !cases[row].text.empty()) << "case " << row;
    if (refusal.refused) {
      EXPECT_EQ(DescribeRefusal(refusal), cases[row].text) << "case " << row;
    }
  }
  // The sense area the request names is 24 bytes at offset 48 of the block.
  EXPECT_EQ(g_calls.back().header.SenseInfoLength, 24);
  EXPECT_EQ(g_calls.back().header.SenseInfoOffset, 48u);
}

TEST_F(ResultConventions, OutputsFollowTheAnswerAreaAlsoOnFailure) {
  // The flash ID goes in reverse order, also when the call failed.
  std::uint8_t id[5] = {};
  target->Queue({true, {0x98, 0xD7, 0x94, 0x32, 0x76}});
  EXPECT_EQ(cmd_bGetFlashId(h, id), 1);
  EXPECT_EQ(Bytes(id, id + 5), (Bytes{0x76, 0x32, 0x94, 0xD7, 0x98}));
  target->Queue({false, {0xEC, 0xD3, 0x51, 0x95, 0x58}});
  EXPECT_EQ(cmd_bGetFlashIdByDrive('E', id), 0);
  EXPECT_EQ(Bytes(id, id + 5), (Bytes{0x58, 0x95, 0x51, 0xD3, 0xEC})) << "copied although the call failed";
  EXPECT_EQ(cmd_bGetFlashId(INVALID_HANDLE_VALUE, id), 0);
  EXPECT_EQ(id[0], 0x58) << "nothing is written without a request";

  // The one-byte queries set their output to 0 before the call: a call that
  // never reaches a device leaves 0, not what the variable held.
  std::uint8_t value = 0xEE;
  EXPECT_EQ(cmd_bGetFwSelect(INVALID_HANDLE_VALUE, &value), 0);
  EXPECT_EQ(value, 0);
  target->Queue({false, {0x42}});
  EXPECT_EQ(cmd_bGetFwSelect(h, &value), 0);
  EXPECT_EQ(value, 0x42) << "written from the answer area also on failure";
}

TEST_F(ResultConventions, InquiryAcceptsTheThreeSignatures) {
  const Bytes head4 = Hex("0 80 2 2 4 0 0 0"), head7 = Hex("0 80 2 2 7 0 0 0");
  auto with = [](Bytes head, const std::string& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  const struct {
    Bytes answer;
    bool carriedOut;
    BOOL expected;
  } cases[] = {
      {with(head4, "GENERIC  FLASH"), true, 1},
      {with(head4, "Gx"), true, 1},
      {with(head7, "71.1xxxx"), true, 1},
      {with(head7, "71.3"), true, 0},
      {with(head4, "71.1"), true, 0},
      {with(Hex("0 0 2 2 4 0 0 0"), "G"), true, 0},
      {{}, true, 0},
      {with(head7, "nothing"), false, 1},  // a failed request does not disqualify
  };
  for (const auto& c : cases) {
    target->Queue({c.carriedOut, c.answer});
    EXPECT_EQ(cmd_bInquiry('E'), c.expected) << std::string(c.answer.begin(), c.answer.end());
  }
}
