#include "production/file_send.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "platform/files/open_file.h"
#include "production/product_thread.h"

namespace production {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

bool SendFileInPieces(const std::string& path, const PieceSender& send) {
  File f(platform::OpenRegularStream(path, "rb"));
  return f && SendStreamInPieces(f.get(), kPieceSize, send);
}

bool SendStreamInPieces(std::FILE* stream, std::uint32_t pieceSize, const PieceSender& send) {
  std::vector<std::uint8_t> buffer(pieceSize);
  // End of file is asked before each read, so the last piece may be empty.
  while (!std::feof(stream)) {
    const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), stream);
    if (std::ferror(stream)) return false;
    if (!send(buffer.data(), static_cast<std::uint32_t>(n))) return false;
  }
  return true;
}

bool SendKept(device::HANDLE h, const char* what, const std::function<device::BOOL(device::Refusal*)>& send) {
  device::Refusal refusal;
  if (send(&refusal)) return true;
  if (refusal.refused) {
    const char letter = platform::VolumeLetterOf(h);
    AppendLogLine(std::string(1, letter ? letter : '?') + ": " + what + " refused by the device: " +
                  device::DescribeRefusal(refusal));
  }
  return false;
}

std::optional<std::uint64_t> FileSize(const std::string& path) {
  File f(platform::OpenRegularStream(path, "rb"));
  if (!f || std::fseek(f.get(), 0, SEEK_END) != 0) return std::nullopt;
  const long long end = ftello(f.get());
  if (end < 0) return std::nullopt;
  return static_cast<std::uint64_t>(end);
}

}  // namespace production
