// The worker object and its shared services: construction, progress,
// counters, the event log and the registry pair.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "platform/paths/paths.h"
#include "platform/registry/registry.h"
#include "production/product_thread.h"
#include "support/fake_main_window.h"
#include "support/temp_dir.h"

namespace {

using production::ProductThread;

struct WorkerTest : ::testing::Test {
  testing_support::TempDir home{"production"};
  testing_support::FakeMainWindow window;
  platform::ui::ScopedApplication app;

  void SetUp() override {
    platform::SetProgramFolder(home.path);
    platform::SetRegistryFile(home / "registry.ini");
  }
  void TearDown() override {
    platform::SetProgramFolder("");
    platform::SetRegistryFile("");
  }

  std::unique_ptr<ProductThread> Make(char letter = 'E', int slot = 0) {
    window.SetSlot(slot, letter);
    auto p = window.SlotControls(slot);
    return std::make_unique<ProductThread>(window, letter, slot, p.statusText, p.gauge, p.image, "LABEL",
                                           p.textF, p.textP);
  }
};

TEST_F(WorkerTest, FreshWorkerStartsFromTheWindowState) {
  window.languageIndex = 2;
  auto w = Make('F', 3);
  window.languageIndex = 0;  // a later change does not reach the worker
  EXPECT_EQ(w->LanguageIndex, 2);
  EXPECT_EQ(w->DriveLetter, "F");
  EXPECT_EQ(w->SlotIndex, 3);
  EXPECT_EQ(w->LastLoggedPageMode, -1);
  EXPECT_TRUE(std::all_of(w->PageUsable.begin(), w->PageUsable.end(), [](auto b) { return b == 0xFF; }));
  EXPECT_TRUE(w->FreeOnTerminate());
  EXPECT_TRUE(w->OwnsSlot());
  window.SetSlot(3, 'F');  // the slot given out again: no longer this worker's
  EXPECT_FALSE(w->OwnsSlot());
}

}  // namespace

namespace {

TEST_F(WorkerTest, CountersAddEachRunAndShowTheirTexts) {
  auto pass = Make('E', 0);
  auto fail = Make('F', 1);
  pass->SuccessFlag = 1;
  pass->UpdateCounters();
  fail->UpdateCounters();
  pass->UpdateCounters();
  EXPECT_EQ(window.TotalStr.Caption(), "3");
  EXPECT_EQ(window.SuccessStr.Caption(), "2");
  EXPECT_EQ(window.FailStr.Caption(), "1");
}

}  // namespace
