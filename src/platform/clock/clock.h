// The clock that the station waits on and reads the time from. The process
// uses one clock; tests and the emulated bench replace it or scale its waits.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

namespace platform {

using SystemTime = std::chrono::system_clock::time_point;

struct LocalDateTime {
  int year = 0, month = 0, day = 0;  // month 1-12, day 1-31
  int hour = 0, minute = 0, second = 0, millisecond = 0;
  int dayOfWeek = 0;  // 0 = Sunday
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual SystemTime Now() = 0;                    // wall-clock time
  virtual std::uint64_t MonotonicMs() = 0;         // milliseconds, never going back
  virtual void Sleep(std::uint32_t ms) = 0;        // waits (or lets time pass) ms
};

// The real clock. Sleep waits ms x TimeScale() (0: no wait, only a yield).
class SystemClock : public Clock {
 public:
  SystemTime Now() override;
  std::uint64_t MonotonicMs() override;
  void Sleep(std::uint32_t ms) override;
};

// A clock that moves only when told: Sleep advances it by ms at once and never
// blocks, so code that polls with Sleep runs its full course instantly.
class ManualClock : public Clock {
 public:
  explicit ManualClock(SystemTime start = SystemTime{} + std::chrono::hours(24 * 365 * 30));
  SystemTime Now() override;
  std::uint64_t MonotonicMs() override;
  void Sleep(std::uint32_t ms) override;
  void Advance(std::chrono::milliseconds by);
  void Set(SystemTime now);          // wall clock only; the monotonic count stays
  std::uint64_t SleptMs() const;     // total of all Sleep calls
  std::uint64_t SleepCalls() const;  // number of Sleep calls

 private:
  mutable std::mutex mutex_;
  SystemTime now_;
  std::uint64_t monotonic_ = 0;
  std::uint64_t slept_ = 0;
  std::uint64_t sleeps_ = 0;
};

// The process's clock; nullptr goes back to the system clock.
void SetClock(std::shared_ptr<Clock> clock);
std::shared_ptr<Clock> CurrentClock();

// The factor applied to the system clock's waits (1 real time, 0.01 a hundred
// times faster, 0 no waiting). Negative values count as 0.
void SetTimeScale(double factor);
double TimeScale();

SystemTime Now();
LocalDateTime LocalTime();                 // Now() in the local time zone
LocalDateTime ToLocalTime(SystemTime t);
std::int64_t TimeInSeconds();              // Now() as seconds since 1970
std::uint32_t GetTickCount();              // milliseconds, wrapping at 2^32
void Sleep(std::uint32_t ms);

// Puts a clock and a time scale in place for one scope and restores the
// earlier ones at its end (for tests).
class ScopedClock {
 public:
  explicit ScopedClock(std::shared_ptr<Clock> clock, double timeScale = 0.0);
  ~ScopedClock();
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

 private:
  std::shared_ptr<Clock> previous_;
  double previousScale_;
};

}  // namespace platform
