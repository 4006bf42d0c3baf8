// A real device behind Linux SCSI generic pass-through (SG_IO on its node).
#pragma once

#include <scsi/sg.h>

#include <functional>
#include <string>

#include "platform/scsi/scsi.h"

namespace platform {

class SgIoTarget : public ScsiTarget {
 public:
  // The ioctl seam: tests replace it to see the header that would be sent.
  using Ioctl = std::function<int(int fd, sg_io_hdr_t* header)>;

  explicit SgIoTarget(const std::string& node);
  SgIoTarget(int fd, Ioctl ioctl);  // takes no ownership of fd
  ~SgIoTarget() override;
  SgIoTarget(const SgIoTarget&) = delete;
  SgIoTarget& operator=(const SgIoTarget&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  bool Execute(const ScsiRequest& request) override;

  // Builds the SG_IO header for one request (sense buffer supplied by the caller).
  static sg_io_hdr_t BuildHeader(const ScsiRequest& request, unsigned char* sense, unsigned char senseLength);

 private:
  int fd_ = -1;
  bool ownsFd_ = false;
  Ioctl ioctl_;
};

}  // namespace platform
