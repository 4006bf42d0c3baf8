#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "support/temp_dir.h"
#include "platform/locale/locale.h"
#include "platform/paths/paths.h"
#include "platform/textfile/textfile.h"

using namespace platform;
using testing::StartsWith;
using testing::ThrowsMessage;
using testing_support::TempDir;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

// "中" U+4E2D, "文" U+6587, and U+1F600 (a surrogate pair in UTF-16).
const std::string kZhong = "\xE4\xB8\xAD";
const std::string kWen = "\xE6\x96\x87";
const std::string kSmile = "\xF0\x9F\x98\x80";

}  // namespace

TEST(ListText, WritesMarkAndCrLfAfterEveryLine) {
  EXPECT_EQ(EncodeListText({}), Bytes({0xFF, 0xFE}));
  EXPECT_EQ(EncodeListText({"C:\\a", ""}),
            Bytes({0xFF, 0xFE, 'C', 0, ':', 0, '\\', 0, 'a', 0, 0x0D, 0, 0x0A, 0, 0x0D, 0, 0x0A, 0}));
  EXPECT_EQ(EncodeListText({kZhong + kSmile}),
            Bytes({0xFF, 0xFE, 0x2D, 0x4E, 0x3D, 0xD8, 0x00, 0xDE, 0x0D, 0, 0x0A, 0}));
}

TEST(ListText, ReadsEveryMarkBackToTheSameLines) {
  const Lines lines = {"/home/op/fw.bin", kZhong + kWen + "/" + kSmile, "", "last"};
  EXPECT_EQ(DecodeListText(EncodeListText(lines)), lines);

  // The same lines as UTF-16 big-endian and as UTF-8 with its mark.
  std::string be = Bytes({0xFE, 0xFF});
  const std::string le = EncodeListText(lines).substr(2);
  for (std::size_t i = 0; i + 1 < le.size(); i += 2) {
    be += le[i + 1];
    be += le[i];
  }
  EXPECT_EQ(DecodeListText(be), lines);
  EXPECT_EQ(DecodeListText("\xEF\xBB\xBF/home/op/fw.bin\r\n" + lines[1] + "\r\n\r\nlast\r\n"), lines);
}

TEST(ListText, AcceptsEveryLineEnd) {
  EXPECT_EQ(DecodeListText("a\rb\nc\r\nd"), (Lines{"a", "b", "c", "d"})) << "no end after the last line";
  EXPECT_EQ(DecodeListText("a\n\nb\n"), (Lines{"a", "", "b"}));
  EXPECT_EQ(DecodeListText("a\r\r\nb"), (Lines{"a", "", "b"}));
  // U+2028 after a line end is part of it; alone it ends a line too.
  const std::string ls = "\xE2\x80\xA8";
  EXPECT_EQ(DecodeListText("\xEF\xBB\xBF" "a\r\n" + ls + "b" + ls + "c\n" + ls + ls + "d"),
            (Lines{"a", "b", "c", "", "d"}));
  EXPECT_EQ(DecodeListText(Bytes({0xFF, 0xFE, 'x', 0, 0x28, 0x20, 'y', 0})), (Lines{"x", "y"}));
}

TEST(ListText, OddInputEndsCleanly) {
  SetSystemDefaultLangIDOverride(LANG_ENGLISH_US);
  EXPECT_TRUE(DecodeListText("").empty());
  EXPECT_TRUE(DecodeListText(Bytes({0xFF, 0xFE})).empty());
  EXPECT_EQ(DecodeListText(Bytes({0xFF})), Lines{"\xC3\xBF"}) << "half a mark: 8-bit text (code page 1252 here)";
  EXPECT_EQ(DecodeListText(Bytes({0xFF, 0xFE, 'a', 0, 'b'})), Lines{"a"}) << "odd last byte dropped";
  EXPECT_EQ(DecodeListText(Bytes({0xFF, 0xFE, 'a', 0, 0, 0, 'b', 0, 0x0A, 0})), Lines{"a"}) << "ends at NUL";
  EXPECT_TRUE(DecodeListText(Bytes({0xFF, 0xFE, 0, 0, 'a', 0})).empty()) << "a UTF-32 mark reads as nothing";
  EXPECT_EQ(DecodeListText(std::string("ab\0cd", 5)), Lines{"ab"});
  EXPECT_EQ(DecodeListText(Bytes({0xFF, 0xFE, 0x00, 0xD8, 'a', 0, 0x00, 0xDC})),
            (Lines{"\xEF\xBF\xBD" "a\xEF\xBF\xBD"})) << "unpaired surrogates";
  SetSystemDefaultLangIDOverride(std::nullopt);
}

TEST(ListText, UnmarkedBytesThatAreNotUtf8UseTheSystemCodePage) {
  SetSystemDefaultLangIDOverride(LANG_CHINESE_PRC);
  EXPECT_EQ(DecodeListText("\xD6\xD0\xCE\xC4\r\n"), Lines{kZhong + kWen});  // GBK
  SetSystemDefaultLangIDOverride(LANG_CHINESE_TAIWAN);
  EXPECT_EQ(DecodeListText("\xA4\xA4\xA4\xE5"), Lines{kZhong + kWen});  // the same in Big5
  SetSystemDefaultLangIDOverride(std::nullopt);
  EXPECT_EQ(DecodeListText(kZhong + "\n"), Lines{kZhong}) << "well-formed UTF-8 stays UTF-8";
}

TEST(ListFile, SavedAndLoadedByteForByteOrLeftWhole) {
  TempDir dir;
  const std::string path = dir / "seting.ini";
  const Lines lines = {dir.path, kZhong + ".mp3", "D:\\firmware.bin"};
  SaveListFile(path, lines);
  std::string bytes;
  ASSERT_TRUE(ReadWholeFile(path, bytes));
  EXPECT_EQ(bytes, EncodeListText(lines));
  Lines back = {"stale"};
  ASSERT_TRUE(LoadListFile(path, back));
  EXPECT_EQ(back, lines);
  EXPECT_FALSE(LoadListFile(dir / "missing.ini", back));
  EXPECT_EQ(back, lines) << "a failed load leaves the list";

  ::chmod(path.c_str(), 0444);
  EXPECT_THAT([&] { SaveListFile(path, {"new", "entries"}); },
              ThrowsMessage<EFCreateError>(StartsWith("Cannot create file \"" + path + "\". ")));
  ASSERT_TRUE(LoadListFile(path, back));
  EXPECT_EQ(back, lines);
  EXPECT_THROW(SaveListFile(dir / "no/folder.ini", {"x"}), Exception);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1) << "no temporary left";
}
