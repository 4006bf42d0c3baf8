// List files: one line per entry, kept as UTF-16 little-endian text.
//
// Written: the byte-order mark FF FE, then every line followed by CR LF
// (0D 00 0A 00), the last one too. Read: FF FE gives UTF-16 little-endian,
// FE FF UTF-16 big-endian, EF BB BF UTF-8; a file with no mark is read as UTF-8
// when it is well-formed UTF-8 and otherwise as 8-bit text in the system's
// ANSI code page (GetACP). A line ends at CR, LF or CR LF; a U+2028 right after
// such an end is skipped with it, and U+2028 alone also ends a line. The text
// ends at the first NUL character; a final line without a line end counts; an
// odd last byte of UTF-16 is dropped; an unpaired surrogate becomes U+FFFD.
// Lines are UTF-8 inside the program.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/convert/exception.h"

namespace platform {

std::string EncodeListText(const std::vector<std::string>& lines);
std::vector<std::string> DecodeListText(std::string_view bytes);

// Reads the file into 'lines' (replacing them); false, with 'lines' left as
// they were and the system's reason in 'error' when given, when the file
// cannot be opened or read.
bool LoadListFile(const std::string& path, std::vector<std::string>& lines, std::string* error = nullptr);

// Writes the file whole (temporary file and rename). When it cannot be
// written the old file stays and EFCreateError is thrown with
// "Cannot create file "<path>". <reason>".
void SaveListFile(const std::string& path, const std::vector<std::string>& lines);

}  // namespace platform
