#include "console/file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace console {

namespace {

// Copies `from` into the open descriptor `to`; false on any read or write error.
bool CopyInto(const std::string& from, int to) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return errno == ENOENT;  // no old file: start empty
  std::vector<char> buffer(64 * 1024);
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) { ok = false; break; }
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(to, buffer.data() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) { ok = false; break; }
      done += w;
    }
    if (!ok) break;
  }
  ::close(in);
  return ok;
}

}  // namespace

FileReplacement::FileReplacement(std::string target, bool startFromCurrent) : target_(std::move(target)) {
  temp_ = target_ + ".tmp-XXXXXX";
  std::vector<char> name(temp_.begin(), temp_.end());
  name.push_back('\0');
  int fd = ::mkstemp(name.data());
  if (fd < 0) {
    temp_.clear();
    return;
  }
  temp_ = name.data();
  // Keep the old file's permission bits; a new file gets the usual ones.
  struct stat st {};
  mode_t mode = 0644;
  if (::stat(target_.c_str(), &st) == 0) mode = st.st_mode & 07777;
  ::fchmod(fd, mode);
  ok_ = !startFromCurrent || CopyInto(target_, fd);
  if (::close(fd) != 0) ok_ = false;
}

FileReplacement::~FileReplacement() {
  if (!committed_ && !temp_.empty()) ::unlink(temp_.c_str());
}

bool FileReplacement::Commit() {
  if (!ok_ || committed_) return committed_;
  int fd = ::open(temp_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
  if (std::rename(temp_.c_str(), target_.c_str()) != 0) return false;
  committed_ = true;
  return true;
}

}  // namespace console
