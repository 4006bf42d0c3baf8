// The FAT name rules every writer of a volume follows: case folding, long
// names, short names with their tails, the checksum and the label's bytes.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "platform/codepage/codepage.h"
#include "platform/fatnames/fat_names.h"

using namespace platform::fatnames;

namespace {

TEST(FatNames, CaseFoldingIsUnicodeSimpleFolding) {
  const struct {
    char32_t in, out;
  } cases[] = {
      {U'A', U'a'},           {U'Z', U'z'},           {U'z', U'z'},           {U'[', U'['},
      {U'\u00C0', U'\u00E0'},  // Latin-1
      {U'\u0100', U'\u0101'},  // Latin Extended-A, every second code point
      {U'\u0101', U'\u0101'},  {U'\u03A3', U'\u03C3'}, {U'\u03C2', U'\u03C3'},  // final sigma
      {U'\u0401', U'\u0451'},  // Cyrillic
      {U'\u1E9E', U'\u00DF'},  // capital sharp s: simple folding only
      {U'\u0130', U'\u0130'},  // dotted capital I has no simple folding
      {U'\u212A', U'k'},       // Kelvin sign
      {U'\uFF21', U'\uFF41'},  // full-width
      {U'\U00010400', U'\U00010428'},  // beyond the 16-bit range
      {U'\u4E2D', U'\u4E2D'},
  };
  for (const auto& c : cases) EXPECT_EQ(CaseFold(c.in), c.out) << std::hex << static_cast<unsigned>(c.in);
  EXPECT_EQ(FoldName(u"Song.MP3 \U00010400\u0100"), u"song.mp3 \U00010428\u0101") << "a surrogate pair folds whole";
}

TEST(FatNames, LongNamesTheVolumeCanHold) {
  const struct {
    std::string name;  // UTF-8 bytes
    bool valid;
  } cases[] = {
      {"Long File Name.txt", true}, {"a", true}, {"..hidden", true}, {"\u97f3\u4e50.mp3", true},
      {std::string(255, 'x'), true}, {"COM0", true}, {"CONSOLE", true}, {"xCON", true}, {"NULL.txt", true},
      {"", false}, {std::string(256, 'x'), false}, {".", false}, {"..", false}, {"a:b", false},
      {"what?.mp3", false}, {"a*b", false}, {"a\\b", false}, {"a/b", false}, {"a|b", false}, {"a\"b", false},
      {"a<b", false}, {"trailing.", false}, {"trailing ", false}, {"tab\t", false}, {"del\x7f", false},
      {"CON", false}, {"con.txt.bak", false}, {"Lpt1", false}, {"COM9.x", false}, {"aux .txt", false},
      {"bad\xFF", false}, {"cut\xE9\x9F", false},
  };
  for (const auto& c : cases) {
    std::u16string name16;
    EXPECT_EQ(LongNameProblem(c.name, name16).empty(), c.valid) << c.name;
  }
}

// A host name is one name on the volume: a "\" in it (legal on the host) is
// refused with the reason, never taken for a folder, as text that is not UTF-8 is.
TEST(FatNames, HostNamesAreOneNameOnTheVolume) {
  const struct {
    const char* name;
    const char* problem;  // a part of the reason; nullptr: accepted
  } cases[] = {{"a\\b.mp3", "\"\\\""}, {"\\", "\"\\\""}, {"trailing\\", "separates folders"},
               {"bad\xFF", "UTF-8"}, {"a b.mp3", nullptr}, {"\u97f3\u4e50.mp3", nullptr}, {"what?.mp3", nullptr}};
  for (const auto& c : cases) {
    const std::string problem = HostNameProblem(c.name);
    if (c.problem == nullptr) {
      EXPECT_EQ(problem, "") << c.name;
      continue;
    }
    EXPECT_NE(problem.find(c.problem), std::string::npos) << c.name << ": " << problem;
    std::u16string name16;
    EXPECT_EQ(LongNameProblem(c.name, name16), problem) << "both rules say the same of " << c.name;
  }
}

TEST(FatNames, ShortNamesInOneFolderAreUniqueAndFollowTheirOrder) {
  struct Case {
    const char* what;
    std::vector<std::u16string> names;  // in the order they are added to one folder
    std::vector<std::string> shorts;    // ShortNameText of each
  } cases[] = {
      {"exact names keep themselves", {u"readme.txt", u"README", u"a.b", u"ReadMe2.Txt"},
       {"README.TXT", "README", "A.B", "README2.TXT"}},
      {"letter case alone never makes a second name", {u"SONG.MP3", u"Song.mp3", u"song.mp3"},
       {"SONG.MP3", "SONG~1.MP3", "SONG~2.MP3"}},
      {"long names get tails, the base cut to fit them",
       {u"Long File Name.txt", u"Long File Name 2.txt", u"longfi~1.txt"},
       {"LONGFI~1.TXT", "LONGFI~2.TXT", "LONGFI~3.TXT"}},
      {"lossy: blanks, leading and inner dots dropped, others become _",
       {u"..a b.c.tar.gz", u"\u97f3\u4e50.mp3", u"\U00010400x.txt", u"a+b.jpeg", u"...."},
       {"ABCTAR~1.GZ", "__~1.MP3", "_X~1.TXT", "A_B~1.JPE", "_~1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ShortNameAllocator allocator;
    std::set<ShortName> folder;
    std::vector<std::string> got;
    for (const std::u16string& name : c.names) {
      const auto chosen = allocator.Choose(name, [&](const ShortName& s) { return folder.contains(s); });
      ASSERT_TRUE(chosen);
      folder.insert(*chosen);
      got.push_back(ShortNameText(*chosen));
    }
    EXPECT_EQ(got, c.shorts);
  }
  // Tails past 9 keep less of the base; the thousandth name still finds one.
  ShortNameAllocator allocator;
  std::set<ShortName> folder;
  std::vector<std::string> got;
  for (int i = 0; i < 1000; ++i) {
    const auto chosen = allocator.Choose(u"Same prefix " + std::u16string(1, u'a' + i % 26) + u".mp3",
                                         [&](const ShortName& s) { return folder.contains(s); });
    ASSERT_TRUE(chosen);
    ASSERT_TRUE(folder.insert(*chosen).second);
    got.push_back(ShortNameText(*chosen));
  }
  EXPECT_EQ(got[0], "SAMEPR~1.MP3");
  EXPECT_EQ(got[9], "SAMEP~10.MP3");
  EXPECT_EQ(got[999], "SAM~1000.MP3");
}

TEST(FatNames, VolumeLabelBytesInTheCodePage) {
  const struct {
    const char* label;
    unsigned codePage;
    std::size_t maxBytes;
    std::optional<std::string> bytes;  // nothing: refused
    LabelLength longer = LabelLength::kCut;
  } cases[] = {
      {"Pass wd", 1252, 8, "PASS WD"},
      {"", 1252, 8, ""},
      {"   ", 1252, 8, ""},
      {"TRAILING   ", 1252, 11, "TRAILING"},
      {"ELEVENCHARS", 1252, 11, "ELEVENCHARS"},
      {"TWELVE CHARS", 1252, 8, "TWELVE C"},
      {"\u97f3\u4e50", 936, 8, "\xD2\xF4\xC0\xD6"},
      {"\u97f3\u6a02", 950, 8, "\xAD\xB5\xBC\xD6"},
      {"\u97f3\u4e50\u97f3\u4e50\u97f3", 936, 8, "\xD2\xF4\xC0\xD6\xD2\xF4\xC0\xD6"},
      {"ab\u97f3\u4e50\u97f3", 936, 7, "AB\xD2\xF4\xC0\xD6"},  // cut before a character that no longer fits
      {"\u00e9t\u00e9", 1252, 8, "\xE9T\xE9"},  // only ASCII letters change case
      {"$%'-_@~`!(){}^#&", 1252, 16, "$%'-_@~`!(){}^#&"},
      {"\u97f3\u4e50", 1252, 8, std::nullopt},  // not in the code page
      {"\u00df", 936, 8, std::nullopt},
      {" LEAD", 1252, 8, std::nullopt},
      {"A\tB", 1252, 8, std::nullopt},
      {"A\x7F", 1252, 8, std::nullopt},
      {"\xFF", 1252, 8, std::nullopt},
      {"TOO LONG*", 1252, 4, std::nullopt},  // refused though the sign lies past the cut
      {"TWELVE CHARS", 1252, 11, std::nullopt, LabelLength::kRefuse},
      {"\u97f3\u4e50", 936, 4, "\xD2\xF4\xC0\xD6", LabelLength::kRefuse},
  };
  for (const auto& c : cases) {
    std::string why;
    EXPECT_EQ(VolumeLabelBytes(c.label, c.codePage, c.maxBytes, c.longer, &why), c.bytes) << c.label;
    EXPECT_EQ(why.empty(), c.bytes.has_value()) << c.label;
  }
  std::string why;
  EXPECT_FALSE(VolumeLabelBytes("AB\U0001F600", 936, 8, LabelLength::kCut, &why));
  EXPECT_NE(why.find("'\U0001F600'"), std::string::npos) << "the character shown whole: " << why;
  for (const char sign : std::string("*?.,;:/\\|+=<>[]\"")) {
    std::string why;
    EXPECT_FALSE(VolumeLabelBytes(std::string("A") + sign + "B", 1252, 11, LabelLength::kRefuse, &why)) << sign;
    EXPECT_NE(why.find(std::string("'") + sign + "'"), std::string::npos) << why;
  }
}

TEST(FatNames, VolumeLabelFieldAndTextRoundTrip) {
  const ShortName field = VolumeLabelField("\xE5\xE7");  // 彗 in GBK: its first byte is the deleted mark
  EXPECT_EQ(std::string(field.begin(), field.end()), "\xE5\xE7         ");
  ShortName stored = field;
  stored[0] = 0x05;  // as an entry holds it
  EXPECT_EQ(VolumeLabelText(stored.data(), 936), "\u5f57");
  EXPECT_EQ(VolumeLabelText(VolumeLabelField("PASS WD").data(), 936), "PASS WD");
  EXPECT_EQ(VolumeLabelText(VolumeLabelField("\xD2\xF4\xC0\xD6").data(), 936), "\u97f3\u4e50");
}

}  // namespace
