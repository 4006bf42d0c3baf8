// Names on a FAT volume: UTF-8/UTF-16 conversion, long-name checks and case
// folding, 8.3 short names and their checksum, and the "\" path helpers.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace imagebuilder {

// 8 name bytes followed by 3 extension bytes, blank-padded, as stored in an entry.
using ShortName = std::array<std::uint8_t, 11>;

// Strict UTF-8 to UTF-16 (surrogate pairs for characters above U+FFFF); false
// for malformed input.
bool Utf8ToUtf16(std::string_view in, std::u16string& out);
std::string Utf16ToUtf8(std::u16string_view in);

// Case folding used to compare long names: FAT names are case-insensitive to
// the hosts that read them, so names compare by Unicode simple case folding
// (surrogate pairs fold whole).
std::u16string FoldName(std::u16string_view name);

// Device names the hosts reading the volume cannot open as files: CON, PRN,
// AUX, NUL, COM1-COM9, LPT1-LPT9, with or without an extension, in any case.
bool IsReservedDeviceName(std::u16string_view name);

// Empty when `name` can be a long name on the volume, else why it cannot:
// 1 to 255 UTF-16 units, no control characters, none of \ / : * ? " < > |,
// not "." or "..", no trailing blank or dot, no reserved device name.
std::string LongNameProblem(std::u16string_view name);

// Splits an 8.3 name ("readme.txt") into the blank-padded name and extension,
// upper-casing a-z. False when it is no 8.3 name: a base of more than 8 or an
// extension of more than 3 characters, or an empty base.
bool FatMakeShortName(std::string_view ansiName, ShortName& shortName);

// The long-name checksum over the 11 bytes of the short entry as stored.
std::uint8_t FatLfnChecksum(const ShortName& shortName);

// The short name a long name maps to before uniqueness is settled: the
// upper-cased 8.3 form when the long name already is one (`exact`), else a
// base (up to 8 characters) and extension (up to 3) built from the allowed
// characters, to which a numeric tail "~N" is added.
struct ShortNameBasis {
  std::string base;
  std::string ext;
  bool exact = false;
};
ShortNameBasis MakeShortNameBasis(std::u16string_view longName);
// The basis with tail ~n: the base cut so that base + "~n" fits in 8 bytes.
ShortName ShortNameWithTail(const ShortNameBasis& basis, std::uint32_t n);
ShortName ShortNameOf(std::string_view base, std::string_view ext);
// "NAME.EXT" (or "NAME") for messages and for entries without a long name.
std::string ShortNameText(const ShortName& shortName);

// 1-based position of the first "\", 0 when there is none.
std::size_t FindPathSeparator(std::string_view path);
std::size_t FindPathSeparatorW(std::u16string_view path);
// The text before the first "\" after an optional leading "\".
std::string FirstPathComponent(std::string_view path);
std::u16string FirstPathComponentW(std::u16string_view path);

}  // namespace imagebuilder
