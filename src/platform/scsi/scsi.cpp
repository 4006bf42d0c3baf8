#include "platform/scsi/scsi.h"

#include <atomic>
#include <mutex>
#include <unordered_map>

#include "platform/volumes/volumes.h"

namespace platform {

namespace {

class HandleTable {
 public:
  HANDLE Open(std::shared_ptr<ScsiTarget> target, char letter = 0) {
    std::lock_guard lock(mutex_);
    next_ += 4;
    handles_.emplace(next_, Entry{std::move(target), letter});
    return reinterpret_cast<HANDLE>(next_);
  }

  std::shared_ptr<ScsiTarget> Find(HANDLE handle) const {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == handles_.end() ? nullptr : it->second.target;
  }

  char LetterOf(HANDLE handle) const {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == handles_.end() ? 0 : it->second.letter;
  }

  bool Close(HANDLE handle) {
    std::lock_guard lock(mutex_);
    return handles_.erase(reinterpret_cast<std::uintptr_t>(handle)) == 1;
  }

  std::size_t Count() const {
    std::lock_guard lock(mutex_);
    return handles_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::uintptr_t next_ = 0x1000;  // never reused, never the invalid value
  struct Entry {
    std::shared_ptr<ScsiTarget> target;
    char letter;
  };
  std::unordered_map<std::uintptr_t, Entry> handles_;
};

HandleTable& Handles() {
  static HandleTable table;
  return table;
}

ScsiDirection DirectionOf(const SCSI_PASS_THROUGH& header) {
  if (header.DataTransferLength == 0) return ScsiDirection::None;
  return header.DataIn == SCSI_IOCTL_DATA_OUT ? ScsiDirection::Out : ScsiDirection::In;
}

bool HeaderIsSound(const SCSI_PASS_THROUGH& header) {
  return header.Length == sizeof(SCSI_PASS_THROUGH) && header.CdbLength >= 1 && header.CdbLength <= 16;
}

// The sense area the header names inside the output block, when it lies
// after the header and within the block; else none.
void PointSenseArea(const SCSI_PASS_THROUGH& header, void* outBuffer, DWORD outBufferSize, ScsiRequest& request) {
  const std::uint64_t end = std::uint64_t{header.SenseInfoOffset} + header.SenseInfoLength;
  if (outBuffer == nullptr || header.SenseInfoLength == 0 || header.SenseInfoOffset < sizeof(SCSI_PASS_THROUGH) ||
      end > outBufferSize)
    return;
  request.sense = static_cast<UCHAR*>(outBuffer) + header.SenseInfoOffset;
  request.senseLength = header.SenseInfoLength;
}

}  // namespace

void SetDirectDataBuffer(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER& block, void* buffer) {
  const auto address = reinterpret_cast<std::uintptr_t>(buffer);
  block.sptd.DataBufferOffset = static_cast<ULONG>(address & 0xFFFFFFFFu);
  block.Filler = static_cast<ULONG>(static_cast<std::uint64_t>(address) >> 32);
}

void* GetDirectDataBuffer(const SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER& block) {
  const std::uint64_t address = (static_cast<std::uint64_t>(block.Filler) << 32) | block.sptd.DataBufferOffset;
  return reinterpret_cast<void*>(static_cast<std::uintptr_t>(address));
}

HANDLE CreateFileA(const char* fileName, DWORD, DWORD, void*, DWORD creationDisposition, DWORD, HANDLE) {
  if (fileName == nullptr || creationDisposition != OPEN_EXISTING) return INVALID_HANDLE_VALUE;
  const char letter = DriveLetterOfVolumePath(fileName);
  if (letter == 0) return INVALID_HANDLE_VALUE;
  auto volume = Volumes().Lookup(letter);
  if (!volume || !volume->target) return INVALID_HANDLE_VALUE;
  return Handles().Open(std::move(volume->target), letter);
}

HANDLE OpenTargetHandle(std::shared_ptr<ScsiTarget> target) {
  if (!target) return INVALID_HANDLE_VALUE;
  return Handles().Open(std::move(target));
}

BOOL CloseHandle(HANDLE handle) { return Handles().Close(handle) ? 1 : 0; }

char VolumeLetterOf(HANDLE handle) { return Handles().LetterOf(handle); }

std::size_t OpenHandleCount() { return Handles().Count(); }

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inBufferSize, void* outBuffer,
                     DWORD outBufferSize, DWORD* bytesReturned, void*) {
  if (bytesReturned) *bytesReturned = 0;
  if (inBuffer == nullptr || inBufferSize < sizeof(SCSI_PASS_THROUGH)) return 0;
  auto target = Handles().Find(device);
  if (!target) return 0;

  // The device's status goes back in the output block's header (byte 2).
  UCHAR status = SCSI_STATUS_GOOD;
  ScsiRequest request;
  request.scsiStatus = &status;
  if (ioControlCode == IOCTL_SCSI_PASS_THROUGH) {
    // The answer goes into the output block at the header's data offset.
    auto* block = static_cast<std::uint8_t*>(outBuffer ? outBuffer : inBuffer);
    const auto& header = *static_cast<const SCSI_PASS_THROUGH*>(inBuffer);
    if (!HeaderIsSound(header)) return 0;
    const std::uint64_t end = std::uint64_t{header.DataBufferOffset} + header.DataTransferLength;
    if (header.DataTransferLength > 0 && (header.DataBufferOffset < sizeof(SCSI_PASS_THROUGH) || end > outBufferSize))
      return 0;
    request.cdb = header.Cdb;
    request.cdbLength = header.CdbLength;
    request.direction = DirectionOf(header);
    request.data = header.DataTransferLength ? block + header.DataBufferOffset : nullptr;
    request.length = header.DataTransferLength;
    request.timeoutSeconds = header.TimeOutValue;
    PointSenseArea(header, outBuffer, outBufferSize, request);
  } else if (ioControlCode == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
    if (inBufferSize < sizeof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER)) return 0;
    const auto& block = *static_cast<const SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER*>(inBuffer);
    if (!HeaderIsSound(block.sptd)) return 0;
    auto* data = static_cast<std::uint8_t*>(GetDirectDataBuffer(block));
    if (block.sptd.DataTransferLength > 0 && data == nullptr) return 0;
    request.cdb = block.sptd.Cdb;
    request.cdbLength = block.sptd.CdbLength;
    request.direction = DirectionOf(block.sptd);
    request.data = block.sptd.DataTransferLength ? data : nullptr;
    request.length = block.sptd.DataTransferLength;
    request.timeoutSeconds = block.sptd.TimeOutValue;
    PointSenseArea(block.sptd, outBuffer, outBufferSize, request);
  } else {
    return 0;
  }

  if (!target->Execute(request)) return 0;
  if (outBuffer && outBufferSize >= sizeof(SCSI_PASS_THROUGH))
    static_cast<SCSI_PASS_THROUGH*>(outBuffer)->ScsiStatus = status;
  if (bytesReturned) *bytesReturned = outBufferSize;
  return 1;
}

}  // namespace platform
