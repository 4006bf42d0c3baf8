// Text tables for the engineers who tune a flash type, in the log folder
// beside the program; each file carries the slot index in its name.
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <mutex>

#include "platform/files/open_file.h"
#include "platform/paths/paths.h"
#include "production/product_thread.h"

namespace production {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::string LogFolder() { return platform::ProgramFolder() + "log"; }

// Opens log/<name> for rewriting ("w") or appending ("a"), creating the log
// folder when it is missing.
File OpenLog(const std::string& name, const char* mode) {
  const std::string folder = LogFolder();
  ::mkdir(folder.c_str(), 0777);
  return File(platform::OpenRegularStream(folder + "/" + name, mode));
}

}  // namespace

bool RewriteLogFile(const std::string& name, const std::string& text) {
  static std::mutex sharedLogs;
  std::lock_guard lock(sharedLogs);
  const std::string folder = LogFolder();
  ::mkdir(folder.c_str(), 0777);
  return platform::WriteFileAtomically(folder + "/" + name, text);
}

bool ProductThread::WriteBadBlockLog(const std::string& fileName) {
  File f = OpenLog(fileName, "w");
  if (!f) return false;
  std::fprintf(f.get(), "======================Flash Type: %s========================\n", FlashTypeName.c_str());
  std::fprintf(f.get(), "==================bad block list ecc detail==========================\n");
  int listed = 0;
  for (std::size_t i = 0; i < BlockStatus.size(); ++i) {
    if (BlockStatus[i] == 255) continue;
    std::fprintf(f.get(), "%04d(%X)  ", static_cast<int>(i), BlockStatus[i]);
    if (++listed % 8 == 0) std::fprintf(f.get(), "\n");
  }
  std::fprintf(f.get(), "\n\n%s\n", std::string(69, '=').c_str());
  std::fprintf(f.get(), "Total blocks: %d \n", ChipCount * BlocksPerChip);
  std::fprintf(f.get(), "Total bad bind blocks: %d \n", listed);
  BadCount = listed;
  return true;
}

void ProductThread::WritePageTableLog(const std::string& fileName) {
  File f = OpenLog(fileName, "w");
  if (!f) return;
  std::fprintf(f.get(), "====Flash Type: %s==========================\n", FlashTypeName.c_str());
  std::fprintf(f.get(), "=========page table ========\n");
  int valid = 0;
  for (int p = 0; p < PagesPerBlock && p < static_cast<int>(kAreaSize); ++p) {
    if (p > 0 && p % 8 == 0) std::fprintf(f.get(), "\n");
    std::fprintf(f.get(), "0x%02X ", PageUsable[p]);
    if (PageUsable[p] == 255) ++valid;
  }
  std::fprintf(f.get(), "\nValid Page  %d", valid);
}

void ProductThread::WriteEccTableLog(const std::string& fileName) {
  File f = OpenLog(fileName, "w");
  if (!f) return;
  std::fprintf(f.get(), "====Flash Type: %s==========================\n", FlashTypeName.c_str());
  std::fprintf(f.get(), "=========page ECC table ========\n");
  const std::size_t pages = PagesPerBlock > 0 ? static_cast<std::size_t>(PagesPerBlock) : 0;
  for (int r = 0; r < BlocksPerChip; ++r) {
    std::fprintf(f.get(), "%04d: ", r);
    const std::size_t start = static_cast<std::size_t>(r) * pages;
    for (std::size_t p = 0; p < pages && start + p < PageResults.size(); ++p)
      std::fprintf(f.get(), "%02X ", PageResults[start + p]);
    std::fprintf(f.get(), "\n");
  }
}

bool ProductThread::WriteModeEccLog(bool first, int slotIndex, int mode, std::uint32_t block,
                                    const std::uint8_t* results, int pages) {
  const bool header = mode != LastLoggedPageMode;
  LastLoggedPageMode = mode;
  char name[64];
  std::snprintf(name, sizeof name, "%d_ModeEcc.txt", slotIndex);
  File f = OpenLog(name, first ? "w" : "a");
  if (!f) return false;
  if (header) {
    const std::string modeName = mode >= 0 && mode <= 7 ? PageModeName(mode) : std::to_string(mode);
    std::fprintf(f.get(), "Mode %s\n%s\n", modeName.c_str(), std::string(44, '=').c_str());
  }
  std::fprintf(f.get(), "%04u:", block);
  for (int p = 0; p < pages; ++p) std::fprintf(f.get(), " %02X", results[p]);
  std::fprintf(f.get(), "\n");
  return true;
}

}  // namespace production
