#include "platform/clock/clock.h"

#include <atomic>
#include <ctime>
#include <thread>

namespace platform {

namespace {

std::mutex g_clockMutex;
std::shared_ptr<Clock> g_clock;  // null: the system clock
std::atomic<double> g_timeScale{1.0};

std::shared_ptr<Clock> TheSystemClock() {
  static const auto clock = std::make_shared<SystemClock>();
  return clock;
}

}  // namespace

SystemTime SystemClock::Now() { return std::chrono::system_clock::now(); }

std::uint64_t SystemClock::MonotonicMs() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

void SystemClock::Sleep(std::uint32_t ms) {
  const double scaled = static_cast<double>(ms) * TimeScale();
  if (scaled <= 0.0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(scaled));
}

ManualClock::ManualClock(SystemTime start) : now_(start) {}

SystemTime ManualClock::Now() {
  std::lock_guard lock(mutex_);
  return now_;
}

std::uint64_t ManualClock::MonotonicMs() {
  std::lock_guard lock(mutex_);
  return monotonic_;
}

void ManualClock::Sleep(std::uint32_t ms) {
  {
    std::lock_guard lock(mutex_);
    now_ += std::chrono::milliseconds(ms);
    monotonic_ += ms;
    slept_ += ms;
    ++sleeps_;
  }
  std::this_thread::yield();  // lets the threads being waited for run
}

void ManualClock::Advance(std::chrono::milliseconds by) {
  std::lock_guard lock(mutex_);
  now_ += by;
  if (by.count() > 0) monotonic_ += static_cast<std::uint64_t>(by.count());
}

void ManualClock::Set(SystemTime now) {
  std::lock_guard lock(mutex_);
  now_ = now;
}

std::uint64_t ManualClock::SleptMs() const {
  std::lock_guard lock(mutex_);
  return slept_;
}

std::uint64_t ManualClock::SleepCalls() const {
  std::lock_guard lock(mutex_);
  return sleeps_;
}

void SetClock(std::shared_ptr<Clock> clock) {
  std::lock_guard lock(g_clockMutex);
  g_clock = std::move(clock);
}

std::shared_ptr<Clock> CurrentClock() {
  {
    std::lock_guard lock(g_clockMutex);
    if (g_clock) return g_clock;
  }
  return TheSystemClock();
}

void SetTimeScale(double factor) { g_timeScale.store(factor > 0.0 ? factor : 0.0); }
double TimeScale() { return g_timeScale.load(); }

SystemTime Now() { return CurrentClock()->Now(); }

LocalDateTime ToLocalTime(SystemTime t) {
  using namespace std::chrono;
  const auto sinceEpoch = t.time_since_epoch();
  auto secs = duration_cast<seconds>(sinceEpoch);
  auto ms = duration_cast<milliseconds>(sinceEpoch - secs).count();
  if (ms < 0) {  // before 1970: keep the milliseconds positive
    secs -= seconds(1);
    ms += 1000;
  }
  const std::time_t tt = static_cast<std::time_t>(secs.count());
  std::tm tm{};
  localtime_r(&tt, &tm);
  LocalDateTime out;
  out.year = tm.tm_year + 1900;
  out.month = tm.tm_mon + 1;
  out.day = tm.tm_mday;
  out.hour = tm.tm_hour;
  out.minute = tm.tm_min;
  out.second = tm.tm_sec;
  out.millisecond = static_cast<int>(ms);
  out.dayOfWeek = tm.tm_wday;
  return out;
}

LocalDateTime LocalTime() { return ToLocalTime(Now()); }

std::int64_t TimeInSeconds() {
  return std::chrono::floor<std::chrono::seconds>(Now().time_since_epoch()).count();
}

std::uint32_t GetTickCount() { return static_cast<std::uint32_t>(CurrentClock()->MonotonicMs()); }

void Sleep(std::uint32_t ms) { CurrentClock()->Sleep(ms); }

ScopedClock::ScopedClock(std::shared_ptr<Clock> clock, double timeScale) : previousScale_(TimeScale()) {
  {
    std::lock_guard lock(g_clockMutex);
    previous_ = g_clock;
  }
  SetClock(std::move(clock));
  SetTimeScale(timeScale);
}

ScopedClock::~ScopedClock() {
  SetClock(std::move(previous_));
  SetTimeScale(previousScale_);
}

}  // namespace platform
