// The worker's shared services: its panel, progress, counters and the event
// log, also with eight workers at once.
#include <algorithm>
#include <set>
#include <sstream>
#include <thread>

#include "production_fixture.h"

namespace production_test {
namespace {

struct WorkerTest : ProductionTest {};

TEST_F(WorkerTest, AWorkerWhoseSlotWasGivenOutAgainLeavesThePanelAlone) {
  ProductThread& w = Worker('F', 3, false);
  EXPECT_TRUE(w.OwnsSlot());
  window.SetSlot(3, 'F');
  EXPECT_FALSE(w.OwnsSlot());
  w.StatusText->SetCaption("new device");
  w.ShowFailure("old run failed");
  EXPECT_EQ(w.StatusText->Caption(), "new device");
}

TEST_F(WorkerTest, ALogThatCannotBeWrittenLosesTheLineOnly) {
  WriteFile(home / "log", std::string("a file in the way"));
  production::AppendLogLine("lost");
  EXPECT_EQ(ReadFile(home / "log"), "a file in the way");
}

TEST_F(WorkerTest, GaugeProgressIsSetOnTheUiThread) {
  ProductThread& w = Worker('E', 0, false);
  w.Gauge->SetMaxValue(400);
  std::thread worker([&] { w.SyncGaugeProgress(305); });
  while (w.Gauge->Progress() != 305) app->ProcessMessages();
  worker.join();
  w.SyncGaugeProgress(1000);  // clamped by the gauge
  EXPECT_EQ(w.Gauge->Progress(), 400);
}

// Eight workers ending together: every count and every log line stays whole.
struct WorkerConcurrency : ProductionTest {};

TEST_F(WorkerConcurrency, CountersAndLogLinesStayWhole) {
  constexpr int kWorkers = 8, kRuns = 50;
  std::vector<ProductThread*> ws;
  for (int i = 0; i < kWorkers; ++i) {
    ws.push_back(&Worker(static_cast<char>('E' + i), i, false));
    ws.back()->SuccessFlag = i % 2;
  }
  std::vector<std::thread> threads;
  for (int i = 0; i < kWorkers; ++i)
    threads.emplace_back([&, i] {
      const std::string line = std::string(300, static_cast<char>('a' + i));
      for (int r = 0; r < kRuns; ++r) {
        ws[i]->UpdateCounters();
        production::AppendLogLine(line);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(window.TotalStr.Caption(), std::to_string(kWorkers * kRuns));
  EXPECT_EQ(window.SuccessStr.Caption(), std::to_string(kWorkers / 2 * kRuns));
  EXPECT_EQ(window.FailStr.Caption(), std::to_string(kWorkers / 2 * kRuns));
  std::istringstream log(ReadFile(home / "log/1.txt"));
  int lines = 0;
  for (std::string line; std::getline(log, line); ++lines) {
    ASSERT_EQ(line.size(), 301u);
    EXPECT_EQ(line.back(), '\r');
    EXPECT_EQ(std::set<char>(line.begin(), line.end() - 1).size(), 1u);
  }
  EXPECT_EQ(lines, kWorkers * kRuns);
}

}  // namespace
}  // namespace production_test
