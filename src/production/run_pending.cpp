// Temporary stand-ins for stage operations whose own modules are not in this
// branch yet (block scans, disk split, SPI devices, drive operations), so that
// the run links and runs end to end. Each goes when its module arrives.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "device/commands.h"
#include "platform/clock/clock.h"
#include "platform/drive/drive.h"
#include "platform/paths/paths.h"
#include "platform/process/process.h"
#include "production/product_thread.h"
#include "production/scan_page.h"

namespace production {

namespace {

constexpr std::uint32_t kFastRegionPages = 49024;

bool ReadCapacity(char letter, std::uint32_t& lastLba, std::uint32_t& blockLength) {
  const std::string path = std::string(device::kVolumePathPrefix) + letter + ":";
  HANDLE h = platform::CreateFileA(path.c_str(), platform::GENERIC_READ | platform::GENERIC_WRITE,
                                   platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, nullptr,
                                   platform::OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = device::cmd_bReadCapacity(h, &lastLba, &blockLength) != 0;
  platform::CloseHandle(h);
  return ok && lastLba != 0 && blockLength != 0;
}

bool RunDiskTool(const std::vector<std::string>& argv, int maxWaits) {
  platform::ProcessOptions options;
  options.argv = argv;
  options.outputFile = "/dev/null";
  platform::PollPolicy policy;
  policy.maxWaits = maxWaits;
  const platform::ProcessResult r = platform::RunProcess(options, policy);
  return r.status == platform::ProcessStatus::Exited && r.exitCode == 0;
}

std::uint64_t SizeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

std::uint64_t RoundUp64K(std::uint64_t n) { return (n + 65535) / 65536 * 65536; }

bool ReadSpiInto(HANDLE h, std::uint64_t length, std::FILE* out) {
  std::uint8_t buffer[2048];
  for (std::uint32_t unit = 0; unit < length / 256; unit += 8) {
    if (!device::cmd_bSpiRead(h, unit, 8, buffer)) return false;
    std::fwrite(buffer, 1, sizeof buffer, out);
  }
  return true;
}

}  // namespace

// ---- block scans ----

bool ProductThread::EraseScan(int progressStart, int progressEnd) {
  SyncGaugeProgress(progressStart);
  const int n = static_cast<int>(BlockStatus.size());
  int bad = 0;
  bool goodSeen = false;
  for (int b = 0; b < n; ++b) {
    BlockStatus[b] = 255;
    if (device::cmd_bEraseBlock(hDevice, b, 1)) {
      goodSeen = true;
    } else {
      BlockStatus[b] = 0;
      ++bad;
    }
    if (!BlocksPerChipOverride && !goodSeen && static_cast<std::uint32_t>(b * PagesPerBlock) > kFastRegionPages) {
      ShowFailure(Msg("Too many bad block"));
      return false;
    }
    if (b % 5 == 0) {
      SyncGaugeProgress(progressStart + (progressEnd - progressStart) * b / n);
      ShowStatus(Ui("RealBlankingCheckStr") + " " + std::to_string(b) + "/" + std::to_string(n) + " " + Msg("Bad") +
                 ": " + std::to_string(bad));
    }
  }
  BadCount = bad;
  return true;
}

bool ProductThread::FlashBlockScan(int progressStart, int progressEnd) {
  SyncGaugeProgress(progressStart);
  const std::uint32_t n = static_cast<std::uint32_t>(BlockStatus.size());
  constexpr std::uint32_t kChunk = 256;
  std::uint8_t results[kChunk];
  int bad = 0;
  for (std::uint32_t b = 0; b < n; b += kChunk) {
    const std::uint32_t count = std::min(kChunk, n - b);
    std::memset(results, 0, sizeof results);
    device::cmd_bBlockTest(hDevice, b, count, 0, 0, 0, 0, static_cast<std::uint8_t>(EccThreshold), results, 0, count);
    for (std::uint32_t i = 0; i < count; ++i) {
      BlockStatus[b + i] = BlocksPerChipOverride ? 255 : results[i];
      if (BlockStatus[b + i] != 255) ++bad;
    }
    SyncGaugeProgress(progressStart + static_cast<int>((progressEnd - progressStart) * std::int64_t{b} / n));
    ShowStatus(Ui("RealBlankingCheckStr") + " " + std::to_string(b) + "/" + std::to_string(n) + " " + Msg("Bad") +
               ": " + std::to_string(bad));
  }
  BadCount = bad;
  return true;
}

int ProductThread::DetectPageMode() { return 6; }

// ---- disk split ----

bool ChangeToHiddenDisk(HANDLE h) { return device::cmd_bChangeToHiddenDisk(h) != 0; }

bool StopDeviceUnit(HANDLE h) { return device::cmd_bStopUnit(h) != 0; }

bool ProductThread::WriteHiddenFiles(int, int) {
  std::vector<std::uint8_t> header(512, 0);
  std::memcpy(header.data(), "ZOQQ471K5206", 12);
  std::uint32_t lastLba = 0, sector = 0;
  if (!device::cmd_bReadCapacity(hDevice, &lastLba, &sector) || lastLba == 0 || sector == 0) return false;
  header.resize(std::max<std::size_t>(sector, 512), 0);
  std::vector<std::uint8_t> buffer(sector);
  std::uint32_t next = 1;
  const std::vector<std::string> files = Window.HiddenDiskFiles();
  for (std::uint32_t i = 0; i < files.size() && i < 31; ++i) {
    std::ifstream in(files[i], std::ios::binary);
    if (!in) continue;
    const std::uint32_t size = static_cast<std::uint32_t>(SizeOf(files[i]));
    const std::uint32_t row[3] = {i, next, size};
    for (int k = 0; k < 3; ++k)
      for (int j = 0; j < 4; ++j) header[16 + 16 * i + 4 * k + j] = static_cast<std::uint8_t>(row[k] >> (8 * j));
    for (std::uint32_t left = size; left > 0;) {
      std::fill(buffer.begin(), buffer.end(), 0);
      const std::uint32_t n = std::min(left, sector);
      in.read(reinterpret_cast<char*>(buffer.data()), n);
      if (!device::cmd_bWrite10(hDevice, buffer.data(), sector, next++, 1)) return false;
      left -= n;
    }
  }
  return device::cmd_bWrite10(hDevice, header.data(), sector, 0, 1) != 0;
}

std::uint64_t ProductThread::GetImageFileSize(const std::string& imagePath) {
  struct stat st {};
  ImageSize = ::stat(imagePath.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size)
                                                                         : ~std::uint64_t{0};
  return ImageSize;
}

bool ProductThread::WriteImageFile(char, const std::string& imagePath, int gaugeStart, int gaugeEnd) {
  if (Gauge && OwnsSlot()) Gauge->SetProgress(gaugeStart);
  std::ifstream in(imagePath, std::ios::binary);
  if (!in) return false;
  std::uint8_t head[16] = {};
  in.read(reinterpret_cast<char*>(head), sizeof head);
  const int sectorSize = head[11] + 256 * head[12];
  if (!((sectorSize == 512 && SectorUnit == 512) || (sectorSize == 1024 && SectorUnit == 1024))) return false;
  const std::uint32_t perWrite = 32768 / static_cast<std::uint32_t>(sectorSize);
  const std::uint64_t pieces = ImageSize / 32768;
  in.clear();
  in.seekg(0);
  std::vector<std::uint8_t> buffer(32768);
  for (std::uint64_t k = 0; k <= pieces; ++k) {
    std::fill(buffer.begin(), buffer.end(), 0);
    in.read(reinterpret_cast<char*>(buffer.data()), 32768);
    if (!device::cmd_bWrite10(hDevice, buffer.data(), sectorSize, static_cast<std::uint32_t>(k * perWrite), perWrite))
      return false;
    ShowFailure("iSectorUsed:" + std::to_string(k));
    if (Gauge && OwnsSlot() && pieces > 0)
      Gauge->SetProgress(gaugeStart + static_cast<int>((gaugeEnd - gaugeStart) * k / pieces));
  }
  return true;
}

// ---- SPI flash devices ----

bool ProductThread::WriteSpiMusicFiles() {
  const std::vector<std::string> files = Window.SpiFlashFiles();
  const std::string row = Msg("SPI hidden files write ");
  for (std::size_t i = 0; i < files.size(); ++i) {
    platform::Sleep(100);
    ShowStatus(row + " " + std::to_string(i));
    std::string ext = std::filesystem::path(files[i]).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    if (SizeOf(files[i]) == 0 && !std::filesystem::exists(files[i])) continue;
    if (ext != ".wma" && ext != ".mp3") continue;
    std::ifstream in(files[i], std::ios::binary);
    const std::uint32_t size = static_cast<std::uint32_t>(SizeOf(files[i]));
    std::vector<std::uint8_t> piece(8192, 0);
    std::memcpy(piece.data(), "Q401", 4);
    piece[4] = static_cast<std::uint8_t>((ext == ".wma" ? 0xC0 : 0x80) | ((i + 3) & 63));
    for (int j = 0; j < 4; ++j) piece[5 + j] = static_cast<std::uint8_t>(size >> (24 - 8 * j));
    if (!in || !device::cmd_bWriteSetup(hDevice, size + 2048) || !device::cmd_bWriteData(hDevice, piece.data(), 8192)) {
      ShowStatus(row + Ui("FailMsg"));
      return false;
    }
    while (in) {
      in.read(reinterpret_cast<char*>(piece.data()), 8192);
      const auto n = static_cast<std::uint32_t>(in.gcount());
      if (n == 0) break;
      if (!device::cmd_bWriteData(hDevice, piece.data(), n)) {
        ShowStatus(row + Ui("FailMsg"));
        return false;
      }
    }
    if (!WriteEnd(hDevice)) {
      ShowFailure(row + Ui("FailMsg"));
      return false;
    }
  }
  return true;
}

bool ProductThread::DumpSpiProgramPrefer(const std::string& programPath, const std::string& readbackName,
                                         const std::string& preferPath) {
  const std::string folder = platform::ProgramFolder() + "log";
  std::filesystem::create_directories(folder);
  std::FILE* out = std::fopen((folder + "/" + readbackName).c_str(), "wb");
  if (!out) {
    ShowStatus("Open file fail!");
    return false;
  }
  const std::uint64_t length = RoundUp64K(SizeOf(programPath)) + 65536 + SizeOf(preferPath);
  const bool ok = ReadSpiInto(hDevice, length, out);
  std::fclose(out);
  if (!ok) ShowStatus(Msg("SPI read error!"));
  return ok;
}

bool ProductThread::CompareSpiReadback(const std::string& programPath, const std::string& readbackName,
                                       const std::string& preferPath) {
  auto load = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
  };
  const auto readback = load(platform::ProgramFolder() + "log/" + readbackName);
  const auto program = load(programPath);
  const auto prefer = load(preferPath);
  auto same = [&](const std::vector<std::uint8_t>& file, std::size_t from, std::size_t at, std::size_t n) {
    if (from + n > file.size() || at + n > readback.size()) return false;
    return std::equal(file.begin() + from, file.begin() + from + n, readback.begin() + at);
  };
  const std::size_t p = RoundUp64K(program.size()) + 65536;
  const std::size_t programRest = program.size() > 65536 ? program.size() - 65536 : 0;
  const bool ok = same(program, 0, 0, 4) && same(program, 2048, 65536, programRest) && same(prefer, 2048, p, 2048);
  if (!ok) ShowFailure(Msg("Check Data ") + Ui("FailMsg"));
  return ok;
}

bool ProductThread::DumpSpiFirmware(const std::string& outputPath) {
  std::FILE* out = std::fopen(outputPath.c_str(), "wb");
  if (!out) {
    ShowStatus("Open file fail!");
    return false;
  }
  const bool ok = ReadSpiInto(hDevice, RoundUp64K(SizeOf(ProgramPath)) + 131072, out);
  std::fclose(out);
  if (!ok) ShowStatus(Msg("SPI read error!"));
  return ok;
}

// ---- the drive's file system ----

int GetFatFlag(char driveLetter) {
  std::uint32_t lastLba = 0, blockLength = 0;
  if (!ReadCapacity(driveLetter, lastLba, blockLength)) return 0;
  const std::uint64_t mb = std::uint64_t{lastLba} * blockLength / (1 << 20);
  if (mb > 0 && mb < 128 && blockLength >= 2048) return 255;
  return mb < 513 ? 0 : 1;
}

bool FormatDrive(char driveLetter, bool quick, int fatFlag, const std::string&) {
  std::uint32_t lastLba = 0, blockLength = 0;
  const std::string node = platform::DriveNode(driveLetter);
  if (node.empty() || !ReadCapacity(driveLetter, lastLba, blockLength)) return false;
  return RunDiskTool(platform::FormatCommand(node, fatFlag, quick, blockLength), 241);
}

bool SetDriveLabel(char driveLetter, const std::string& label) {
  const std::string root = std::string(1, driveLetter) + ":\\";
  return platform::SetVolumeLabelA(root.c_str(), label.c_str()) != 0;
}

std::string GetDriveLabel(char driveLetter) {
  const std::string root = std::string(1, driveLetter) + ":\\";
  char name[256] = {};
  if (!platform::GetVolumeInformationA(root.c_str(), name, 255, nullptr, nullptr, nullptr, nullptr, 0)) return "";
  return name;
}

bool CheckDiskDrive(char driveLetter) {
  const std::string node = platform::DriveNode(driveLetter);
  return !node.empty() && RunDiskTool(platform::CheckCommand(node), 30);
}

bool WideCopyFile(const std::string& source, const std::string& target, bool failIfExists) {
  return platform::CopyFileToDrive(source, target, failIfExists);
}

bool CopyDirTree(const std::string& sourceFolder, const std::string& targetFolder) {
  std::string source = sourceFolder;
  while (source.size() > 1 && (source.back() == '/' || source.back() == '\\')) source.pop_back();
  std::string target = targetFolder;
  if (target.empty() || (target.back() != '\\' && target.back() != '/')) target += "\\";
  target += std::filesystem::path(source).filename().string();
  const auto drivePath = platform::ParseDrivePath(target);
  if (!drivePath) return false;
  platform::DriveSession session;
  if (!session.Open(drivePath->letter)) return false;
  if (!session.FolderExists(drivePath->path) && !session.MakeFolder(drivePath->path)) return false;
  std::vector<std::string> files, folders;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(source, ec)) {
    const std::string name = e.path().filename().string();
    if (name.empty() || name[0] == '.') continue;
    (e.is_directory() ? folders : files).push_back(name);
  }
  std::sort(files.begin(), files.end());
  std::sort(folders.begin(), folders.end());
  for (const auto& f : files)
    if (!session.CopyFile(source + "/" + f, drivePath->path + "/" + f, false)) return false;
  if (!session.Close()) return false;
  for (const auto& f : folders)
    if (!CopyDirTree(source + "/" + f, target)) return false;
  return true;
}

}  // namespace production
