// Test helpers for image files: read a container, extract a slot into a raw
// volume file, run fsck.fat and mtools on it, and compare file trees.
#pragma once

#include <stdlib.h>
#include <sys/wait.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <iterator>
#include <string>
#include <vector>

namespace oracle {

namespace fs = std::filesystem;

inline std::uint32_t Le16(const std::uint8_t* p) { return p[0] | (std::uint32_t{p[1]} << 8); }
inline std::uint32_t Le32(const std::uint8_t* p) { return Le16(p) | (Le16(p + 2) << 16); }
inline std::uint32_t Le32(const std::string& s, std::size_t at) {
  return Le32(reinterpret_cast<const std::uint8_t*>(s.data()) + at);
}

// A fresh temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/imagebuilder-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Deterministic content of a given size.
inline std::string Pattern(std::size_t size, unsigned seed) {
  std::string s(size, '\0');
  std::uint32_t x = seed * 2654435761u + 12345u;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return s;
}

struct Slot {
  std::uint32_t sectorSize = 0, dataOffset = 0, records = 0;
};
struct Container {
  std::uint32_t sizeMiB = 0;
  std::array<Slot, 2> slots{};
  std::string bytes;  // the whole file
};

inline std::optional<Container> ReadContainer(const std::string& path) {
  Container c;
  c.bytes = ReadFile(path);
  if (c.bytes.size() < 512) return std::nullopt;
  c.sizeMiB = Le32(c.bytes, 12);
  for (int s = 0; s < 2; ++s)
    c.slots[s] = {Le32(c.bytes, 16 + 16 * s), Le32(c.bytes, 20 + 16 * s), Le32(c.bytes, 24 + 16 * s)};
  return c;
}

// The records of one slot: LBA -> sector.
inline std::map<std::uint32_t, std::string> SlotRecords(const Container& c, int slot) {
  std::map<std::uint32_t, std::string> records;
  const Slot& s = c.slots[slot];
  for (std::size_t i = 0, at = s.dataOffset; i < s.records && at + 4 + s.sectorSize <= c.bytes.size();
       ++i, at += 4 + s.sectorSize)
    records[Le32(c.bytes, at)] = c.bytes.substr(at + 4, s.sectorSize);
  return records;
}

// Writes slot `slot` of a container as a raw volume: every record at its LBA,
// the rest zeros (sparse), sized by the boot sector's total sector count.
inline bool ExtractSlot(const std::string& containerPath, int slot, const std::string& rawPath) {
  const auto c = ReadContainer(containerPath);
  if (!c) return false;
  const auto records = SlotRecords(*c, slot);
  const auto boot = records.find(0);
  if (boot == records.end()) return false;
  const auto* b = reinterpret_cast<const std::uint8_t*>(boot->second.data());
  const std::uint64_t total = Le16(b + 19) != 0 ? Le16(b + 19) : Le32(b + 32);
  std::ofstream(rawPath, std::ios::binary | std::ios::trunc).flush();
  std::error_code ec;
  fs::resize_file(rawPath, total * c->slots[slot].sectorSize, ec);
  std::fstream out(rawPath, std::ios::binary | std::ios::in | std::ios::out);
  for (const auto& [lba, sector] : records)
    out.seekp(static_cast<std::streamoff>(std::uint64_t{lba} * sector.size()))
        .write(sector.data(), static_cast<std::streamsize>(sector.size()));
  return !ec && out.flush().good();
}

struct CommandResult {
  int exitCode = -1;
  std::string output;  // standard output and error
};

inline CommandResult Run(const std::string& command) {
  ::setenv("MTOOLS_SKIP_CHECK", "1", 1);
  CommandResult result;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  const int status = ::pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

inline std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Extracts a slot to rawPath and runs fsck.fat -n on it (exit code -1 when the slot cannot be extracted).
inline CommandResult ExtractAndFsck(const std::string& containerPath, int slot, const std::string& rawPath) {
  if (!ExtractSlot(containerPath, slot, rawPath)) return {-1, "slot " + std::to_string(slot) + " not extracted"};
  return Run("fsck.fat -n " + Quote(rawPath));
}

// What fsck.fat -n reported beyond its version line and its summary.
inline std::vector<std::string> FsckFindings(const std::string& output) {
  std::vector<std::string> findings;
  std::size_t at = 0;
  for (std::size_t end; (end = output.find('\n', at)) != std::string::npos || at < output.size(); at = end + 1) {
    if (end == std::string::npos) end = output.size();
    const std::string line = output.substr(at, end - at);
    if (line.empty() || line.starts_with("fsck.fat ") || line == "Leaving filesystem unchanged." ||
        line.find(" files, ") != std::string::npos)
      continue;
    findings.push_back(line);
  }
  return findings;
}

// Copies every file of a raw volume out with mcopy: relative path -> content.
inline std::map<std::string, std::string> VolumeFiles(const std::string& raw, const std::string& outDir,
                                                      std::string* log = nullptr) {
  fs::create_directories(outDir);
  const CommandResult r = Run("mcopy -s -n -m -i " + Quote(raw) + " '::*' " + Quote(outDir + "/"));
  if (log != nullptr) *log = r.output + "(exit " + std::to_string(r.exitCode) + ")";
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(outDir))
    if (entry.is_regular_file()) files[fs::relative(entry.path(), outDir).string()] = ReadFile(entry.path().string());
  return files;
}

}  // namespace oracle
