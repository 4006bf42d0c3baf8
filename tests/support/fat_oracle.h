// Checks of FAT volumes with tools nobody here wrote: fsck.fat -n for the
// structure, mtools (no user configuration read) for the names and bytes.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace testing_support {

inline std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs a shell command with its output to /dev/null (or to 'output');
// returns its exit status.
inline int Shell(const std::string& command, const std::string& output = "/dev/null") {
  const std::string env = "MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null ";
  const int rc = std::system((env + command + " >" + Quote(output) + " 2>&1").c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// Writes `size` bytes of a pattern seeded by `seed`, making the folders.
inline void WritePattern(const std::filesystem::path& p, std::size_t size, unsigned seed) {
  std::filesystem::create_directories(p.parent_path());
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed * 7 + i / 509) & 0xFF);
  std::ofstream(p, std::ios::binary) << bytes;
}

inline bool FsckClean(const std::string& image) { return Shell("fsck.fat -n " + Quote(image)) == 0; }

inline std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Every regular file under 'root' as relative path -> bytes.
inline std::map<std::string, std::string> Tree(const std::filesystem::path& root) {
  std::map<std::string, std::string> out;
  for (auto it = std::filesystem::recursive_directory_iterator(root); it != decltype(it){}; ++it)
    if (it->is_regular_file()) out[std::filesystem::relative(it->path(), root).string()] = ReadFile(it->path());
  return out;
}

// The volume's whole tree copied out with mcopy -s into 'into' (made fresh).
inline std::map<std::string, std::string> VolumeTree(const std::string& image, const std::filesystem::path& into) {
  std::filesystem::remove_all(into);
  std::filesystem::create_directories(into);
  Shell("mcopy -s -n -i " + Quote(image) + " '::/*' " + Quote(into.string()));
  return Tree(into);
}

}  // namespace testing_support
