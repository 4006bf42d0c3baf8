#include <gtest/gtest.h>

#include <thread>

#include "support/temp_dir.h"
#include "platform/paths/paths.h"
#include "platform/registry/registry.h"

using namespace platform;
using testing_support::TempDir;

namespace {

// "V3" and the like (g++ 12 warns falsely on literal + std::string).
std::string Name(int n) { return std::string("V").append(std::to_string(n)); }

std::string Slurp(const std::string& path) {
  std::string bytes;
  ReadWholeFile(path, bytes);
  return bytes;
}

constexpr const char* kWorkerKey = "SoftWare\\ZOQQ471\\DUVadi";
constexpr const char* kConsoleKey = "SoftWare\\ZOQQ471\\kestrune71";

TRegistry Machine() {
  TRegistry reg;
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  return reg;
}

// The read the station's registry functions make: open with create, the value
// when it exists, else the default.
std::int32_t ReadInt(const char* key, const char* name, std::int32_t fallback) {
  TRegistry reg = Machine();
  if (!reg.OpenKey(key, true)) return fallback;
  return reg.ValueExists(name) ? reg.ReadInteger(name, fallback) : fallback;
}

bool WriteInt(const char* key, const char* name, std::int32_t value) {
  TRegistry reg = Machine();
  return reg.OpenKey(key, true) && reg.WriteInteger(name, value);
}

struct Registry : ::testing::Test {
  void SetUp() override { SetRegistryFile(store); }
  void TearDown() override { SetRegistryFile(""); }
  TempDir dir;
  std::string store = dir / "registry.ini";
};

}  // namespace

TEST_F(Registry, MissingValuesGiveTheCallersDefault) {
  EXPECT_EQ(ReadInt(kConsoleKey, "LanguageID", 0), 0);
  EXPECT_EQ(ReadInt(kWorkerKey, "BlocksPerChip", -1), -1);
  // Opening a key creates it, also for a read.
  const std::string keys = "[HKEY_LOCAL_MACHINE\\SoftWare\\ZOQQ471\\kestrune71]\r\n"
                           "[HKEY_LOCAL_MACHINE\\SoftWare\\ZOQQ471\\DUVadi]\r\n";
  EXPECT_EQ(Slurp(store), keys);

  // The start-up rule: create with 0 what is missing, leave existing values.
  ASSERT_TRUE(WriteInt(kWorkerKey, "LogBiTable", 0));
  for (const char* name : {"BlocksPerChip", "LogBiTable"})
    EXPECT_TRUE(ReadInt(kWorkerKey, name, -1) != -1 || WriteInt(kWorkerKey, name, 0)) << name;
  EXPECT_EQ(Slurp(store), keys + "LogBiTable=integer:0\r\nBlocksPerChip=integer:0\r\n");
}

TEST_F(Registry, TypedValuesRoundTrip) {
  TRegistry reg = Machine();
  EXPECT_FALSE(reg.OpenKey(kConsoleKey, false)) << "missing and not to be created";
  ASSERT_TRUE(reg.OpenKey(kConsoleKey, true));
  const std::string folder = " /media/\xE4\xB8\xAD\xE6\x96\x87 \"x\"\\y\r\nz ";
  EXPECT_TRUE(reg.WriteString("AddDir", folder));
  EXPECT_TRUE(reg.WriteInteger("LanguageID", 3));
  EXPECT_TRUE(reg.WriteInteger("Min", INT32_MIN));

  TRegistry again = Machine();
  ASSERT_TRUE(again.OpenKey("\\software\\zoqq471\\\\KESTRUNE71\\", false)) << "paths compare without case";
  EXPECT_EQ(again.ReadString("adddir"), folder);
  EXPECT_EQ(again.ReadInteger("languageid", 0), 3);
  EXPECT_EQ(again.ReadInteger("Min", 0), INT32_MIN);
  EXPECT_EQ(again.GetDataType("AddDir"), TRegDataType::rdString);
  EXPECT_EQ(again.GetDataType("LanguageID"), TRegDataType::rdInteger);
  EXPECT_EQ(again.GetDataType("Nothing"), TRegDataType::rdUnknown);
  EXPECT_EQ(again.ReadInteger("AddDir", 77), 77) << "a string read as an integer: the default";
  EXPECT_EQ(again.ReadString("LanguageID", "d"), "d");
  EXPECT_TRUE(again.DeleteValue("Min"));
  EXPECT_FALSE(again.DeleteValue("Min"));
  EXPECT_FALSE(again.ValueExists("Min"));

  // Another root is another tree; a relative path goes below the open key.
  EXPECT_FALSE(TRegistry().KeyExists(kConsoleKey));
  ASSERT_TRUE(reg.OpenKey("Sub", true));
  EXPECT_EQ(reg.CurrentPath(), std::string(kConsoleKey) + "\\Sub");
}

TEST_F(Registry, UnstorableNamesAndClosedKeysAreRefused) {
  TRegistry reg;
  EXPECT_FALSE(reg.WriteInteger("x", 1)) << "no key open";
  EXPECT_EQ(reg.ReadInteger("x", 4), 4);
  ASSERT_TRUE(reg.OpenKey("K", true));
  for (const char* bad : {"a=b", "a\nb", "[x", ";x", " x", "x "}) EXPECT_FALSE(reg.WriteInteger(bad, 1)) << bad;
  reg.CloseKey();
  EXPECT_EQ(reg.ReadString("x", "d"), "d");
}

TEST_F(Registry, AStoreThatCannotBeWrittenGivesDefaultsAndFalse) {
  SetRegistryFile(dir / "missing/registry.ini");
  EXPECT_EQ(ReadInt(kConsoleKey, "LanguageID", 0), 0);
  EXPECT_FALSE(WriteInt(kConsoleKey, "LanguageID", 2));
  EXPECT_FALSE(FileExists(dir / "missing/registry.ini"));
}

TEST_F(Registry, MalformedStoreIsReadAsFarAsItGoes) {
  ASSERT_TRUE(
      WriteFileAtomically(store, "garbage\r\n[HKEY_LOCAL_MACHINE\\K]\r\nA=integer:x\r\nB=string:\"ok\"\r\nC=12\r\n"));
  EXPECT_EQ(ReadInt("K", "A", -1), -1);
  EXPECT_EQ(ReadInt("K", "C", -1), -1) << "a value without type";
  TRegistry reg = Machine();
  ASSERT_TRUE(reg.OpenKey("K", false));
  EXPECT_EQ(reg.ReadString("B"), "ok");
  EXPECT_TRUE(reg.ValueExists("A"));
}

TEST(RegistryConcurrency, WorkersReadAndWriteTheirValuesTogether) {
  TempDir dir;
  SetRegistryFile(dir / "registry.ini");
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([t] {
      const std::string name = Name(t);
      for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(WriteInt(kWorkerKey, name.c_str(), i));
        EXPECT_EQ(ReadInt(kWorkerKey, name.c_str(), -1), i);
        EXPECT_EQ(ReadInt(kWorkerKey, "LogBiTable", 0), 0);
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 6; ++t) EXPECT_EQ(ReadInt(kWorkerKey, Name(t).c_str(), -1), 9);
  SetRegistryFile("");
}
