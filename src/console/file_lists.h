// The three path lists the operator keeps between runs: the pre-copy list of
// the main window, the hidden-disk list and the SPI list. Each lives in its
// own list file (UTF-16LE with a byte-order mark, CR LF after every line).
#pragma once

#include <string>
#include <vector>

namespace console {

// A pre-copy path longer than this many UTF-16 characters draws a warning.
inline constexpr std::size_t kMaxListPathLength = 128;

// Whether a listed path still names something the station can use: an
// existing folder, or a regular file that opens for reading.
bool ListEntryUsable(const std::string& path);

// Reads the list file `fileName` (a Windows-style name, resolved against the
// current folder) into `entries` and drops, from the last entry to the first,
// every entry that is no longer usable. A missing file leaves `entries` as
// they were. A file that exists but cannot be read leaves them too and raises
// EFOpenError "Cannot open file "<path>". <reason>".
void LoadFileList(const std::string& fileName, std::vector<std::string>& entries);

// Writes the list whole, replacing the file; throws EFCreateError (the old
// file kept) when it cannot be written.
void SaveFileList(const std::string& path, const std::vector<std::string>& entries);

// The number of UTF-16 characters of a UTF-8 path.
std::size_t WidePathLength(const std::string& path);

}  // namespace console
