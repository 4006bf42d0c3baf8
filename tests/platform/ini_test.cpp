#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <tuple>

#include "support/temp_dir.h"
#include "support/unprivileged.h"
#include "platform/codepage/codepage.h"
#include "platform/ini/ini.h"
#include "platform/paths/paths.h"

using namespace platform;
using testing::ThrowsMessage;
using testing_support::TempDir;
namespace fs = std::filesystem;

namespace {

// "T3" and the like (g++ 12 warns falsely on literal + std::string).
std::string Name(char prefix, int n) { return std::string(1, prefix).append(std::to_string(n)); }

std::string Slurp(const std::string& path) {
  std::string bytes;
  ReadWholeFile(path, bytes);
  return bytes;
}

void Put(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

struct IniFile : ::testing::Test {
  TempDir dir;
  std::string file = dir / "prefer.ini";
};

}  // namespace

TEST_F(IniFile, NewFileGetsKeysInWriteOrderWithCrLf) {
  TIniFile ini(file);
  ini.WriteInteger("MP_Setting", "Format", 1);
  ini.WriteString("MP_Setting", "Label", "my_audio");
  ini.WriteBool("MP_Setting", "PageMode", true);
  ini.WriteBool("MP_Setting", "bUseImgFile", false);
  ini.WriteInteger("MP_Setting", "System Area Size", -1);
  ini.WriteString("Other", "k", "");
  EXPECT_EQ(Slurp(file),
            "[MP_Setting]\r\nFormat=1\r\nLabel=my_audio\r\nPageMode=1\r\nbUseImgFile=0\r\nSystem Area Size=-1\r\n"
            "[Other]\r\nk=\r\n");
  EXPECT_EQ(ini.ReadInteger("mp_setting", "system area size", 5), -1);
  EXPECT_TRUE(ini.ReadBool("MP_SETTING", "pagemode", false));
  EXPECT_EQ(ini.ReadString("Other", "k", "dflt"), "") << "an empty value is a value";
  // Only the file itself is left in the folder: no temporary files.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
}

TEST_F(IniFile, UpdatesInPlaceAndAppendsNewKeysToTheirSection) {
  Put(file, "; settings\r\n[MP_Setting]\r\nFormat = 0\r\nlabel=old\r\n\r\n[Disk]\r\nSize=8\r\n");
  TIniFile ini(file);
  ini.WriteString("mp_setting", "LABEL", "new text");  // keeps the file's spelling and place
  ini.WriteInteger("MP_Setting", "iScanLevel", 3);      // before the blank line that ends the section
  ini.WriteString("DISK", "Label", "PASS WD");
  ini.WriteString("HIDE_FILES", "files0", "/a/b");     // new section at the end
  EXPECT_EQ(Slurp(file),
            "; settings\r\n[MP_Setting]\r\nFormat = 0\r\nlabel=new text\r\niScanLevel=3\r\n\r\n"
            "[Disk]\r\nSize=8\r\nLabel=PASS WD\r\n[HIDE_FILES]\r\nfiles0=/a/b\r\n");
  EXPECT_EQ(ini.ReadInteger("MP_Setting", "Format", 9), 0) << "blanks around names and values do not count";
  const std::string before = Slurp(file);
  ini.WriteString("MP_Setting", "Label", "new text");
  EXPECT_EQ(Slurp(file), before) << "writing the same value changes nothing";
}

TEST_F(IniFile, MissingOrUnreadableValuesGiveTheDefault) {
  TIniFile missing(dir / "nope.ini");
  EXPECT_EQ(missing.ReadString("MP_Setting", "Label", "dflt"), "dflt");
  EXPECT_TRUE(missing.ReadSection("MP_Setting").empty());
  EXPECT_FALSE(FileExists(dir / "nope.ini")) << "reading creates nothing";

  Put(file, "[S]\r\ndec=42\r\nhex=0x1F\r\nneg=-7\r\ndollar=$ff\r\nbare0x=0x\r\nyes=yes\r\nempty=\r\n"
            "trail=12abc\r\nbig=99999999999\r\nzero=0\r\nsignedhex=-0x10\r\n");
  TIniFile ini(file);
  // Settings values are decimal, or hexadecimal after "0x"; nothing else reads.
  EXPECT_EQ(std::make_tuple(ini.ReadInteger("S", "dec", 0), ini.ReadInteger("S", "hex", 0),
                            ini.ReadInteger("S", "neg", 0)), std::make_tuple(42, 31, -7));
  for (const char* bad : {"dollar", "bare0x", "yes", "empty", "trail", "big", "missing", "signedhex"})
    EXPECT_EQ(ini.ReadInteger("S", bad, -5), -5) << bad;
  EXPECT_EQ(ini.ReadInteger("Other", "dec", 7), 7);
  EXPECT_FALSE(ini.ReadBool("S", "yes", false)) << "\"yes\" is no integer: the default";
  EXPECT_TRUE(ini.ReadBool("S", "dec", false));
  EXPECT_FALSE(ini.ReadBool("S", "zero", true));
  EXPECT_TRUE(ini.ValueExists("s", "DEC"));
  EXPECT_FALSE(ini.ValueExists("S", "Label"));
}

TEST_F(IniFile, ValuesAreBytesAsTheyStandOnOneLine) {
  // Big5 and GBK text, with trail bytes that are ASCII letters and '\'.
  const std::string big5 = "\xA4\xA4\xA4\xE5\xB3\x5C\xA5\x5C";
  const std::string gbk = "\xD6\xD0\xCE\xC4";
  TIniFile ini(file);
  ini.WriteString("Chinese (Taiwan)", "TitleStr", big5);
  ini.WriteString("Chinese (PRC)", "TitleStr", gbk);
  EXPECT_EQ(Slurp(file), "[Chinese (Taiwan)]\r\nTitleStr=" + big5 + "\r\n[Chinese (PRC)]\r\nTitleStr=" + gbk + "\r\n");
  EXPECT_EQ(GetPrivateProfileString("chinese (taiwan)", "titlestr", "", file), big5);
  // A line break in a value cannot split the file.
  ini.WriteString("S", "Label", "a\r\n[Evil]\r\nx=1");
  EXPECT_FALSE(ini.SectionExists("Evil"));
  EXPECT_EQ(ini.ReadString("S", "Label", ""), "a  [Evil]  x=1");
}

TEST_F(IniFile, SectionKeyNamesFollowTheProfileRules) {
  TIniFile ini(file);
  ini.WriteString("HideFiles", "/data/a=b.mp3", "");
  ini.WriteString("HideFiles", ";hidden.mp3", "");
  ini.WriteString("HideFiles", "/data/c.mp3", "");
  ini.WriteString("HideFiles", "/DATA/C.MP3", "");  // the same key again
  EXPECT_EQ(ini.ReadSection("hidefiles"), (std::vector<std::string>{"/data/a", "/data/c.mp3"}))
      << "cut at the first '=', comment lines skipped, a key once";

  // A list of names written whole keeps names that differ only in case; a
  // name that reads as a section header goes after the others, so that it
  // cannot end the list early.
  ini.WriteSectionKeys("HideFiles", {"/d/Song.mp3", "[odd]", "/d/song.mp3", "/d/Song.mp3", "/d/b.mp3"});
  EXPECT_EQ(ini.ReadSection("HideFiles", NameCase::Exact),
            (std::vector<std::string>{"/d/Song.mp3", "/d/song.mp3", "/d/b.mp3"}));
  EXPECT_EQ(ini.ReadSection("HideFiles"), (std::vector<std::string>{"/d/Song.mp3", "/d/b.mp3"}));
  ini.WriteSectionKeys("HideFiles", {});
  EXPECT_FALSE(ini.SectionExists("HideFiles"));

  // A new key that reads as a section header splits the section, as a re-read would.
  ini.WriteString("S", "k", "1");
  ini.WriteString("S", "[a]", "x");
  ini.WriteString("S", "z", "2");
  EXPECT_EQ(Slurp(file), "[odd]=\r\n[S]\r\nk=1\r\nz=2\r\n[a]=x\r\n");
  EXPECT_EQ(ini.ReadString("a", "z", "-"), "-");
}

TEST_F(IniFile, EraseSectionRemovesEveryLineOfIt) {
  Put(file, "[MP_Setting]\r\na=1\r\n[HIDE_FILES]\r\nx=1\r\n; note\r\n\r\n[Tail]\r\nb=2\r\n[hide_files]\r\ny=2\r\n");
  TIniFile ini(file);
  std::vector<std::string> sections;
  ini.ReadSections(sections);
  EXPECT_EQ(sections, (std::vector<std::string>{"MP_Setting", "HIDE_FILES", "Tail"})) << "each once, first spelling";
  ini.EraseSection("Hide_Files");
  EXPECT_EQ(Slurp(file), "[MP_Setting]\r\na=1\r\n[Tail]\r\nb=2\r\n");
  ini.DeleteKey("Tail", "B");
  EXPECT_EQ(Slurp(file), "[MP_Setting]\r\na=1\r\n[Tail]\r\n");
  // Erasing what is not there writes nothing, so it cannot fail.
  EXPECT_NO_THROW(TIniFile(dir / "no/such/folder.ini").EraseSection("SPI_HIDE_FILES"));
}

TEST_F(IniFile, RefusedWriteRaisesTheErrorAndLeavesTheFile) {
  const std::string name = dir / "misc/prefer.ini";  // the folder does not exist
  EXPECT_THAT([&] { TIniFile(name).WriteInteger("MP_Setting", "Format", 1); },
              ThrowsMessage<EIniFileException>("Unable to write to " + name));
  EXPECT_FALSE(WritePrivateProfileString("S", "k", "v", name));

  Put(file, "[MP_Setting]\r\nFormat=0\r\n");
  ::chmod(file.c_str(), 0444);  // read-only; refused even for root
  TIniFile ro(file);
  EXPECT_THROW(ro.WriteInteger("MP_Setting", "Format", 0), EIniFileException) << "also when nothing changes";
  EXPECT_THROW(ro.EraseSection("MP_Setting"), EIniFileException);
  EXPECT_EQ(Slurp(file), "[MP_Setting]\r\nFormat=0\r\n");
}

TEST_F(IniFile, OnePairOfQuotesAroundAValueIsDroppedOnRead) {
  Put(file, "[S]\r\na=\"x y \"\r\nb=\"\"\r\nc=\"\r\nd=\"q\" r\r\ne=\"\"z\"\"\r\nn=\"12\"\r\n");
  const TIniFile disk(file);
  const TMemIniFile memory(file);
  const std::tuple<const char*, const char*> expected[] = {
      {"a", "x y "}, {"b", ""}, {"c", "\""}, {"d", "\"q\" r"}, {"e", "\"z\""}};
  for (const auto& [key, value] : expected) {
    EXPECT_EQ(disk.ReadString("S", key, "-"), value) << key;
    EXPECT_EQ(memory.ReadString("S", key, "-"), value) << key;
    EXPECT_EQ(GetPrivateProfileString("S", key, "-", file), value) << key;
  }
  EXPECT_EQ(disk.ReadInteger("S", "n", 0), 12);
  EXPECT_EQ(memory.ReadInteger("S", "n", 0), 12);
}

// A file that starts with the UTF-16LE mark is read as UTF-16 and written back
// in UTF-16, by both kinds of object.
TEST_F(IniFile, Utf16FilesStayUtf16) {
  auto utf16 = [](const std::string& utf8) {
    std::string out = "\xFF\xFE";
    for (char16_t c : Utf8ToUtf16(utf8)) out.append({static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)});
    return out;
  };
  Put(file, utf16("[MP_Setting]\r\nLabel=\"音乐\"\r\nFormat=1\r\n"));
  TIniFile disk(file);
  EXPECT_EQ(disk.ReadString("mp_setting", "label", ""), "音乐");
  EXPECT_EQ(disk.ReadInteger("MP_Setting", "Format", 0), 1);
  disk.WriteInteger("MP_Setting", "Format", 0);
  EXPECT_EQ(Slurp(file), utf16("[MP_Setting]\r\nLabel=\"音乐\"\r\nFormat=0\r\n"));

  TMemIniFile memory(file);
  memory.WriteString("MP_Setting", "ImageFile", "磁盘.img");
  memory.UpdateFile();
  EXPECT_EQ(Slurp(file), utf16("[MP_Setting]\r\nLabel=\"音乐\"\r\nFormat=0\r\nImageFile=磁盘.img\r\n"));
}

TEST_F(IniFile, MemoryFileWritesTheWholeFileOnceAtUpdate) {
  Put(file, "; kept\r\n[HIDE_FILES]\r\nf=1\r\n[MP_Setting]\r\nFormat=1\r\n");
  TMemIniFile ini(file);
  EXPECT_TRUE(ini.Loaded());
  EXPECT_EQ(ini.ReadInteger("MP_Setting", "Format", 0), 1);
  for (int i = 0; i < 3000; ++i) ini.WriteInteger("Keys", Name('k', i), i);
  ini.EraseSection("HIDE_FILES");
  ini.WriteBool("MP_Setting", "Format", false);
  EXPECT_EQ(Slurp(file), "; kept\r\n[HIDE_FILES]\r\nf=1\r\n[MP_Setting]\r\nFormat=1\r\n") << "not yet written";
  EXPECT_EQ(ini.ReadInteger("Keys", "K2999", -1), 2999) << "reads see the copy";
  EXPECT_TRUE(ini.Modified());
  ini.UpdateFile();
  EXPECT_FALSE(ini.Modified());
  const TIniFile disk(file);
  EXPECT_EQ(disk.ReadSection("Keys").size(), 3000u);
  EXPECT_EQ(disk.ReadInteger("Keys", "k1234", -1), 1234);
  EXPECT_FALSE(disk.SectionExists("HIDE_FILES"));
  EXPECT_EQ(Slurp(file).substr(0, 40), "; kept\r\n[MP_Setting]\r\nFormat=0\r\n[Keys]\r\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1) << "no temporary left";

  // A refused update raises the error and leaves the file whole.
  const std::string before = Slurp(file);
  ::chmod(file.c_str(), 0444);
  ini.WriteString("MP_Setting", "Label", "x");
  EXPECT_THAT([&] { ini.UpdateFile(); }, ThrowsMessage<EIniFileException>("Unable to write to " + file));
  EXPECT_EQ(Slurp(file), before);
  TMemIniFile missingFolder(dir / "misc/prefer.ini");
  EXPECT_THROW(missingFolder.UpdateFile(), EIniFileException) << "also with nothing to write";
}

TEST_F(IniFile, AMemoryFileThatCouldNotBeReadIsNeverReplaced) {
  Put(file, "[MP_Setting]\r\nFormat=1\r\n");
  ::chmod(file.c_str(), 0200);
  ::chmod(dir.path.c_str(), 0777);
  testing_support::RunUnprivileged([&] {
    TMemIniFile ini(file);
    EXPECT_FALSE(ini.Loaded());
    ini.WriteInteger("MP_Setting", "Other", 2);
    EXPECT_THROW(ini.UpdateFile(), EIniFileException);
  });
  ::chmod(file.c_str(), 0600);
  EXPECT_EQ(Slurp(file), "[MP_Setting]\r\nFormat=1\r\n");
}

TEST_F(IniFile, ForeignLineEndsAndMalformedTextAreReadAndKept) {
  Put(file, "[A]\nx=1\ry=2\r\n[B]\nz=3");
  TIniFile ini(file);
  EXPECT_EQ(ini.ReadString("A", "y", ""), "2");
  ini.WriteString("B", "w", "4");
  EXPECT_EQ(Slurp(file), "[A]\r\nx=1\r\ny=2\r\n[B]\r\nz=3\r\nw=4\r\n");

  std::string junk = "orphan=1\r\n[broken\r\n[]\r\n=novalue\r\nnoequals\r\n\x01\x02\xFF\xFE";
  junk += std::string("\0zz=1\r\n", 7);
  Put(file, junk + "[Ok]\r\nv=5\r\n[a]b]\r\nk=1\r\n");
  EXPECT_EQ(ini.ReadString("", "orphan", "d"), "d") << "a key before any section belongs to none";
  EXPECT_EQ(ini.ReadString("broken", "x", "d"), "d");
  EXPECT_EQ(ini.ReadString("a]b", "k", "d"), "1") << "a section name runs to the last ']'";
  ini.WriteInteger("Ok", "v", 6);
  EXPECT_EQ(ini.ReadInteger("Ok", "v", 0), 6);
  EXPECT_EQ(ini.ReadString("", "noequals", "d"), "") << "a line without '=' is a key with no value, kept";

  Put(file, "\xEF\xBB\xBF[A]\r\nk=1\r\n");  // a UTF-8 mark before the first section
  ini.WriteInteger("A", "k", 2);
  EXPECT_EQ(Slurp(file), "\xEF\xBB\xBF[A]\r\nk=2\r\n");
}

TEST_F(IniFile, WriteKeepsPermissionsAndFollowsLinks) {
  Put(file, "[S]\r\nk=1\r\n");
  ::chmod(file.c_str(), 0640);
  const std::string link = dir / "link.ini";
  fs::create_symlink(file, link);
  TIniFile(link).WriteInteger("S", "k", 2);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(Slurp(file), "[S]\r\nk=2\r\n");
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms(0640));
}

TEST(IniConcurrency, WritersOfOneFileLoseNothing) {
  TempDir dir;
  const std::string file = dir / "shared.ini";
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      TIniFile ini(file);
      for (int i = 0; i < 15; ++i) {
        ini.WriteInteger(Name('T', t), Name('k', i), i);
        EXPECT_EQ(ini.ReadInteger(Name('T', t), Name('k', i), -1), i);
      }
    });
  }
  for (auto& th : threads) th.join();
  TIniFile ini(file);
  for (int t = 0; t < 6; ++t) EXPECT_EQ(ini.ReadSection(Name('T', t)).size(), 15u);
}
