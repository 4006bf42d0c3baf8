#include "platform/scsi/sg_io_target.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace platform {

namespace {
int SystemIoctl(int fd, sg_io_hdr_t* header) { return ::ioctl(fd, SG_IO, header); }

// driver_status flag that only says sense data came back (with CHECK CONDITION).
constexpr unsigned kDriverSense = 0x08;
}  // namespace

SgIoTarget::SgIoTarget(const std::string& node)
    : fd_(::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)), ownsFd_(true), ioctl_(SystemIoctl) {}

SgIoTarget::SgIoTarget(int fd, Ioctl ioctl) : fd_(fd), ownsFd_(false), ioctl_(std::move(ioctl)) {}

SgIoTarget::~SgIoTarget() {
  if (ownsFd_ && fd_ >= 0) ::close(fd_);
}

sg_io_hdr_t SgIoTarget::BuildHeader(const ScsiRequest& request, unsigned char* sense, unsigned char senseLength) {
  sg_io_hdr_t header;
  std::memset(&header, 0, sizeof header);
  header.interface_id = 'S';
  // A transfer of length 0 goes as a command without data, whatever its direction.
  if (request.length == 0 || request.direction == ScsiDirection::None) {
    header.dxfer_direction = SG_DXFER_NONE;
  } else {
    header.dxfer_direction = request.direction == ScsiDirection::In ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
    header.dxfer_len = request.length;
    header.dxferp = request.data;
  }
  header.cmd_len = request.cdbLength;
  header.cmdp = const_cast<unsigned char*>(request.cdb);
  header.mx_sb_len = senseLength;  // handed back to the caller's sense area
  header.sbp = sense;
  header.timeout = request.timeoutSeconds * 1000u;
  return header;
}

bool SgIoTarget::Execute(const ScsiRequest& request) {
  if (fd_ < 0 || request.cdb == nullptr || request.cdbLength == 0 || request.cdbLength > 16) return false;
  unsigned char sense[32] = {};
  sg_io_hdr_t header = BuildHeader(request, sense, sizeof sense);
  if (ioctl_(fd_, &header) < 0) return false;
  // Carried out when host and driver report nothing; the device's own status
  // (CHECK CONDITION included) is the device's answer, not a failed call.
  if (header.host_status != 0 || (header.driver_status & ~kDriverSense) != 0) return false;
  if (request.scsiStatus) {
    // Sense data that came back with no status byte still means CHECK CONDITION.
    const bool sensed = (header.driver_status & kDriverSense) != 0 && header.sb_len_wr > 0;
    *request.scsiStatus = header.status != 0 || !sensed ? header.status : SCSI_STATUS_CHECK_CONDITION;
  }
  if (request.sense && header.sb_len_wr > 0)
    std::memcpy(request.sense, sense, std::min<std::size_t>({header.sb_len_wr, sizeof sense, request.senseLength}));
  return true;
}

}  // namespace platform
