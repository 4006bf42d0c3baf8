#include "device/commands.h"

#include <cstdio>
#include <cstring>

#include "device/device_handle.h"

namespace device {

using platform::SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER;
using platform::SCSI_PASS_THROUGH_WITH_BUFFERS;

namespace {

constexpr std::uint32_t kBufferedDataOffset = 80;
constexpr std::uint32_t kSenseOffset = 48;
constexpr std::uint8_t kDirectSenseLength = 24;

// A command block under construction: CDB bytes not named stay 0.
struct Cdb {
  std::uint8_t bytes[16] = {};
  std::uint8_t length;

  Cdb(std::uint8_t cdbLength, std::uint8_t op0, std::uint8_t op1 = 0) : length(cdbLength) {
    bytes[0] = op0;
    bytes[1] = op1;
  }
  Cdb& Be32(int at, std::uint32_t v) {
    bytes[at] = static_cast<std::uint8_t>(v >> 24);
    bytes[at + 1] = static_cast<std::uint8_t>(v >> 16);
    bytes[at + 2] = static_cast<std::uint8_t>(v >> 8);
    bytes[at + 3] = static_cast<std::uint8_t>(v);
    return *this;
  }
  Cdb& Be16(int at, std::uint32_t v) {  // low 16 bits of the argument
    bytes[at] = static_cast<std::uint8_t>(v >> 8);
    bytes[at + 1] = static_cast<std::uint8_t>(v);
    return *this;
  }
  Cdb& Byte(int at, std::uint8_t v) {
    bytes[at] = v;
    return *this;
  }
};

// Buffered form: the header goes in, the block comes back with up to 512 answer
// bytes in its data area. Every buffered command sends DataIn 1.
struct Buffered {
  SCSI_PASS_THROUGH_WITH_BUFFERS block;
  BOOL ok = 0;

  Buffered(HANDLE h, const Cdb& cdb, std::uint32_t answerLength, std::uint32_t timeout) {
    std::memset(&block, 0, sizeof block);
    block.spt.Length = sizeof(platform::SCSI_PASS_THROUGH);
    block.spt.CdbLength = cdb.length;
    block.spt.SenseInfoLength = 0;
    block.spt.DataIn = platform::SCSI_IOCTL_DATA_IN;
    block.spt.DataTransferLength = answerLength;
    block.spt.TimeOutValue = timeout;
    block.spt.DataBufferOffset = kBufferedDataOffset;
    block.spt.SenseInfoOffset = kSenseOffset;
    std::memcpy(block.spt.Cdb, cdb.bytes, sizeof cdb.bytes);
    platform::DWORD returned = 0;
    ok = platform::DeviceIoControl(h, platform::IOCTL_SCSI_PASS_THROUGH, &block, sizeof(platform::SCSI_PASS_THROUGH),
                                   &block, kBufferedDataOffset + answerLength, &returned, nullptr)
             ? 1
             : 0;
  }
  const std::uint8_t* Answer() const { return block.ucDataBuf; }
  BOOL Status() const { return block.ucDataBuf[0] & ok; }
};

// Direct form: the data moves straight to or from 'buffer'. The device's
// SCSI status and sense data come back in 'answer' when asked for.
struct DirectAnswer {
  std::uint8_t scsiStatus = platform::SCSI_STATUS_GOOD;
  std::uint8_t sense[kDirectSenseLength] = {};
};
BOOL Direct(HANDLE h, const Cdb& cdb, bool dataIn, void* buffer, std::uint32_t length, std::uint32_t timeout,
            DirectAnswer* answer = nullptr) {
  SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER block;
  std::memset(&block, 0, sizeof block);
  block.sptd.Length = sizeof(platform::SCSI_PASS_THROUGH);
  block.sptd.CdbLength = cdb.length;
  block.sptd.SenseInfoLength = kDirectSenseLength;
  block.sptd.DataIn = dataIn ? platform::SCSI_IOCTL_DATA_IN : platform::SCSI_IOCTL_DATA_OUT;
  block.sptd.DataTransferLength = length;
  block.sptd.TimeOutValue = timeout;
  platform::SetDirectDataBuffer(block, buffer);
  block.sptd.SenseInfoOffset = kSenseOffset;
  std::memcpy(block.sptd.Cdb, cdb.bytes, sizeof cdb.bytes);
  platform::DWORD returned = 0;
  const BOOL ok = platform::DeviceIoControl(h, platform::IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block, &block,
                                            sizeof block, &returned, nullptr)
                      ? 1
                      : 0;
  if (answer) {
    answer->scsiStatus = block.sptd.ScsiStatus;
    std::memcpy(answer->sense, block.ucSenseBuf, sizeof answer->sense);
  }
  return ok;
}

// The sense key and codes of fixed-format (70h/71h) or descriptor-format
// (72h/73h) sense data; false when there is none.
bool ReadSense(const std::uint8_t* sense, Refusal& r) {
  const std::uint8_t code = sense[0] & 0x7F;
  if (code == 0x70 || code == 0x71) {
    r.senseKey = sense[2] & 0x0F, r.asc = sense[12], r.ascq = sense[13];
    return true;
  }
  if (code == 0x72 || code == 0x73) {
    r.senseKey = sense[1] & 0x0F, r.asc = sense[2], r.ascq = sense[3];
    return true;
  }
  return false;
}

// A direct transfer of data the device is to keep (or the plain disk
// transfers): done only when carried out with status GOOD. A refusal is
// described in 'refusal' when given.
BOOL Kept(HANDLE h, const Cdb& cdb, bool dataIn, void* buffer, std::uint32_t length, std::uint32_t timeout,
          Refusal* refusal) {
  DirectAnswer answer;
  const BOOL ok = Direct(h, cdb, dataIn, buffer, length, timeout, &answer);
  if (ok && answer.scsiStatus == platform::SCSI_STATUS_GOOD) return 1;
  if (ok && refusal) {
    *refusal = Refusal{};
    refusal->refused = true;
    refusal->scsiStatus = answer.scsiStatus;
    refusal->sense = ReadSense(answer.sense, *refusal);
  }
  return 0;
}

void ReverseFlashId(const std::uint8_t* answer, std::uint8_t* id) {
  for (int i = 0; i < 5; ++i) id[4 - i] = answer[i];
}

// READ(10) / WRITE(10). The CDB carries a 16-bit block count, and blockSize x
// count bytes must fit the 32-bit transfer length; anything else would move a
// different amount of data than the device was told about, so it is refused.
// A plain disk transfer that the device answers with anything but GOOD
// (CHECK CONDITION: nothing was read or written) fails.
BOOL Transfer10(HANDLE h, std::uint8_t opcode, bool dataIn, std::uint8_t* buffer, std::uint32_t blockSize,
                std::uint32_t lba, std::uint32_t count, Refusal* refusal) {
  const std::uint64_t bytes = std::uint64_t{blockSize} * count;
  if (count > 0xFFFF || bytes > 0xFFFFFFFFu) return 0;
  Cdb cdb(10, opcode);
  cdb.Be32(2, lba).Be16(7, count);
  return Kept(h, cdb, dataIn, buffer, static_cast<std::uint32_t>(bytes), 12, refusal);
}

// A one-byte query whose output is cleared first, then set from the answer area.
BOOL ByteQuery(HANDLE h, std::uint8_t subOpcode, std::uint8_t* value) {
  if (value) *value = 0;
  Buffered request(h, Cdb(6, VENDOR_IN, subOpcode), 1, 12);
  if (value) *value = request.Answer()[0];
  return request.ok;
}

constexpr std::uint8_t kInquiryG[9] = {0x00, 0x80, 0x02, 0x02, 0x04, 0x00, 0x00, 0x00, 'G'};
constexpr std::uint8_t kInquiry711[12] = {0x00, 0x80, 0x02, 0x02, 0x07, 0x00, 0x00, 0x00, '7', '1', '.', '1'};
constexpr std::uint8_t kInquiry712[12] = {0x00, 0x80, 0x02, 0x02, 0x07, 0x00, 0x00, 0x00, '7', '1', '.', '2'};

}  // namespace

std::string DescribeRefusal(const Refusal& r) {
  static const char* const kKeys[16] = {"NO SENSE",        "RECOVERED ERROR", "NOT READY",       "MEDIUM ERROR",
                                        "HARDWARE ERROR",  "ILLEGAL REQUEST", "UNIT ATTENTION",  "DATA PROTECT",
                                        "BLANK CHECK",     "VENDOR SPECIFIC", "COPY ABORTED",    "ABORTED COMMAND",
                                        "EQUAL",           "VOLUME OVERFLOW", "MISCOMPARE",      "COMPLETED"};
  char text[96];
  if (r.scsiStatus != platform::SCSI_STATUS_CHECK_CONDITION)
    std::snprintf(text, sizeof text, "SCSI status %02X", r.scsiStatus);
  else if (!r.sense)
    std::snprintf(text, sizeof text, "CHECK CONDITION, no sense data");
  else
    std::snprintf(text, sizeof text, "CHECK CONDITION, sense key %X (%s), ASC/ASCQ %02X/%02X", r.senseKey & 0x0F,
                  kKeys[r.senseKey & 0x0F], r.asc, r.ascq);
  return text;
}

// ---- commands that open the drive letter themselves ----

BOOL cmd_bGetFlashIdByDrive(char letter, std::uint8_t* id) {
  const ScopedDeviceHandle h = OpenDeviceVolume(letter);
  if (!h.IsOpen()) return 0;
  Buffered request(h.Get(), Cdb(6, VENDOR_IN, SUB_SCSI_OP_READ_FLASH_ID), 5, 12);
  ReverseFlashId(request.Answer(), id);
  return request.ok;
}

BOOL cmd_bCheckChipModel(char letter) {
  const ScopedDeviceHandle h = OpenDeviceVolume(letter);
  if (!h.IsOpen()) return 0;
  Buffered request(h.Get(), Cdb(6, VENDOR_IN, SUB_SCSI_OP_GET_CHIP_MODEL), 4, 12);
  return std::memcmp(request.Answer(), "Q471", 4) == 0 ? 1 : 0;
}

BOOL cmd_bResetDevice(char letter) {
  const ScopedDeviceHandle h = OpenDeviceVolume(letter);
  if (!h.IsOpen()) return 0;
  Buffered request(h.Get(), Cdb(6, VENDOR_IN, SUB_SCSI_OP_RESET), 0, 12);
  return request.ok;
}

BOOL cmd_bInquiry(char letter) {
  const ScopedDeviceHandle h = OpenDeviceVolume(letter);
  if (!h.IsOpen()) return 0;
  // The allocation-length byte stays 0; the transfer length asks for 36 bytes.
  Buffered request(h.Get(), Cdb(6, SCSI_INQUIRY), 36, 12);
  if (!request.ok) return 1;  // a failed request does not disqualify the device
  const std::uint8_t* a = request.Answer();
  if (std::memcmp(a, kInquiryG, sizeof kInquiryG) == 0) return 1;
  if (std::memcmp(a, kInquiry711, sizeof kInquiry711) == 0) return 1;
  if (std::memcmp(a, kInquiry712, sizeof kInquiry712) == 0) return 1;
  return 0;
}

// ---- commands on an open handle ----

BOOL cmd_bGetFlashId(HANDLE h, std::uint8_t* id) {
  if (h == INVALID_HANDLE_VALUE) return 0;
  Buffered request(h, Cdb(6, VENDOR_IN, SUB_SCSI_OP_READ_FLASH_ID), 5, 12);
  ReverseFlashId(request.Answer(), id);
  return request.ok;
}

BOOL cmd_bBlockTest(HANDLE h, std::uint32_t block, std::uint32_t count, std::uint32_t seed, std::uint8_t modeA,
                    std::uint8_t modeB, std::uint8_t setting, std::uint8_t eccThreshold, std::uint8_t* results,
                    std::uint32_t perPage, std::uint32_t pages) {
  const std::uint64_t n = std::uint64_t{perPage ? pages : count} + 1;
  // The answer lands in a fixed buffer; a longer one would overrun it.
  if (n > kBlockTestBufferSize) return 0;
  if (h == INVALID_HANDLE_VALUE) return 0;
  std::uint8_t buffer[kBlockTestBufferSize];
  std::memset(buffer, 0, sizeof buffer);
  Cdb cdb(16, VENDOR_IN, SUB_SCSI_OP_BLOCK_TEST);
  cdb.Be32(2, block).Be16(6, count).Be16(8, seed).Byte(10, modeA).Byte(11, modeB).Byte(12, setting);
  cdb.Byte(13, eccThreshold).Byte(14, static_cast<std::uint8_t>(perPage));
  const BOOL ok = Direct(h, cdb, true, buffer, static_cast<std::uint32_t>(n), 30);
  const BOOL result = buffer[0] & ok;
  if (result && results) std::memcpy(results, buffer + 1, n - 1);
  return result;
}

BOOL cmd_bEraseBlock(HANDLE h, std::uint32_t block, std::uint32_t count) {
  Cdb cdb(10, VENDOR_IN, SUB_SCSI_OP_ERASE_BLOCK);
  cdb.Be32(2, block).Be16(6, count);
  return Buffered(h, cdb, 1, 12).Status();
}

BOOL cmd_bWritePagesEx(HANDLE h, std::uint32_t block, std::uint32_t count, std::uint8_t* buffer,
                       std::uint32_t length, std::uint8_t flag) {
  if (h == INVALID_HANDLE_VALUE) return 0;
  Cdb cdb(16, VENDOR_OUT, SUB_SCSI_OP_WRITE_PAGES);
  cdb.Be32(2, block).Be16(6, count).Byte(8, flag);
  const BOOL ok = Direct(h, cdb, true, buffer, length, 30);
  if (buffer == nullptr || length == 0) return 0;  // no answer byte to look at
  return buffer[0] & ok;
}

BOOL cmd_bWritePages(HANDLE h, std::uint32_t block, std::uint32_t count, std::uint8_t* buffer, std::uint32_t length,
                     std::uint8_t flag, Refusal* refusal) {
  if (h == INVALID_HANDLE_VALUE) return 0;
  Cdb cdb(10, VENDOR_OUT, SUB_SCSI_OP_WRITE_PAGES);
  cdb.Be32(2, block).Be16(6, count).Byte(8, flag);
  return Kept(h, cdb, false, buffer, length, 10, refusal);
}

BOOL cmd_bReadPages(HANDLE h, std::uint32_t block, std::uint32_t count, std::uint8_t* buffer, std::uint32_t length,
                    std::uint8_t flag) {
  if (h == INVALID_HANDLE_VALUE) return 0;
  Cdb cdb(10, VENDOR_IN, SUB_SCSI_OP_READ_PAGES);
  cdb.Be32(2, block).Be16(6, count).Byte(8, flag);
  return Direct(h, cdb, true, buffer, length, 12);
}

BOOL cmd_bFsmInit(HANDLE h) { return Buffered(h, Cdb(6, VENDOR_IN, SUB_SCSI_OP_FSM_INIT), 1, 10).ok; }

BOOL cmd_bReadCapacity(HANDLE h, std::uint32_t* lastLba, std::uint32_t* blockLength) {
  // READ CAPACITY(10) goes with a 6-byte CDB length; the device answers 8 bytes.
  Buffered request(h, Cdb(6, SCSI_READ_CAPACITY), 8, 12);
  const std::uint8_t* a = request.Answer();
  if (lastLba) *lastLba = (std::uint32_t{a[0]} << 24) | (std::uint32_t{a[1]} << 16) | (std::uint32_t{a[2]} << 8) | a[3];
  if (blockLength)
    *blockLength = (std::uint32_t{a[4]} << 24) | (std::uint32_t{a[5]} << 16) | (std::uint32_t{a[6]} << 8) | a[7];
  return request.ok;
}

BOOL cmd_bDownloadStart(HANDLE h, std::uint32_t value) {
  return Buffered(h, Cdb(6, VENDOR_IN, SUB_SCSI_OP_DOWNLOAD_START).Be32(2, value), 1, 12).ok;
}

BOOL cmd_bDownloadData(HANDLE h, std::uint8_t* buffer, std::uint32_t length, Refusal* refusal) {
  return Kept(h, Cdb(6, VENDOR_OUT, SUB_SCSI_OP_DOWNLOAD_DATA), false, buffer, length, 12, refusal);
}

BOOL cmd_bDownloadSum(HANDLE h, std::uint32_t sum) {
  return Buffered(h, Cdb(6, VENDOR_IN, SUB_SCSI_OP_DOWNLOAD_SUM).Be16(2, sum), 1, 12).ok;
}

BOOL cmd_bSetSysAreaSize(HANDLE h, std::uint8_t unit) {
  const BOOL ok = Buffered(h, Cdb(6, VENDOR_IN, SUB_SCSI_OP_SET_SYS_AREA_SIZE).Byte(2, unit), 1, 12).ok;
  std::printf("SUB_SCSI_OP_SET_SYS_AREA_SIZE = %d\n", SUB_SCSI_OP_SET_SYS_AREA_SIZE);
  std::printf("unit = %d\n", unit);
  return ok;
}

BOOL cmd_bSetByte91(HANDLE h, std::uint8_t value) {
  return Buffered(h, Cdb(6, VENDOR_IN, SUB_SCSI_OP_SET_BYTE_91).Byte(2, value), 1, 12).Status();
}

std::uint8_t cmd_GetChipCount(HANDLE h) {
  return Buffered(h, Cdb(6, VENDOR_IN, SUB_SCSI_OP_GET_CHIP_COUNT), 1, 12).Answer()[0];
}

BOOL cmd_bWriteFlashTable(HANDLE h, std::uint8_t* buffer, std::uint32_t length, Refusal* refusal) {
  return Kept(h, Cdb(6, VENDOR_OUT, SUB_SCSI_OP_WRITE_FLASH_TABLE), false, buffer, length, 12, refusal);
}

BOOL cmd_bCheckSpiFlash(HANDLE h) { return Buffered(h, Cdb(6, VENDOR_IN, SUB_SCSI_OP_CHECK_SPI_FLASH), 1, 300).Status(); }

BOOL cmd_bSetByte8E(HANDLE h, std::uint8_t value) {
  return Buffered(h, Cdb(6, VENDOR_IN, SUB_SCSI_OP_SET_BYTE_8E).Byte(2, value), 1, 12).Status();
}

BOOL cmd_bWriteSetup(HANDLE h, std::uint32_t size) {
  return Buffered(h, Cdb(6, VENDOR_IN, SUB_SCSI_OP_WRITE_SETUP).Be32(2, size), 1, 12).Status();
}

BOOL cmd_bWriteData(HANDLE h, std::uint8_t* buffer, std::uint32_t length, Refusal* refusal) {
  return Kept(h, Cdb(6, VENDOR_OUT, SUB_SCSI_OP_WRITE_DATA), false, buffer, length, 12, refusal);
}

BOOL cmd_bWriteEnd(HANDLE h) { return Buffered(h, Cdb(6, VENDOR_IN, SUB_SCSI_OP_WRITE_END), 1, 12).Status(); }

BOOL cmd_bFwParityCheck(HANDLE h) {
  return Buffered(h, Cdb(6, VENDOR_IN, SUB_SCSI_OP_FW_PARITY_CHECK), 2, 12).Status();
}

BOOL cmd_bSetModuleNo(HANDLE h, std::uint8_t value) {
  return Buffered(h, Cdb(6, VENDOR_IN, SUB_SCSI_OP_SET_MODULE_NO).Byte(2, value), 1, 12).Status();
}

BOOL cmd_bStartDisk(HANDLE h) { return Buffered(h, Cdb(6, VENDOR_IN, SUB_SCSI_OP_START_DISK), 2, 30).Status(); }

BOOL cmd_bChangeToHiddenDisk(HANDLE h) {
  return Buffered(h, Cdb(6, VENDOR_IN, SUB_SCSI_OP_CHANGE_TO_HIDDEN_DISK), 1, 12).Status();
}

BOOL cmd_bReadBadBlockMap(HANDLE h, std::uint8_t* buffer, std::uint32_t length) {
  if (h == INVALID_HANDLE_VALUE) return 0;
  return Direct(h, Cdb(10, VENDOR_IN, SUB_SCSI_OP_READ_BAD_BLOCK_MAP).Be32(2, length), true, buffer, length, 30);
}

BOOL cmd_bCheckFamilyModel(HANDLE h) {
  Buffered request(h, Cdb(6, VENDOR_IN, SUB_SCSI_OP_GET_FAMILY_MODEL), 4, 12);
  return std::memcmp(request.Answer(), "Q401", 4) == 0 ? 1 : 0;
}

BOOL cmd_bGetFwSelect(HANDLE h, std::uint8_t* value) { return ByteQuery(h, SUB_SCSI_OP_GET_FW_SELECT, value); }

BOOL cmd_bGetBondingId(HANDLE h, std::uint8_t* value) { return ByteQuery(h, SUB_SCSI_OP_GET_BONDING_ID, value); }

BOOL cmd_bSetByte8F(HANDLE h, std::uint8_t value) {
  return Buffered(h, Cdb(6, VENDOR_IN, SUB_SCSI_OP_SET_BYTE_8F).Byte(2, value), 1, 12).Status();
}

BOOL cmd_bRead99(HANDLE h, std::uint8_t* buffer) {
  if (h == INVALID_HANDLE_VALUE) return 0;
  return Direct(h, Cdb(10, VENDOR_IN, SUB_SCSI_OP_READ_99), true, buffer, 512, 10);
}

std::uint8_t cmd_GetSerialNum(HANDLE h) {
  Buffered request(h, Cdb(6, VENDOR_IN, SUB_SCSI_OP_GET_SERIAL_NUM), 1, 12);
  return request.ok ? request.Answer()[0] : 0;
}

BOOL cmd_bSetPageTable(HANDLE h, std::uint8_t* buffer, std::uint32_t length) {
  if (h == INVALID_HANDLE_VALUE) return 0;
  return Direct(h, Cdb(6, VENDOR_OUT, SUB_SCSI_OP_SET_PAGE_TABLE), false, buffer, length, 10);
}

BOOL cmd_bReadCfg(HANDLE h, std::uint8_t* buffer) {
  if (h == INVALID_HANDLE_VALUE) return 0;
  return Direct(h, Cdb(10, VENDOR_IN, SUB_SCSI_OP_READ_CFG), true, buffer, 512, 10);
}

std::uint8_t cmd_GetSpiSizeMB(HANDLE h) {
  Buffered request(h, Cdb(6, VENDOR_IN, SUB_SCSI_OP_GET_SPI_SIZE), 1, 12);
  return request.ok ? request.Answer()[0] : 0;
}

BOOL cmd_bSpiRead(HANDLE h, std::uint32_t start, std::uint32_t count, std::uint8_t* buffer) {
  if (h == INVALID_HANDLE_VALUE) return 0;
  Cdb cdb(6, VENDOR_IN, SUB_SCSI_OP_SPI_READ);
  cdb.Be16(2, start).Be16(4, count);
  return Direct(h, cdb, true, buffer, (count & 0xFFFF) * 256u, 10);
}

BOOL cmd_bSpiWrite(HANDLE h, std::uint32_t start, std::uint32_t count, std::uint8_t* buffer, Refusal* refusal) {
  if (h == INVALID_HANDLE_VALUE) return 0;
  Cdb cdb(6, VENDOR_OUT, SUB_SCSI_OP_SPI_WRITE);
  cdb.Be16(2, start).Be16(4, count);
  return Kept(h, cdb, false, buffer, (count & 0xFFFF) * 256u, 10, refusal);
}

BOOL cmd_bWrite10(HANDLE h, std::uint8_t* buffer, std::uint32_t blockSize, std::uint32_t lba, std::uint32_t count,
                  Refusal* refusal) {
  return Transfer10(h, SCSI_WRITE10, false, buffer, blockSize, lba, count, refusal);
}

BOOL cmd_bRead10(HANDLE h, std::uint8_t* buffer, std::uint32_t blockSize, std::uint32_t lba, std::uint32_t count,
                 Refusal* refusal) {
  return Transfer10(h, SCSI_READ10, true, buffer, blockSize, lba, count, refusal);
}

BOOL cmd_bStopUnit(HANDLE h) { return Buffered(h, Cdb(6, SCSI_START_STOP_UNIT), 0, 12).ok; }

}  // namespace device
