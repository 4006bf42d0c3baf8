#include "platform/instance/instance.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/paths/paths.h"

namespace platform {

namespace {

std::mutex g_lockFolderMutex;
std::string g_lockFolder;

int OpenRetrying(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The lock needs no write access: a lock file that another account created
// in a shared folder is opened read-only, so it still guards.
int OpenLockFile(const std::string& path) {
  const int fd = OpenRetrying(path, O_RDWR | O_CREAT | O_CLOEXEC);
  if (fd >= 0 || (errno != EACCES && errno != EPERM && errno != EROFS)) return fd;
  return OpenRetrying(path, O_RDONLY | O_CLOEXEC);
}

}  // namespace

void SetInstanceLockFolder(const std::string& folder) {
  std::lock_guard lock(g_lockFolderMutex);
  g_lockFolder = folder;
}

std::string InstanceLockFolder() {
  {
    std::lock_guard lock(g_lockFolderMutex);
    if (!g_lockFolder.empty()) return g_lockFolder;
  }
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime && DirectoryExists(runtime)) return runtime;
  return "/tmp";
}

std::string InstanceLockFileName(const std::string& name) {
  std::string out;
  bool changed = name.empty();
  for (std::size_t i = 0; i < name.size() && out.size() < 160; ++i) {
    const char c = name[i];
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                      c == '_' || (c == '.' && i > 0);
    out += keep ? c : '_';
    changed = changed || !keep;
  }
  changed = changed || out.size() < name.size();
  if (changed) {
    std::uint32_t h = 2166136261u;  // FNV-1a
    for (unsigned char c : name) h = (h ^ c) * 16777619u;
    char hex[16];
    std::snprintf(hex, sizeof hex, "-%08x", h);
    out += hex;
  }
  return "station-" + out + ".lock";
}

InstanceLock::InstanceLock(std::string name) : name_(std::move(name)) {}

InstanceLock::~InstanceLock() { Release(); }

std::string InstanceLock::Path() const { return InstanceLockFolder() + "/" + InstanceLockFileName(name_); }

bool InstanceLock::Acquire() { return TryAcquire() == InstanceLockState::Acquired; }

InstanceLockState InstanceLock::TryAcquire() {
  std::lock_guard lock(mutex_);
  if (fd_ >= 0) return InstanceLockState::Acquired;
  const std::string folder = InstanceLockFolder();
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  const int fd = OpenLockFile(folder + "/" + InstanceLockFileName(name_));
  if (fd < 0) return InstanceLockState::Unavailable;
  int r;
  do {
    r = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (r != 0 && errno == EINTR);
  if (r != 0) {
    const int error = errno;
    ::close(fd);
    return error == EWOULDBLOCK ? InstanceLockState::HeldByAnother : InstanceLockState::Unavailable;
  }
  fd_ = fd;
  return InstanceLockState::Acquired;
}

void InstanceLock::Release() {
  std::lock_guard lock(mutex_);
  if (fd_ < 0) return;
  ::flock(fd_, LOCK_UN);
  ::close(fd_);  // the file stays: removing it would race with a new holder
  fd_ = -1;
}

bool InstanceLock::Held() const {
  std::lock_guard lock(mutex_);
  return fd_ >= 0;
}

bool InstanceLock::WriteNote(const std::string& note) {
  std::lock_guard lock(mutex_);
  if (fd_ < 0) return false;
  const std::string text = std::to_string(::getpid()) + "\n" + note;
  if (::ftruncate(fd_, 0) != 0) return false;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::pwrite(fd_, text.data() + done, text.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string InstanceLock::HolderNote() const {
  std::string text;
  if (!ReadWholeFile(Path(), text)) return "";
  const std::size_t newline = text.find('\n');
  if (newline == std::string::npos || newline == 0) return "";
  long pid = 0;
  for (std::size_t i = 0; i < newline; ++i) {
    if (text[i] < '0' || text[i] > '9' || pid > 1 << 24) return "";  // no process id
    pid = pid * 10 + (text[i] - '0');
  }
  // A process of another account still counts as there.
  if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)) return "";
  return text.substr(newline + 1);
}

}  // namespace platform
