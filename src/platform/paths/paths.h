// The program's folder, Windows-style names resolved on this system, the
// current folder, and whole-file writes that never leave a half-written file.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// The program's folder with a trailing '/': the folder set by SetProgramFolder
// (for example from "--home DIR"), else the folder of the running executable.
std::string ProgramFolder();
// Sets the program folder (made absolute); an empty text goes back to the
// executable's folder.
void SetProgramFolder(const std::string& folder);
// Applies "--home DIR" or "--home=DIR" from the command line when present;
// returns true when one was found.
bool ApplyHomeOption(int argc, const char* const* argv);

// The same, checked: "--home" without a folder, or naming something that is
// not an existing folder, is Invalid (nothing applied) with the reason in
// 'error'.
enum class HomeOption { Absent, Applied, Invalid };
HomeOption ApplyHomeOption(int argc, const char* const* argv, std::string& error);

// A Windows-style name on this system: every '\' becomes '/' and a leading
// ".\" is dropped ("log\1.txt" -> "log/1.txt", ".\misc\PASS.IMG" ->
// "misc/PASS.IMG"). Relative names stay relative to the current folder.
std::string ToNativePath(std::string_view name);

// A Windows-style name resolved against the program folder
// ("misc\prefer.ini" -> "<program folder>/misc/prefer.ini"). An absolute
// name ("/...") is returned as it stands.
std::string ProgramPath(std::string_view name);

// The current folder; SetCurrentDir returns false when it cannot be entered.
bool SetCurrentDir(const std::string& folder);
std::string GetCurrentDir();

bool FileExists(const std::string& path);       // a file (not a folder)
bool DirectoryExists(const std::string& path);  // a folder

// Replaces (or creates) 'path' with 'bytes': written to a temporary file in
// the same folder, flushed to disk and renamed over the target, so that the
// target holds the old content or the new one, never a part. A symbolic link
// is followed; an existing file keeps its permissions. Fails, leaving the
// target as it was, when the folder is missing or not writable or the
// existing file is read-only. On failure returns false and, when 'error' is
// given, the system's reason.
bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string* error = nullptr);

// Whether WriteFileAtomically would be allowed to replace (or create) 'path'.
bool CanReplaceFile(const std::string& path, std::string* error = nullptr);

// The whole file; false when it cannot be opened or read, with the system's
// reason in 'error' when given.
bool ReadWholeFile(const std::string& path, std::string& bytes, std::string* error = nullptr);

}  // namespace platform
