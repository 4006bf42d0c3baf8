// FAT type choice, formatting, label and disk check on emulated disks; the
// format and check tools replaced by hanging or failing stand-ins.
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>
#include <thread>

#include "drive_fixture.h"
#include "platform/drive/drive.h"
#include "support/scripted_target.h"

using namespace production_test;
using testing_support::FsckClean;

namespace {

struct FormatTest : DriveTest {
  platform::DiskTools savedTools = platform::CurrentDiskTools();
  production::DiskToolTiming savedTiming = production::CurrentDiskToolTiming();
  void TearDown() override {
    platform::CurrentDiskTools() = savedTools;
    production::CurrentDiskToolTiming() = savedTiming;
    DriveTest::TearDown();
  }
  // A stand-in tool: a shell script with this body.
  std::string Script(const std::string& name, const std::string& body) {
    const std::string path = home / name;
    WriteFile(path, "#!/bin/sh\n" + body + "\n");
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
  }
  // Running or sleeping; a killed helper whose parent is gone may stay a
  // zombie until the system reaps it.
  static bool Alive(pid_t pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
  }
  // The tool itself is reaped before the call returns; a helper it started
  // gets the same kill but nobody waits for it: give it a moment to end.
  static bool GoneSoon(pid_t pid) {
    for (int i = 0; i < 2000 && Alive(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return !Alive(pid);
  }
};

std::vector<std::uint8_t> Capacity(std::uint32_t lastLba, std::uint32_t blockLength) {
  return {static_cast<std::uint8_t>(lastLba >> 24), static_cast<std::uint8_t>(lastLba >> 16),
          static_cast<std::uint8_t>(lastLba >> 8),  static_cast<std::uint8_t>(lastLba),
          static_cast<std::uint8_t>(blockLength >> 24), static_cast<std::uint8_t>(blockLength >> 16),
          static_cast<std::uint8_t>(blockLength >> 8),  static_cast<std::uint8_t>(blockLength)};
}

}  // namespace

TEST_F(FormatTest, FatFlagFollowsTheReportedSize) {
  struct Case {
    std::uint32_t lastLba, blockLength;
    int flag;
  } cases[] = {
      {32768, 2048, 255},                  // 64 MiB in 2048-byte blocks
      {32768 * 4, 512, 0},                 // 64 MiB in 512-byte blocks
      {512u * 2048, 512, 0},               // 512 MiB
      {513u * 2048, 512, 1},               // 513 MiB
      {8u * 1024 * 2048, 512, 1},          // 8 GiB
      {65536, 2048, 0},                    // 128 MiB in 2048-byte blocks: no longer small
      {0, 512, 0},                         // no disk
      {1000, 0, 0},                        // no block length
  };
  for (const Case& c : cases) {
    auto target = std::make_shared<testing_support::ScriptedTarget>();
    target->fallback.dataIn = Capacity(c.lastLba, c.blockLength);
    platform::Volumes().Unmount('G');
    ASSERT_TRUE(platform::Volumes().Mount('G', target, ""));
    EXPECT_EQ(production::GetFatFlag('G'), c.flag) << c.lastLba << " x " << c.blockLength;
  }
  EXPECT_EQ(production::GetFatFlag('Q'), 0) << "no device";
  EXPECT_EQ(OpenHandles(), 0u);
}

TEST_F(FormatTest, FormattedDisksPassTheCheckAndKeepTheirLabel) {
  struct Case {
    DeviceProfile profile;
    int flag;
    std::uint32_t sector, cluster;  // cluster 0: the tool's choice
  } cases[] = {{emulator::profiles::SmallDisk(), 255, 2048, 8192},
               {SmallDevice(), 0, 512, 0},
               {emulator::profiles::Large(), 1, 512, 0}};
  WriteFile(home / "misc/response.txt", std::string("\r\n"));
  char letter = 'E';
  for (Case& c : cases) {
    SCOPED_TRACE(c.profile.name);
    const std::string image = PlugWithDisk(c.profile, letter);
    EXPECT_EQ(production::GetFatFlag(letter), c.flag);
    EXPECT_FALSE(platform::GetDiskFreeSpaceA((std::string(1, letter) + ":\\").c_str(), nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(production::FormatDrive(letter, true, c.flag, "ignored"));
    EXPECT_TRUE(FsckClean(image));
    auto volume = platform::FatVolume::Open(image, true, nullptr);
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->Boot().fatBits, c.flag == 1 ? 32 : 16);
    EXPECT_EQ(volume->Boot().bytesPerSector, c.sector);
    if (c.cluster) {
      EXPECT_EQ(volume->Boot().bytesPerSector * volume->Boot().sectorsPerCluster, c.cluster);
    }
    struct stat st {};
    ASSERT_EQ(::stat(image.c_str(), &st), 0);
    EXPECT_LT(static_cast<std::uint64_t>(st.st_blocks) * 512, 64ull << 20) << "a quick format writes no data area";

    EXPECT_EQ(production::GetDriveLabel(letter), "");
    ASSERT_TRUE(production::SetDriveLabel(letter, "MP3 PLAYER"));
    EXPECT_EQ(production::GetDriveLabel(letter), "MP3 PLAYER");
    EXPECT_FALSE(production::SetDriveLabel(letter, "TWELVE CHARS")) << "longer than a FAT label";
    EXPECT_EQ(production::GetDriveLabel(letter), "MP3 PLAYER");
    EXPECT_TRUE(production::CheckDiskDrive(letter));
    EXPECT_TRUE(FsckClean(image));
    ++letter;
  }
  EXPECT_EQ(app.dialogs().Count(), 0u);
  EXPECT_EQ(OpenHandles(), 0u);
}

TEST_F(FormatTest, HangingToolsAreKilledAtTheLimitWithTheirChildren) {
  PlugWithDisk(SmallDevice());
  WriteFile(home / "misc/response.txt", std::string("\r\n"));
  const std::string pids = home / "pids";
  // The tool starts a helper of its own and both hang.
  const std::string hang = Script("hang", "sleep 1000 &\necho $! >> '" + pids + "'\necho $$ >> '" + pids + "'\nwait");
  platform::CurrentDiskTools().format = hang;
  platform::CurrentDiskTools().check = hang;
  production::CurrentDiskToolTiming() = {1, 50, 50};  // 50 ms of real time

  EXPECT_FALSE(production::FormatDrive('E', true, 0, ""));
  ASSERT_EQ(app.dialogs().Count(), 1u);
  EXPECT_EQ(app.dialogs().Last().request.text, "Error timeout");
  EXPECT_FALSE(production::CheckDiskDrive('E'));
  EXPECT_EQ(app.dialogs().Count(), 1u) << "the disk check shows no box";

  std::istringstream in(ReadFile(pids));
  int count = 0;
  for (pid_t pid; in >> pid; ++count) EXPECT_TRUE(GoneSoon(pid)) << pid;
  EXPECT_EQ(count, 4);

  // A tool that ends with a non-zero code fails the try without a box.
  platform::CurrentDiskTools().format = Script("fail", "exit 3");
  EXPECT_FALSE(production::FormatDrive('E', true, 0, ""));
  platform::CurrentDiskTools().format = home / "missing-tool";
  EXPECT_FALSE(production::FormatDrive('E', true, 0, ""));
  EXPECT_EQ(app.dialogs().Count(), 1u);
  EXPECT_FALSE(production::FormatDrive('Q', true, 0, "")) << "no such drive";
}
