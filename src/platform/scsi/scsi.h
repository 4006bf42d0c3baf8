// SCSI pass-through as the station's command layer expects it: volume handles
// opened by path, two request block forms with the 44-byte header, and one
// ScsiTarget (a real device node or an emulated controller) behind each handle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

using BOOL = int;
using UCHAR = std::uint8_t;
using USHORT = std::uint16_t;
using ULONG = std::uint32_t;
using DWORD = std::uint32_t;
using HANDLE = void*;

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t{0});

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD FILE_SHARE_READ = 1;
constexpr DWORD FILE_SHARE_WRITE = 2;
constexpr DWORD OPEN_EXISTING = 3;

constexpr DWORD IOCTL_SCSI_PASS_THROUGH = 0x4D004;
constexpr DWORD IOCTL_SCSI_PASS_THROUGH_DIRECT = 0x4D014;

constexpr UCHAR SCSI_IOCTL_DATA_OUT = 0;
constexpr UCHAR SCSI_IOCTL_DATA_IN = 1;

// The 44-byte pass-through header. Both forms share it; in the direct form the
// 32-bit data field holds the low half of the buffer address (see below).
#pragma pack(push, 1)
struct SCSI_PASS_THROUGH {
  USHORT Length;             // 0
  UCHAR ScsiStatus;          // 2
  UCHAR PathId;              // 3
  UCHAR TargetId;            // 4
  UCHAR Lun;                 // 5
  UCHAR CdbLength;           // 6
  UCHAR SenseInfoLength;     // 7
  UCHAR DataIn;              // 8
  UCHAR Reserved[3];         // 9
  ULONG DataTransferLength;  // 12
  ULONG TimeOutValue;        // 16
  ULONG DataBufferOffset;    // 20: offset of the data area (buffered) / buffer address low half (direct)
  ULONG SenseInfoOffset;     // 24
  UCHAR Cdb[16];             // 28
};

// Buffered form: 592 bytes, the answer lands in the block's own data area.
struct SCSI_PASS_THROUGH_WITH_BUFFERS {
  SCSI_PASS_THROUGH spt;  // 0-43
  ULONG Filler;           // 44-47
  UCHAR ucSenseBuf[32];   // 48-79
  UCHAR ucDataBuf[512];   // 80-591
};

// Direct form: 80 bytes, the data moves straight to or from the caller's buffer.
// A 64-bit address does not fit the 32-bit header field, so the filler that
// follows the header carries the high half; the header layout stays as it is.
struct SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER {
  SCSI_PASS_THROUGH sptd;  // 0-43
  ULONG Filler;            // 44-47: high half of the data buffer address
  UCHAR ucSenseBuf[32];    // 48-79
};
#pragma pack(pop)

static_assert(sizeof(SCSI_PASS_THROUGH) == 44);
static_assert(offsetof(SCSI_PASS_THROUGH, DataTransferLength) == 12);
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == 28);
static_assert(sizeof(SCSI_PASS_THROUGH_WITH_BUFFERS) == 592);
static_assert(offsetof(SCSI_PASS_THROUGH_WITH_BUFFERS, ucDataBuf) == 80);
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER) == 80);

void SetDirectDataBuffer(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER& block, void* buffer);
void* GetDirectDataBuffer(const SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER& block);

// What a target receives for one request.
enum class ScsiDirection { None, In, Out };

// SCSI status bytes a target reports for a request it carried out.
constexpr UCHAR SCSI_STATUS_GOOD = 0x00;
constexpr UCHAR SCSI_STATUS_CHECK_CONDITION = 0x02;

struct ScsiRequest {
  const std::uint8_t* cdb = nullptr;
  std::uint8_t cdbLength = 0;
  ScsiDirection direction = ScsiDirection::None;
  std::uint8_t* data = nullptr;  // length bytes; filled for In, read for Out
  std::uint32_t length = 0;
  std::uint32_t timeoutSeconds = 0;
  // Where a target that carried the request out puts the device's SCSI status
  // (GOOD, CHECK CONDITION ...); may be null. Starts at GOOD.
  UCHAR* scsiStatus = nullptr;
  // Where a target that answers CHECK CONDITION puts the device's sense data,
  // at most senseLength bytes (zeroed by the caller); may be null.
  UCHAR* sense = nullptr;
  UCHAR senseLength = 0;
};

// One device as seen through pass-through. Execute returns whether the request
// was carried out (a device that answers CHECK CONDITION still carried it out,
// and says so in the request's status). DeviceIoControl hands that status
// back in the header's ScsiStatus field and the sense data in the block's
// sense area (SenseInfoOffset, SenseInfoLength bytes), as the operating system
// does.
// Targets must accept calls from several threads at once.
class ScsiTarget {
 public:
  virtual ~ScsiTarget() = default;
  virtual bool Execute(const ScsiRequest& request) = 0;
};

// The operating-system calls the command layer makes. CreateFileA opens a volume
// path "\\.\X:" whose letter is in the volume table; anything else fails with
// INVALID_HANDLE_VALUE. Handles are never reused, so a stale one stays invalid.
HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inBufferSize, void* outBuffer,
                     DWORD outBufferSize, DWORD* bytesReturned, void* overlapped);
BOOL CloseHandle(HANDLE handle);

// Binds a new handle straight to a target (for tests and tools that hold a target
// without a drive letter).
HANDLE OpenTargetHandle(std::shared_ptr<ScsiTarget> target);
// The drive letter whose volume path a handle was opened from; 0 for a handle
// bound straight to a target, or one that is not open.
char VolumeLetterOf(HANDLE handle);
// Number of handles now open; lets tests check that every road closes its handle.
std::size_t OpenHandleCount();

}  // namespace platform
