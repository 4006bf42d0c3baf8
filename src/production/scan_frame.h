// The state and the shared steps of one blanking check: how a block is
// tested and judged, the fast region, the limit on leading bad blocks, the
// progress and status texts. The scan levels are programmes of passes over
// these steps (scan_levels.cpp); the set-up and the end step are in
// scan_frame.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "production/product_thread.h"
#include "production/scan_page.h"

namespace production {

// The long loops' screen step: the status text's colour toggles between the
// window-text colour and red, and the text changes (only while the slot is
// still the worker's).
void ShowBlinkingText(ProductThread& worker, const std::string& text);
void ToggleColour(ProductThread& worker);
// Hands a new gauge position to the UI thread; a position the gauge already
// shows costs no hand-over (a long scan moves the gauge a few hundred times
// but reaches this on every fifth of tens of thousands of blocks).
void MoveGaugeTo(ProductThread& worker, int value);

class BlankingScan {
 public:
  BlankingScan(ProductThread& worker, int progressStart, int progressEnd);
  bool Run();

  // Limits on leading bad blocks (pages before the first good block).
  static constexpr std::uint32_t kLevel0Limit = 49024;
  static constexpr std::uint32_t kLimit = 16000;
  // The fast blanking check tests the blocks below this and erases the rest.
  static constexpr std::uint32_t kFastFrom = 256;

 private:
  // How a failed block test ends the scan: with the scan's failure text, or
  // leaving the last progress text as it is.
  enum class Failure { Message, Silent };

  bool SetUpPages();
  bool RunLevel(int level);
  bool EndStep();

  bool Level0();
  bool Level1or3(int level);
  bool Level2();
  bool Level4();
  bool Level5();
  bool Level6();

  // ---- one block ----
  bool InFastRegion(std::uint32_t b) const { return fast_ && b >= kFastFrom; }
  // Block form: the answer goes into the block's status byte.
  bool TestBlock(std::uint32_t b, std::uint32_t seed, std::uint8_t modeA, std::uint8_t modeB, Failure failure);
  // Page form: the answers go into the block's row of the per-page results.
  bool TestPages(std::uint32_t b, std::uint32_t seed, std::uint8_t modeA, std::uint8_t modeB);
  void Judge(std::uint32_t b);
  bool PagesPass(std::uint32_t b) const;
  void JudgePages(std::uint32_t b);
  void FillRow(std::uint32_t b);
  // The fast region's erase in place of a test; false only when the device is gone.
  bool EraseInstead(std::uint32_t b);
  // The block form of a judged pass: the fast region's erase or a test and
  // its judgement, then the limit; false when the scan ends.
  bool JudgedBlockStep(std::uint32_t b, std::uint32_t seed, std::uint8_t modeA, std::uint8_t modeB, Failure failure,
                       std::uint32_t limit);
  // True (after showing "Too many bad block") when no good block came early enough.
  bool TooManyLeadingBad(std::uint32_t b, std::uint32_t limit);

  // ---- passes and texts ----
  // A pass begins: `passes` is the level's number of passes.
  void BeginPass(int passes);
  void Progress(std::uint32_t b, const std::string& marker);
  // Level 2's erase and re-test passes show "<marker><bad>/<N>".
  void ProgressCount(std::uint32_t b, const std::string& marker);
  void MoveGauge(std::uint32_t b);
  bool Fail(Failure failure);
  bool FailMessage() { return Fail(Failure::Message); }
  void FreeResults();
  bool DeviceGone() const { return !w_.OwnsSlot(); }

  // Seed table of levels 2 and 3: (block, seed), shuffled.
  struct SeedEntry {
    std::uint32_t block;
    std::uint32_t seed;
  };
  std::vector<SeedEntry> SeedTable();

  ProductThread& w_;
  const int start_, end_;
  ProductionSettings settings_;
  std::uint32_t blocks_ = 0;  // N
  int pages_ = 0;
  bool pageMode_ = false;
  bool fast_ = false;
  std::uint8_t setting_ = 0, ecc_ = 0;
  int mode_ = 0;
  std::string modeName_;
  std::array<std::uint8_t, kPageMapPages> pageMap_{};
  int bad_ = 0;
  bool goodSeen_ = false;
  int gaugeBase_ = 0;
  int passDivisor_ = 1;
};

}  // namespace production
