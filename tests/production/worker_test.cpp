// The worker object and its shared services: construction, progress,
// counters, the event log, the registry pair, bonding ID and parity check.
#include <algorithm>
#include <set>
#include <sstream>
#include <thread>

#include "production_fixture.h"

namespace production_test {
namespace {

struct WorkerTest : ProductionTest {};

TEST_F(WorkerTest, FreshWorkerStartsFromTheWindowState) {
  window.languageIndex = 2;
  ProductThread& w = Worker('F', 3, false);
  window.languageIndex = 0;  // a later change does not reach the worker
  EXPECT_EQ(w.LanguageIndex, 2);
  EXPECT_EQ(w.DriveLetter, "F");
  EXPECT_EQ(w.VolumeLabel, "LABEL");
  EXPECT_EQ(w.LastLoggedPageMode, -1);
  EXPECT_EQ(w.SuccessFlag, 0);
  EXPECT_TRUE(std::all_of(w.PageUsable.begin(), w.PageUsable.end(), [](auto b) { return b == 0xFF; }));
  EXPECT_TRUE(w.FreeOnTerminate());
  EXPECT_TRUE(w.OwnsSlot());
  // The slot given out again: the worker no longer writes its panel.
  window.SetSlot(3, 'F');
  EXPECT_FALSE(w.OwnsSlot());
  w.StatusText->SetCaption("new device");
  w.ShowFailure("old run failed");
  EXPECT_EQ(w.StatusText->Caption(), "new device");
}

TEST_F(WorkerTest, CountersAddEachRunAndShowTheirTexts) {
  ProductThread& pass = Worker('E', 0, false);
  ProductThread& fail = Worker('F', 1, false);
  pass.SuccessFlag = 1;
  pass.UpdateCounters();
  fail.UpdateCounters();
  pass.UpdateCounters();
  EXPECT_EQ(window.TotalStr.Caption(), "3");
  EXPECT_EQ(window.SuccessStr.Caption(), "2");
  EXPECT_EQ(window.FailStr.Caption(), "1");
}

TEST_F(WorkerTest, LogLineCreatesTheFolderAndEndsWithCrLf) {
  production::AppendLogLine("E success!");
  production::AppendLogLine("F fail!");
  EXPECT_EQ(ReadFile(home / "log/1.txt"), "E success!\r\nF fail!\r\n");
  // A log that cannot be written loses the line and nothing else happens.
  std::filesystem::remove_all(home / "log");
  WriteFile(home / "log", std::string("a file in the way"));
  production::AppendLogLine("lost");
  EXPECT_EQ(ReadFile(home / "log"), "a file in the way");
}

TEST_F(WorkerTest, RegistryPairUsesTheWorkerKey) {
  EXPECT_EQ(production::RegReadInt("LogBiTable", 0), 0);
  EXPECT_EQ(production::RegReadInt("LogBiTable", 9), 9);
  EXPECT_TRUE(production::RegWriteInt("LogBiTable", 5));
  EXPECT_EQ(production::RegReadInt("logbitable", 0), 5);  // names compare without case
  platform::TRegistry reg;
  reg.SetRootKey(platform::HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(reg.OpenKey("SoftWare\\ZOQQ471\\DUVadi", false));
  EXPECT_EQ(reg.ReadInteger("LogBiTable", 0), 5);
}

TEST_F(WorkerTest, BondingIdAndParityCheckAskTheDevice) {
  auto dev = Plug(DeviceProfile().WithBondingId(3));
  ProductThread& w = Worker();
  EXPECT_EQ(production::GetBondingID(w.hDevice), 3);
  EXPECT_FALSE(production::FwParityCheck(w.hDevice));  // nothing downloaded yet
  dev->InjectFault(emulator::Fault::Vendor(0x8B));
  EXPECT_EQ(production::GetBondingID(w.hDevice), 0);
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
