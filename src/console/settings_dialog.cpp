#include "console/settings_dialog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace console {

TfrmSetting::TfrmSetting() : TForm("frmSetting") {
  SetCaption("Setting");
  SetBounds(0, 0, 520, 460);
  pgeSetting.SetBounds(0, 0, 520, 410);
  tabDeviceSetting.SetCaption("Device Setting");
  tabFlashSetting.SetCaption("Flash Setting");
  tabSpiSetting.SetCaption("Nor Flash Setting");
  tabFactorSet.SetCaption("Factory Setting");
  chkNonFS.SetCaption("Non FileSystem");
  chkNonFS.SetBounds(16, 16, 160, 17);
  pgeSetting.SetActivePageIndex(0);
}

bool ProbeImageFile(const std::string& path, std::uint64_t& size) {
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (ok) size = static_cast<std::uint64_t>(st.st_size);
  ::close(fd);
  return ok;
}

}  // namespace console
