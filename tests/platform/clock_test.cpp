#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <tuple>

#include "platform/clock/clock.h"

using namespace platform;
using namespace std::chrono;

TEST(Clock, ManualClockMovesOnlyWhenTold) {
  auto manual = std::make_shared<ManualClock>(system_clock::from_time_t(1700000000));
  ScopedClock scope(manual);
  EXPECT_EQ(Now(), system_clock::from_time_t(1700000000));
  const std::uint32_t t0 = GetTickCount();
  Sleep(200);
  Sleep(10000);
  EXPECT_EQ(GetTickCount() - t0, 10200u);
  EXPECT_EQ(manual->SleptMs(), 10200u);
  EXPECT_EQ(manual->SleepCalls(), 2u);
  EXPECT_EQ(TimeInSeconds(), 1700000010);
  manual->Set(system_clock::from_time_t(0));
  EXPECT_EQ(GetTickCount() - t0, 10200u) << "setting the wall clock leaves the tick count";
  manual->Advance(milliseconds(5));
  EXPECT_EQ(GetTickCount() - t0, 10205u);
}

TEST(Clock, LocalTimeUsesTheTimeZone) {
  const char* tz = std::getenv("TZ");
  const std::string saved = tz ? tz : "";
  setenv("TZ", "UTC", 1);
  tzset();
  ScopedClock scope(std::make_shared<ManualClock>(system_clock::from_time_t(1700000000) + milliseconds(250)));
  const LocalDateTime t = LocalTime();  // 2023-11-14 22:13:20.250 UTC, a Tuesday
  EXPECT_EQ(std::tie(t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond, t.dayOfWeek),
            std::make_tuple(2023, 11, 14, 22, 13, 20, 250, 2));
  setenv("TZ", "CST-8", 1);  // eight hours east of UTC
  tzset();
  EXPECT_EQ(LocalTime().hour, 6);
  EXPECT_EQ(ToLocalTime(system_clock::from_time_t(-1)).millisecond, 0);
  if (tz) setenv("TZ", saved.c_str(), 1);
  else unsetenv("TZ");
  tzset();
}

TEST(Clock, ScaledSystemClockDoesNotWait) {
  ScopedClock scope(nullptr, 0.0);
  const auto before = steady_clock::now();
  for (int i = 0; i < 100; ++i) Sleep(3600 * 1000);  // a hundred hours at scale 0
  EXPECT_LT(steady_clock::now() - before, seconds(30));
  SetTimeScale(-2);
  EXPECT_EQ(TimeScale(), 0.0) << "negative factors count as 0";
}

TEST(ClockConcurrency, WorkersSleepWhileTheClockIsSwapped) {
  ScopedClock scope(nullptr, 0.0);
  auto manual = std::make_shared<ManualClock>();
  std::atomic<long> calls{0};
  std::vector<std::jthread> workers;  // stopped and joined at the end of the scope
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&](std::stop_token stop) {
      for (; !stop.stop_requested(); ++calls) {
        Sleep(500);
        (void)Now();
        (void)GetTickCount();
      }
    });
  }
  for (int i = 0; i < 200; ++i) {
    SetClock(i % 2 ? std::shared_ptr<Clock>(manual) : nullptr);
    SetTimeScale(0.0);
    std::this_thread::yield();
  }
  SetClock(manual);
  // More rounds than workers: some of them slept on the manual clock.
  const long seen = calls;
  while (calls < seen + 20) std::this_thread::yield();
  EXPECT_GT(manual->SleepCalls(), 0u);
}
