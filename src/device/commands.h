// The controller command set: one free function per command, each building one
// pass-through request on its own stack, making one call and returning. The
// layer keeps no state, takes no locks and never retries.
//
// Result conventions:
//   call   - whether the request was carried out (for the writes of data the
//            device keeps: carried out with SCSI status GOOD, see below);
//   status - answer byte 0 AND the call's result (bit 0 of the status byte);
//   byte   - answer byte 0 itself.
#pragma once

#include <cstdint>
#include <string>

#include "platform/scsi/scsi.h"

namespace device {

using platform::BOOL;
using platform::HANDLE;
using platform::INVALID_HANDLE_VALUE;

enum : std::uint8_t {
  SUB_SCSI_OP_READ_FLASH_ID = 0x70,
  SUB_SCSI_OP_WRITE_FLASH_TABLE = 0x71,
  SUB_SCSI_OP_CHECK_SPI_FLASH = 0x72,
  SUB_SCSI_OP_START_DISK = 0x73,
  SUB_SCSI_OP_DOWNLOAD_START = 0x77,
  SUB_SCSI_OP_DOWNLOAD_DATA = 0x78,
  SUB_SCSI_OP_DOWNLOAD_SUM = 0x79,
  SUB_SCSI_OP_WRITE_SETUP = 0x7A,
  SUB_SCSI_OP_WRITE_DATA = 0x7B,
  SUB_SCSI_OP_WRITE_END = 0x7C,
  SUB_SCSI_OP_READ_CFG = 0x80,
  SUB_SCSI_OP_RESET = 0x81,
  SUB_SCSI_OP_GET_CHIP_MODEL = 0x82,
  SUB_SCSI_OP_SET_SYS_AREA_SIZE = 0x83,
  SUB_SCSI_OP_GET_CHIP_COUNT = 0x84,
  SUB_SCSI_OP_GET_FAMILY_MODEL = 0x85,
  SUB_SCSI_OP_FW_PARITY_CHECK = 0x87,
  SUB_SCSI_OP_GET_BONDING_ID = 0x8B,
  SUB_SCSI_OP_SET_MODULE_NO = 0x8D,
  SUB_SCSI_OP_SET_BYTE_8E = 0x8E,
  SUB_SCSI_OP_SET_BYTE_8F = 0x8F,
  SUB_SCSI_OP_SET_BYTE_91 = 0x91,
  SUB_SCSI_OP_CHANGE_TO_HIDDEN_DISK = 0x92,
  SUB_SCSI_OP_BLOCK_TEST = 0x93,
  SUB_SCSI_OP_ERASE_BLOCK = 0x94,
  SUB_SCSI_OP_WRITE_PAGES = 0x95,
  SUB_SCSI_OP_READ_PAGES = 0x96,
  SUB_SCSI_OP_FSM_INIT = 0x97,
  SUB_SCSI_OP_READ_BAD_BLOCK_MAP = 0x98,
  SUB_SCSI_OP_READ_99 = 0x99,
  SUB_SCSI_OP_GET_SERIAL_NUM = 0x9A,
  SUB_SCSI_OP_SET_PAGE_TABLE = 0x9B,
  SUB_SCSI_OP_GET_SPI_SIZE = 0x9C,
  SUB_SCSI_OP_SPI_READ = 0x9D,
  SUB_SCSI_OP_SPI_WRITE = 0x9E,
  SUB_SCSI_OP_GET_FW_SELECT = 0xB0,
};

constexpr std::uint8_t VENDOR_IN = 0xEF;   // device answers (status or data)
constexpr std::uint8_t VENDOR_OUT = 0xEE;  // data goes to the device

constexpr std::uint8_t SCSI_INQUIRY = 0x12;
constexpr std::uint8_t SCSI_READ_CAPACITY = 0x25;
constexpr std::uint8_t SCSI_READ10 = 0x28;
constexpr std::uint8_t SCSI_WRITE10 = 0x2A;
constexpr std::uint8_t SCSI_START_STOP_UNIT = 0x1B;

// The block test's answer buffer; longer answers are refused.
constexpr std::uint32_t kBlockTestBufferSize = 1024;

// What the device answered when it refused a request it carried out: its SCSI
// status and, when it sent sense data, the sense key, additional sense code
// and qualifier.
struct Refusal {
  bool refused = false;
  std::uint8_t scsiStatus = 0;
  bool sense = false;
  std::uint8_t senseKey = 0, asc = 0, ascq = 0;
};
// "CHECK CONDITION, sense key 3 (MEDIUM ERROR), ASC/ASCQ 0C/00", for a log line.
std::string DescribeRefusal(const Refusal& refusal);

// "\\.\" followed by the letter and a colon.
constexpr const char* kVolumePathPrefix = "\\\\.\\";

// Commands that open the drive letter themselves (used at device arrival).
BOOL cmd_bGetFlashIdByDrive(char letter, std::uint8_t* id);
BOOL cmd_bCheckChipModel(char letter);
BOOL cmd_bResetDevice(char letter);
BOOL cmd_bInquiry(char letter);

BOOL cmd_bGetFlashId(HANDLE h, std::uint8_t* id);
BOOL cmd_bBlockTest(HANDLE h, std::uint32_t block, std::uint32_t count, std::uint32_t seed, std::uint8_t modeA,
                    std::uint8_t modeB, std::uint8_t setting, std::uint8_t eccThreshold, std::uint8_t* results,
                    std::uint32_t perPage, std::uint32_t pages);
BOOL cmd_bEraseBlock(HANDLE h, std::uint32_t block, std::uint32_t count);
BOOL cmd_bWritePagesEx(HANDLE h, std::uint32_t block, std::uint32_t count, std::uint8_t* buffer,
                       std::uint32_t length, std::uint8_t flag);
// The writes of data the device is to keep (configuration pages, image and
// firmware pieces, FSM pieces, SPI pieces) succeed only when the call was
// carried out with SCSI status GOOD: a device that answers CHECK CONDITION
// did not take the data. What it answered goes to 'refusal' when given.
BOOL cmd_bWritePages(HANDLE h, std::uint32_t block, std::uint32_t count, std::uint8_t* buffer, std::uint32_t length,
                     std::uint8_t flag, Refusal* refusal = nullptr);
BOOL cmd_bReadPages(HANDLE h, std::uint32_t block, std::uint32_t count, std::uint8_t* buffer, std::uint32_t length,
                    std::uint8_t flag);
BOOL cmd_bFsmInit(HANDLE h);
BOOL cmd_bReadCapacity(HANDLE h, std::uint32_t* lastLba, std::uint32_t* blockLength);
BOOL cmd_bDownloadStart(HANDLE h, std::uint32_t value);
BOOL cmd_bDownloadData(HANDLE h, std::uint8_t* buffer, std::uint32_t length, Refusal* refusal = nullptr);
BOOL cmd_bDownloadSum(HANDLE h, std::uint32_t sum);
BOOL cmd_bSetSysAreaSize(HANDLE h, std::uint8_t unit);
BOOL cmd_bSetByte91(HANDLE h, std::uint8_t value);
std::uint8_t cmd_GetChipCount(HANDLE h);
BOOL cmd_bWriteFlashTable(HANDLE h, std::uint8_t* buffer, std::uint32_t length, Refusal* refusal = nullptr);
BOOL cmd_bCheckSpiFlash(HANDLE h);
BOOL cmd_bSetByte8E(HANDLE h, std::uint8_t value);
BOOL cmd_bWriteSetup(HANDLE h, std::uint32_t size);
BOOL cmd_bWriteData(HANDLE h, std::uint8_t* buffer, std::uint32_t length, Refusal* refusal = nullptr);
BOOL cmd_bWriteEnd(HANDLE h);
BOOL cmd_bFwParityCheck(HANDLE h);
BOOL cmd_bSetModuleNo(HANDLE h, std::uint8_t value);
BOOL cmd_bStartDisk(HANDLE h);
BOOL cmd_bChangeToHiddenDisk(HANDLE h);
BOOL cmd_bReadBadBlockMap(HANDLE h, std::uint8_t* buffer, std::uint32_t length);
BOOL cmd_bCheckFamilyModel(HANDLE h);
BOOL cmd_bGetFwSelect(HANDLE h, std::uint8_t* value);
BOOL cmd_bGetBondingId(HANDLE h, std::uint8_t* value);
BOOL cmd_bSetByte8F(HANDLE h, std::uint8_t value);
BOOL cmd_bRead99(HANDLE h, std::uint8_t* buffer);
std::uint8_t cmd_GetSerialNum(HANDLE h);
BOOL cmd_bSetPageTable(HANDLE h, std::uint8_t* buffer, std::uint32_t length);
BOOL cmd_bReadCfg(HANDLE h, std::uint8_t* buffer);
std::uint8_t cmd_GetSpiSizeMB(HANDLE h);
BOOL cmd_bSpiRead(HANDLE h, std::uint32_t start, std::uint32_t count, std::uint8_t* buffer);
BOOL cmd_bSpiWrite(HANDLE h, std::uint32_t start, std::uint32_t count, std::uint8_t* buffer,
                   Refusal* refusal = nullptr);
// The plain disk transfers: carried out with SCSI status GOOD, else 0 (a
// CHECK CONDITION moved no data); what the device answered as above.
BOOL cmd_bWrite10(HANDLE h, std::uint8_t* buffer, std::uint32_t blockSize, std::uint32_t lba, std::uint32_t count,
                  Refusal* refusal = nullptr);
BOOL cmd_bRead10(HANDLE h, std::uint8_t* buffer, std::uint32_t blockSize, std::uint32_t lba, std::uint32_t count,
                 Refusal* refusal = nullptr);
BOOL cmd_bStopUnit(HANDLE h);

}  // namespace device
