// Names on the image builder's volume: the station's FAT name rules
// (platform/fatnames), and the builder's own helpers for the host's 8.3 names
// and for "\" paths.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/fatnames/fat_names.h"

namespace imagebuilder {

using platform::fatnames::FoldName;
using platform::fatnames::LongNameProblem;
using platform::fatnames::ShortName;
using platform::fatnames::ShortNameAsName;
using platform::fatnames::ShortNameOf;
using platform::fatnames::ShortNameText;

inline std::uint8_t FatLfnChecksum(const ShortName& shortName) { return platform::fatnames::LfnChecksum(shortName); }

// Splits an 8.3 name ("readme.txt") into the blank-padded name and extension,
// upper-casing a-z. False when it is no 8.3 name: a base of more than 8 or an
// extension of more than 3 characters, or an empty base.
bool FatMakeShortName(std::string_view ansiName, ShortName& shortName);

// 1-based position of the first "\", 0 when there is none.
std::size_t FindPathSeparator(std::string_view path);
std::size_t FindPathSeparatorW(std::u16string_view path);
// The text before the first "\" after an optional leading "\".
std::string FirstPathComponent(std::string_view path);
std::u16string FirstPathComponentW(std::u16string_view path);

}  // namespace imagebuilder
