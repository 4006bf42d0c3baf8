// Devices with SPI flash only: the operator's music files written into the
// SPI flash behind their 8 KiB headers, and the SPI flash read back into a
// file, compared with the program and prefer images, or saved whole.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>

#include "device/commands.h"
#include "platform/clock/clock.h"
#include "platform/files/open_file.h"
#include "platform/paths/paths.h"
#include "production/file_send.h"
#include "production/product_thread.h"

namespace production {

namespace {

constexpr std::uint64_t k64K = 65536;
constexpr std::uint32_t kUnit = 256;             // bytes of one SPI read unit
constexpr std::uint32_t kUnitsPerRead = 8;       // 2048 bytes a request
constexpr std::uint64_t kSpiLimit = 16ull << 20; // the read command addresses 65536 units
constexpr std::uint32_t kSpiHeader = 8192;

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File Open(const std::string& path, const char* mode) { return File(platform::OpenRegularStream(path, mode)); }

std::optional<std::uint64_t> SizeOf(std::FILE* f) {
  struct stat st {};
  if (!f || ::fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

std::uint64_t RoundUp64K(std::uint64_t n) { return (n + k64K - 1) / k64K * k64K; }

std::string LowerExtension(const std::string& path) {
  std::string ext = std::filesystem::path(path).extension().string();
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return ext;
}

// Reads `length` bytes of SPI flash from unit 0 into `out`, 2048 bytes a
// request (the last request may run past `length`, as the device reads whole
// requests).
bool ReadSpi(HANDLE h, std::uint64_t length, std::FILE* out) {
  std::uint8_t buffer[kUnit * kUnitsPerRead];
  for (std::uint64_t unit = 0; unit < length / kUnit; unit += kUnitsPerRead) {
    if (!device::cmd_bSpiRead(h, static_cast<std::uint32_t>(unit), kUnitsPerRead, buffer)) return false;
    if (std::fwrite(buffer, 1, sizeof buffer, out) != sizeof buffer) return false;
  }
  return std::fflush(out) == 0;
}

// Whether `n` bytes of `a` from offset `atA` equal those of `b` from `atB`;
// a file too short for the range does not match.
bool SameBytes(std::FILE* a, std::uint64_t atA, std::FILE* b, std::uint64_t atB, std::uint64_t n) {
  if (std::fseek(a, static_cast<long>(atA), SEEK_SET) != 0 || std::fseek(b, static_cast<long>(atB), SEEK_SET) != 0)
    return false;
  std::vector<std::uint8_t> x(65536), y(65536);
  while (n > 0) {
    const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(n, x.size()));
    if (std::fread(x.data(), 1, step, a) != step || std::fread(y.data(), 1, step, b) != step) return false;
    if (!std::equal(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(step), y.begin())) return false;
    n -= step;
  }
  return true;
}

}  // namespace

bool ProductThread::WriteSpiMusicFiles() {
  const std::vector<std::string> files = Window.SpiFlashFiles();
  for (std::size_t i = 0; i < files.size(); ++i) {
    platform::Sleep(100);
    const std::string row = Msg("SPI hidden files write ");
    ShowStatus(row + " " + std::to_string(i));
    const std::string ext = LowerExtension(files[i]);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(files[i], ec) || (ext != ".wma" && ext != ".mp3")) continue;
    auto fail = [&](platform::ui::TColor colour = platform::ui::clWindowText) {
      ShowStatus(row + Ui("FailMsg"), colour);
      return false;
    };
    File in = Open(files[i], "rb");
    const auto size = SizeOf(in.get());
    if (!in || !size || *size > std::numeric_limits<std::uint32_t>::max() - 2048u) return fail();
    if (!device::cmd_bWriteSetup(hDevice, static_cast<std::uint32_t>(*size + 2048))) return fail();
    std::vector<std::uint8_t> piece(kSpiHeader, 0);
    std::copy_n("Q401", 4, piece.begin());
    piece[4] = static_cast<std::uint8_t>((ext == ".wma" ? 0xC0 : 0x80) | ((i + 3) & 63));
    for (int b = 0; b < 4; ++b) piece[5 + b] = static_cast<std::uint8_t>(*size >> (24 - 8 * b));
    const auto send = [this](std::uint8_t* data, std::uint32_t n) {
      return SendKept(hDevice, "SPI music data",
                      [&](device::Refusal* r) { return device::cmd_bWriteData(hDevice, data, n, r); });
    };
    // The file in pieces of 8192 bytes; one of 0 bytes ends a file whose size
    // is a multiple of 8192, or an empty one.
    if (!send(piece.data(), kSpiHeader) || !SendStreamInPieces(in.get(), kSpiHeader, send)) return fail();
    in.reset();
    if (!WriteEnd(hDevice)) return fail(platform::ui::clRed);
  }
  return true;
}

bool ProductThread::DumpSpiFirmware(const std::string& outputPath) {
  File out = Open(platform::ProgramPath(outputPath), "wb");
  if (!out) return ShowFailure("Open file fail!"), false;
  File program = Open(ProgramPath, "rb");
  const auto programSize = SizeOf(program.get());
  if (!programSize) return ShowFailure("Open file fail!"), false;
  program.reset();
  const std::uint64_t length = RoundUp64K(*programSize) + 2 * k64K;
  if (length > kSpiLimit || !ReadSpi(hDevice, length, out.get())) return ShowFailure(Msg("SPI read error!")), false;
  return std::fclose(out.release()) == 0;
}

bool ProductThread::DumpSpiProgramPrefer(const std::string& programPath, const std::string& readbackName,
                                         const std::string& preferPath) {
  std::error_code ec;
  std::filesystem::create_directories(platform::ProgramPath("log"), ec);
  File out = Open(platform::ProgramPath("log\\" + readbackName), "wb");
  if (!out) return ShowFailure("Open file fail!"), false;
  File program = Open(programPath, "rb");
  const auto programSize = SizeOf(program.get());
  if (!programSize) return ShowFailure("Open program file fail!"), false;
  File prefer = Open(preferPath, "rb");
  const auto preferSize = SizeOf(prefer.get());
  if (!preferSize) return ShowFailure("Open perfer file fail!"), false;
  const std::uint64_t length = RoundUp64K(*programSize) + k64K + *preferSize;
  if (length > kSpiLimit || !ReadSpi(hDevice, length, out.get())) return ShowFailure(Msg("SPI read error!")), false;
  return std::fclose(out.release()) == 0;
}

bool ProductThread::CompareSpiReadback(const std::string& programPath, const std::string& readbackName,
                                       const std::string& preferPath) {
  File readback = Open(platform::ProgramPath("log\\" + readbackName), "rb");
  File program = Open(programPath, "rb");
  File prefer = Open(preferPath, "rb");
  const auto programSize = SizeOf(program.get());
  bool same = readback && programSize && prefer;
  if (same) {
    const std::uint64_t preferAt = RoundUp64K(*programSize) + k64K;
    same = SameBytes(program.get(), 0, readback.get(), 0, 4) &&
           (*programSize <= k64K || SameBytes(program.get(), 2048, readback.get(), k64K, *programSize - k64K)) &&
           SameBytes(prefer.get(), 2048, readback.get(), preferAt, 2048);
  }
  if (!same) ShowFailure(Msg("Check Data ") + Ui("FailMsg"));
  return same;
}

}  // namespace production
