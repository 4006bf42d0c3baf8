#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "support/temp_dir.h"
#include "support/unprivileged.h"
#include "platform/instance/instance.h"

using namespace platform;

namespace {

// A lock folder of the test's own, not yet created (Acquire creates it).
struct InstanceFolder {
  InstanceFolder() { SetInstanceLockFolder(run); }
  ~InstanceFolder() { SetInstanceLockFolder(""); }
  testing_support::TempDir dir{"inst"};
  std::string run = dir / "run";
};

// Whether another process can take the lock (it runs in a forked child).
bool OtherProcessAcquires(const std::string& name) {
  const pid_t pid = fork();
  if (pid == 0) {
    InstanceLock lock(name);
    _exit(lock.Acquire() ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

TEST(InstanceLock, SecondHolderSeesItHeldUntilReleased) {
  InstanceFolder folder;
  InstanceLock first("test");
  InstanceLock second("test");
  ASSERT_TRUE(first.Acquire());
  EXPECT_TRUE(first.Acquire()) << "holding it already";
  EXPECT_EQ(second.TryAcquire(), InstanceLockState::HeldByAnother);
  EXPECT_FALSE(OtherProcessAcquires("test"));
  EXPECT_TRUE(InstanceLock("TitleStr").Acquire()) << "another name is another lock";
  EXPECT_EQ(first.Path(), folder.run + "/station-test.lock");

  first.Release();
  EXPECT_FALSE(first.Held());
  EXPECT_TRUE(OtherProcessAcquires("test"));
  EXPECT_TRUE(second.Acquire());
  EXPECT_FALSE(first.Acquire());
  {
    InstanceLock ending("ends");
    ASSERT_TRUE(ending.Acquire());
  }
  EXPECT_TRUE(InstanceLock("ends").Acquire()) << "a holder that ends frees the lock";
  SetInstanceLockFolder("/proc/no-such-folder");
  EXPECT_EQ(InstanceLock("test").TryAcquire(), InstanceLockState::Unavailable) << "an unusable folder";
}

// In a shared folder the lock file may belong to another account: it still
// guards, for both sides.
TEST(InstanceLock, ALockFileOfAnotherAccountStillGuards) {
  InstanceFolder folder;
  InstanceLock root("shared");
  EXPECT_FALSE(root.WriteNote("/root/home/")) << "not held";
  ASSERT_TRUE(root.Acquire());
  ASSERT_TRUE(root.WriteNote("/root/home/"));
  ::chmod(folder.dir.path.c_str(), 0755);
  ::chmod(folder.run.c_str(), 01777);  // world-writable and sticky, as /tmp
  ::chmod(root.Path().c_str(), 0644);
  testing_support::RunUnprivileged([] {
    InstanceLock other("shared");
    EXPECT_EQ(other.TryAcquire(), InstanceLockState::HeldByAnother);
    EXPECT_EQ(other.HolderNote(), "/root/home/") << "the holder's note, across accounts";
  });
  root.Release();
  testing_support::RunUnprivileged([] {
    InstanceLock other("shared");
    EXPECT_EQ(other.TryAcquire(), InstanceLockState::Acquired) << "opened read-only";
    EXPECT_FALSE(other.WriteNote("/other/home/")) << "no note in a file it cannot write";
    EXPECT_FALSE(OtherProcessAcquires("shared"));
  });
}

TEST(InstanceLock, NamesBecomeSafeDistinctFileNames) {
  EXPECT_EQ(InstanceLockFileName("test"), "station-test.lock");
  const std::string a = InstanceLockFileName("ZOQQ4xx Kestrune v2.0");
  const std::string d = InstanceLockFileName("a_b");
  for (const std::string& n : {a, InstanceLockFileName("../../etc/passwd"), InstanceLockFileName("a/b")}) {
    EXPECT_EQ(n.find('/'), std::string::npos) << n;
    EXPECT_NE(n, d);
  }
  EXPECT_EQ(a.rfind("station-ZOQQ4xx_Kestrune_v2.0-", 0), 0u) << a;
  EXPECT_NE(InstanceLockFileName(""), InstanceLockFileName("_"));
  EXPECT_LT(InstanceLockFileName(std::string(5000, 'x')).size(), 200u);
  EXPECT_NE(InstanceLockFileName("\xE6\xB8\xAC"), InstanceLockFileName("\xE6\xB8\xAD"));
}

TEST(InstanceConcurrency, OneOfManyRacingHoldersWins) {
  InstanceFolder folder;
  for (int round = 0; round < 20; ++round) {
    std::vector<std::unique_ptr<InstanceLock>> locks;
    for (int i = 0; i < 6; ++i) locks.push_back(std::make_unique<InstanceLock>("race"));
    std::atomic<int> winners{0};
    std::vector<std::thread> threads;
    for (auto& lock : locks)
      threads.emplace_back([&winners, l = lock.get()] { winners += l->Acquire() ? 1 : 0; });
    for (auto& t : threads) t.join();
    EXPECT_EQ(winners, 1);
  }
}
