#include "production/file_send.h"

#include <cstdio>
#include <memory>

#include "platform/files/open_file.h"

namespace production {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

bool SendFileInPieces(const std::string& path, const std::function<bool(std::uint8_t*, std::uint32_t)>& send) {
  File f(platform::OpenRegularStream(path, "rb"));
  if (!f) return false;
  std::uint8_t buffer[kPieceSize];
  while (!std::feof(f.get())) {
    const std::size_t n = std::fread(buffer, 1, sizeof buffer, f.get());
    if (std::ferror(f.get())) return false;
    if (!send(buffer, static_cast<std::uint32_t>(n))) return false;
  }
  return true;
}

std::optional<std::uint64_t> FileSize(const std::string& path) {
  File f(platform::OpenRegularStream(path, "rb"));
  if (!f || std::fseek(f.get(), 0, SEEK_END) != 0) return std::nullopt;
  const long long end = ftello(f.get());
  if (end < 0) return std::nullopt;
  return static_cast<std::uint64_t>(end);
}

}  // namespace production
