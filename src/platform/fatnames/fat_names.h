// The rules of names on a FAT volume, one set for every part of the station
// that writes FAT volumes (the drive service's writer and the image builder):
// which long names a volume can hold, when two names are one name to the
// hosts that read the volume, the 8.3 short name a long name gets and its
// "~N" tail, the long-name checksum, and the bytes of a volume label.
//
// Names are UTF-16 as the long-name entries hold them; a short name or a
// label is the 11 bytes of its entry.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace platform::fatnames {

// ---------------------------------------------------------------- case

// Unicode simple case folding of one code point (Unicode 14): 'A' -> 'a',
// U+0100 -> U+0101, U+FF21 -> U+FF41, U+10400 -> U+10428.
char32_t CaseFold(char32_t c);
// The folded text; a surrogate pair folds as one character. Two names are one
// name on the volume when their folds are equal.
std::u16string FoldName(std::u16string_view name);

// ---------------------------------------------------------------- long names

// CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, with or without an extension, in
// any case: names the hosts that read the volume open as devices, not files.
bool IsReservedDeviceName(std::u16string_view name);

// Empty when `name` can be a long name on the volume, else why it cannot:
// 1 to 255 UTF-16 units, no control characters, none of \ / : * ? " < > |,
// not "." or "..", no trailing blank or dot, no reserved device name.
std::string LongNameProblem(std::u16string_view name);
// The same for a UTF-8 name, which must be valid UTF-8; `name16` receives it.
std::string LongNameProblem(std::string_view utf8, std::u16string& name16);
// Empty when one name taken from the host (a file or folder name, one
// component of a host path) can be looked up or made on the volume as one
// name, else why not: it must be UTF-8 text, and must hold no "\", which is
// legal in a host name but separates folders on the volume ("a\b.mp3" would
// become folder "a" and file "b.mp3").
std::string HostNameProblem(std::string_view utf8);

// ---------------------------------------------------------------- short names

// 8 name bytes followed by 3 extension bytes, blank-padded, as an entry holds
// them (a first byte 0xE5 is stored as 0x05 by the writers).
using ShortName = std::array<std::uint8_t, 11>;

// Case flags of a short entry (byte 12): the base or the extension is shown
// in lower case.
constexpr std::uint8_t kLowerCaseBase = 0x08;
constexpr std::uint8_t kLowerCaseExtension = 0x10;

// What a long name's short name is made from. When the long name is an 8.3
// name already (ASCII letters aside), `exact` is set and base and extension
// are that name upper-cased; otherwise they are built from the characters a
// short name may hold (others become '_', blanks and inner dots are dropped,
// the extension is taken after the last dot), to be completed by a tail.
struct ShortNameBasis {
  std::string base;  // 1 to 8 characters
  std::string ext;   // 0 to 3 characters
  bool exact = false;
  // Exact, and each part in one letter case: the case flags below give the
  // long name back, so no long-name entries are needed.
  bool caseKept = false;
  std::uint8_t caseFlags = 0;
};
ShortNameBasis MakeShortNameBasis(std::u16string_view longName);

ShortName ShortNameOf(std::string_view base, std::string_view ext);
// The basis with the tail "~n", the base cut so that both fit in 8 bytes.
ShortName ShortNameWithTail(const ShortNameBasis& basis, std::uint32_t n);
// "NAME.EXT" (or "NAME").
std::string ShortNameText(const ShortName& shortName);
// The name a short name answers to in lookups: "NAME.EXT", a byte a character.
std::u16string ShortNameAsName(const ShortName& shortName);
// The long-name checksum over the 11 bytes as stored.
std::uint8_t LfnChecksum(const ShortName& shortName);

// Gives the long names of one folder their short names: the exact 8.3 form
// when it is free, else the basis with the lowest tail not tried before for
// that basis in this folder and free. `taken` says which short names the
// folder holds. The same names in the same order get the same short names on
// every volume. Empty when no tail up to ~999999 is free.
class ShortNameAllocator {
 public:
  std::optional<ShortName> Choose(std::u16string_view longName,
                                  const std::function<bool(const ShortName&)>& taken);

 private:
  std::unordered_map<std::string, std::uint32_t> nextTail_;
};

// ---------------------------------------------------------------- volume label

// The bytes of the volume label `label` (UTF-8) in the code page `codePage`:
// ASCII letters upper-cased, blanks at the end dropped, at most `maxBytes`
// (longer: cut at a character boundary when `cut`, else refused). Empty text
// for an empty or blank label (no label). Nothing, with `why` set, when the
// label would leave a volume that its readers or the disk check refuse: a
// character the code page lacks, a control character, one of
// * ? . , ; : / \ | + = < > [ ] ", or a leading blank.
enum class LabelLength { kCut, kRefuse };
std::optional<std::string> VolumeLabelBytes(std::string_view label, unsigned codePage, std::size_t maxBytes,
                                            LabelLength longer, std::string* why = nullptr);
// The 11-byte field of a label's bytes, blank-padded.
ShortName VolumeLabelField(std::string_view bytes);
// The label (UTF-8) of a stored field, blanks at the end dropped.
std::string VolumeLabelText(const std::uint8_t* field, unsigned codePage);

// ---------------------------------------------------------------- clashes

// The text that refuses a copy in which `later` would replace `earlier`.
std::string NameClashText(const std::string& later, const std::string& earlier);

}  // namespace platform::fatnames
