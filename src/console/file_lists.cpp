#include "console/file_lists.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "console/firmware_files.h"
#include "console/main_window.h"
#include "console/message_table.h"
#include "console/ui_strings.h"
#include "platform/codepage/codepage.h"
#include "platform/paths/paths.h"
#include "platform/textfile/textfile.h"

namespace console {

bool ListEntryUsable(const std::string& path) {
  if (path.empty()) return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  if (S_ISDIR(st.st_mode)) return true;
  if (!S_ISREG(st.st_mode)) return false;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

void LoadFileList(const std::string& fileName, std::vector<std::string>& entries) {
  std::string native = platform::ToNativePath(fileName);
  if (!platform::FileExists(native)) return;
  std::string reason;
  if (!platform::LoadListFile(native, entries, &reason)) {
    std::error_code ec;
    const std::string shown = std::filesystem::absolute(native, ec).string();
    throw platform::EFOpenError("Cannot open file \"" + (ec ? native : shown) + "\". " + reason);
  }
  std::erase_if(entries, [](const std::string& entry) { return !ListEntryUsable(entry); });
}

void SaveFileList(const std::string& path, const std::vector<std::string>& entries) {
  platform::SaveListFile(path, entries);
}

std::size_t WidePathLength(const std::string& path) { return platform::Utf8ToUtf16(path).size(); }

void TForm1::AddFilesBtnClick(TObject*) {
  const std::string folder = platform::GetCurrentDir();

  TntOpenDialog1.Title = SelectFileStr;
  TntOpenDialog1.Filter = "All files (*.*)|*";
  TntOpenDialog1.Options = ofAllowMultiSelect | ofHideReadOnly | ofEnableSizing;
  if (TntOpenDialog1.Execute()) {
    std::vector<std::string> tooLong;
    for (const std::string& file : TntOpenDialog1.Files) {
      TntSelectFileList2.Items.Add(file);
      if (WidePathLength(file) > kMaxListPathLength) tooLong.push_back(file);
    }
    if (!tooLong.empty()) {
      const int lang = LanguageIndex;
      std::string text = console::MessageText(43, lang);
      for (const std::string& file : tooLong) text += "\n" + file;
      Application->MessageBox(text, console::MessageText(27, lang), MB_ICONERROR);
    }
  }

  ReadCapacityMultiplier(*this);
  FirmwareId = GetFirmwareId(*this);
  RefreshFileList(*this);
  platform::SetCurrentDir(folder);
}

void TForm1::RemoveBtnClick(TObject*) {
  TntSelectFileList2.DeleteSelected();
  RefreshFileList(*this);
}

void TForm1::btnAddDirClick(TObject*) {
  std::string path, displayName;
  if (!BrowseForFolder("", path, displayName, "Select Directory")) return;
  TntSelectFileList2.Items.Add(path);
  RegWriteString(kStationKey, "AddDir", path);
}

}  // namespace console
