// Flash identification: the search for the flash table file of a NAND ID in
// the program's flash folder, the display name from flash.ini, the upload of
// the table and its loading into the worker's configuration block.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "device/commands.h"
#include "platform/files/open_file.h"
#include "platform/ini/ini.h"
#include "platform/paths/paths.h"
#include "production/file_send.h"
#include "production/product_thread.h"

namespace production {

namespace {

constexpr std::size_t kIdOffset = 127;
constexpr std::size_t kNameOffset = 480;
constexpr std::size_t kNameLength = 32;
constexpr std::size_t kMinTableBytes = 128;

// Up to `count` bytes from the start of the file into a zero-filled buffer;
// the number read, or 0 when the file cannot be opened.
std::size_t ReadHead(const std::string& path, std::uint8_t* buffer, std::size_t count) {
  std::memset(buffer, 0, count);
  std::FILE* f = platform::OpenRegularStream(path, "rb");
  if (!f) return 0;
  const std::size_t n = std::fread(buffer, 1, count, f);
  std::fclose(f);
  return n;
}

std::string FlashFolder() { return platform::ProgramFolder() + "flash/"; }

}  // namespace

std::uint64_t ReadCfgFileNandId(int byteCount, const std::string& path) {
  std::uint8_t head[256];
  if (ReadHead(path, head, sizeof head) < kMinTableBytes) return 0;
  const std::uint8_t* id = head + kIdOffset;
  if (byteCount == 5) {
    std::uint64_t v = 0;
    for (int i = 0; i < 5; ++i) v = (v << 8) | id[i];
    return v;
  }
  if (byteCount == 4) {
    const std::uint32_t v = (std::uint32_t{id[0]} << 24) | (std::uint32_t{id[1]} << 16) |
                            (std::uint32_t{id[2]} << 8) | id[3];
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(v)));
  }
  return 0;
}

std::string ReadCfgTypeName(const std::string& path) {
  std::FILE* f = platform::OpenRegularStream(path, "rb");
  if (!f) return "DEFAULT";
  char name[kNameLength + 1] = {};
  if (std::fseek(f, kNameOffset, SEEK_SET) == 0) std::fread(name, 1, kNameLength, f);
  std::fclose(f);
  const std::string text(name, strnlen(name, kNameLength));
  return text.empty() ? "DEFAULT" : text;
}

bool SendFlashTableFile(HANDLE h, const std::string& path) {
  return SendFileInPieces(path, [h](std::uint8_t* piece, std::uint32_t n) {
    return SendKept(h, "flash table", [&](device::Refusal* r) { return device::cmd_bWriteFlashTable(h, piece, n, r); });
  });
}

std::string ProductThread::FindFlashType(std::uint32_t idLow, std::uint32_t maker, int chipCount) {
  const std::string folder = FlashFolder();
  const std::uint64_t deviceId = (std::uint64_t{maker & 0xFF} << 32) | idLow;
  std::string result = "0";
  bool nearFound = false;
  // A device that reports no chip has nothing a table could describe.
  if (chipCount >= 1) {
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (name.empty() || name[0] == '.' || it->is_directory(ec)) continue;
      std::string ext = it->path().extension().string();
      std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char ch) { return std::tolower(ch); });
      if (ext != ".txt") continue;
      const std::uint64_t fileId = ReadCfgFileNandId(5, folder + name);
      platform::ui::Application->ProcessMessages();
      if (fileId != 0 && fileId == deviceId) {
        result = name;
        break;
      }
      // ID bytes 1 to 4 equal but for bit 7 of byte 4; byte 5 ignored.
      if (!nearFound && (fileId >> 8) != 0 && ((fileId >> 8) & 0xFFFFFF7F) == ((deviceId >> 8) & 0xFFFFFF7F)) {
        result = name;
        nearFound = true;
      }
    }
  }
  std::string name = result.empty() ? "DEFAULT" : result;

  platform::TIniFile ini(folder + "flash.ini");
  const std::string exact = ini.ReadString(name, std::to_string(chipCount), "");
  if (!exact.empty()) {
    FlashTypeName = exact;
  } else {
    const std::string single = ini.ReadString(name, "1", "");
    FlashTypeName = single.empty() ? "DEFAULT" : single + " x " + std::to_string(chipCount);
  }
  return name;
}

bool ProductThread::LoadCfgFile(const std::string& path) {
  std::uint8_t table[kCfgBlockSize];
  if (ReadHead(path, table, sizeof table) < kMinTableBytes) return false;
  // Geometry that would not fit the bitmaps or that no controller has is
  // refused before it sizes anything.
  const int pageShift = table[84];
  const int blockShift = table[85];
  const int chipShift = table[90];
  const int eccMode = table[96];
  if (pageShift < 9 || pageShift > 13 || blockShift < pageShift + 5 || blockShift > pageShift + 8 || chipShift > 16 ||
      eccMode > 7 || ChipCount < 1)
    return false;
  const int pageSize = 1 << pageShift;
  const int pagesPerBlock = 1 << (blockShift - pageShift);
  int blocksPerChip = 1 << chipShift;

  const int overrideBlocks = RegReadInt("BlocksPerChip", 0);
  if (overrideBlocks != 0) {
    if (overrideBlocks < 1 || overrideBlocks > 65536) return false;
    blocksPerChip = overrideBlocks;
  }
  if (static_cast<std::int64_t>(blocksPerChip) * ChipCount > 65536) return false;

  std::memcpy(CfgArea.data(), table, sizeof table);
  BlocksPerChipOverride = overrideBlocks != 0;
  BlocksPerChip = blocksPerChip;
  PageSize = pageSize;
  PagesPerBlock = pagesPerBlock;
  SectorUnit = ((table[64] & 1) + 1) * 512;
  EccMode = eccMode;
  static constexpr int kEccBitsOfMode[8] = {6, 10, 12, 13, 14, 16, 17, 24};
  EccBits = kEccBitsOfMode[eccMode];
  const int eccLevel = Window.CurrentSettings().iEccLevel;
  EccThreshold = eccLevel != 0 ? eccLevel - 1 : 2;
  return true;
}

}  // namespace production
