// Internal: the process-wide list of timers that the message loop drives.
#pragma once

#include <chrono>
#include <optional>

namespace platform::ui {

class TTimer;

class TimerRegistry {
 public:
  static void Add(TTimer* timer);
  static void Remove(TTimer* timer);
  // Runs OnTimer of every enabled timer whose interval has run out (UI thread).
  static void FireDue();
  // The earliest expiry of an enabled timer.
  static std::optional<std::chrono::steady_clock::time_point> NextDue();
  // Restarts the timer's interval from now.
  static void Rearm(TTimer* timer);
};

}  // namespace platform::ui
