#include "platform/paths/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "platform/files/open_file.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

std::mutex g_programFolderMutex;
std::string g_programFolder;  // set explicitly; empty: the executable's folder

std::string WithSlash(std::string folder) {
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

std::string ExecutableFolder() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return WithSlash(GetCurrentDir());
  return WithSlash(exe.parent_path().string());
}

}  // namespace

std::string ProgramFolder() {
  {
    std::lock_guard lock(g_programFolderMutex);
    if (!g_programFolder.empty()) return g_programFolder;
  }
  static const std::string exeFolder = ExecutableFolder();
  return exeFolder;
}

void SetProgramFolder(const std::string& folder) {
  std::string value;
  if (!folder.empty()) {
    std::error_code ec;
    fs::path p = fs::absolute(folder, ec);
    value = WithSlash((ec ? fs::path(folder) : p.lexically_normal()).string());
  }
  std::lock_guard lock(g_programFolderMutex);
  g_programFolder = value;
}

bool ApplyHomeOption(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--home" && i + 1 < argc) {
      SetProgramFolder(argv[i + 1]);
      return true;
    }
    if (arg.rfind("--home=", 0) == 0) {
      SetProgramFolder(std::string(arg.substr(7)));
      return true;
    }
  }
  return false;
}

HomeOption ApplyHomeOption(int argc, const char* const* argv, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    std::string folder;
    if (arg == "--home") {
      if (i + 1 < argc) folder = argv[i + 1];
    } else if (arg.rfind("--home=", 0) == 0) {
      folder = std::string(arg.substr(7));
    } else {
      continue;
    }
    if (folder.empty()) {
      error = "--home needs the program folder after it";
      return HomeOption::Invalid;
    }
    if (!DirectoryExists(folder)) {
      error = "--home: \"" + folder + "\" is not an existing folder";
      return HomeOption::Invalid;
    }
    SetProgramFolder(folder);
    return HomeOption::Applied;
  }
  return HomeOption::Absent;
}

std::string ToNativePath(std::string_view name) {
  std::string out(name);
  for (char& c : out)
    if (c == '\\') c = '/';
  while (out.rfind("./", 0) == 0) out.erase(0, 2);
  return out;
}

std::string ProgramPath(std::string_view name) {
  std::string native = ToNativePath(name);
  if (!native.empty() && native[0] == '/') return native;
  return ProgramFolder() + native;
}

bool SetCurrentDir(const std::string& folder) { return !folder.empty() && ::chdir(folder.c_str()) == 0; }

std::string GetCurrentDir() {
  std::error_code ec;
  const fs::path p = fs::current_path(ec);
  return ec ? std::string() : p.string();
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ReadWholeFile(const std::string& path, std::string& bytes, std::string* error) {
  auto fail = [error](int err) {
    if (error) *error = std::strerror(err);
    return false;
  };
  // A folder or a FIFO is refused at once; a FIFO is never waited on.
  const int fd = OpenRegularFile(path, O_RDONLY);
  if (fd < 0) return fail(errno);
  std::string out;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      return fail(err);
    }
    if (n == 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  bytes = std::move(out);
  return true;
}

namespace {

// The file a write lands on: where a symbolic link points, so the link stays.
std::string WriteTarget(const std::string& path) {
  std::error_code ec;
  if (fs::is_symlink(path, ec)) {
    const fs::path resolved = fs::weakly_canonical(path, ec);
    if (!ec) return resolved.string();
  }
  return path;
}

// 0 when 'target' may be replaced; else the reason.
int ReplaceCheck(const std::string& target, struct stat& old, bool& exists) {
  if (target.empty()) return ENOENT;
  exists = ::stat(target.c_str(), &old) == 0;
  if (exists) {
    if (S_ISDIR(old.st_mode)) return EISDIR;
    if (::access(target.c_str(), W_OK) != 0) return errno;
    // Even root must not replace a file that is marked read-only for all.
    if ((old.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return EACCES;
  }
  const fs::path parent = fs::path(target).parent_path();
  const std::string folder = parent.empty() ? std::string(".") : parent.string();
  struct stat dir;
  if (::stat(folder.c_str(), &dir) != 0) return errno;
  if (!S_ISDIR(dir.st_mode)) return ENOTDIR;
  if (::access(folder.c_str(), W_OK | X_OK) != 0) return errno;
  return 0;
}

}  // namespace

bool CanReplaceFile(const std::string& path, std::string* error) {
  struct stat old;
  bool exists = false;
  if (const int err = ReplaceCheck(WriteTarget(path), old, exists)) {
    if (error) *error = std::strerror(err);
    return false;
  }
  return true;
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string* error) {
  auto fail = [&](int err) {
    if (error) *error = std::strerror(err);
    return false;
  };
  const std::string target = WriteTarget(path);
  struct stat old;
  bool exists = false;
  if (const int err = ReplaceCheck(target, old, exists)) return fail(err);

  static std::atomic<unsigned> counter{0};
  const std::string temp =
      target + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return fail(errno);

  int err = 0;
  for (std::size_t done = 0; done < bytes.size() && err == 0;) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno != EINTR) err = errno;
    } else {
      done += static_cast<std::size_t>(n);
    }
  }
  if (err == 0 && exists) {
    if (::fchmod(fd, old.st_mode & 07777) != 0) err = errno;
    if (err == 0 && (old.st_uid != ::geteuid() || old.st_gid != ::getegid()))
      (void)!::fchown(fd, old.st_uid, old.st_gid);  // best effort: only root may give files away
  }
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(temp.c_str(), target.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(temp.c_str());
    return fail(err);
  }
  return true;
}

}  // namespace platform
