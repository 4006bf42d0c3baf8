// Page analysis of the blanking check: per-page results of sample blocks,
// the choice of the best pages and the page modes.
#pragma once

#include <cstdint>
#include <vector>

namespace production {

class CMyPage {
 public:
  // rows x pagesPerRow result bytes (255 minus the corrected bit errors).
  CMyPage(int rows, int pagesPerRow, int eccThreshold, const std::uint8_t* results);

  // mask := pagesPerRow bytes of 0, then 255 for the first `count` pages of
  // `pageList` (pairs: page index, good count).
  void MakePageMask(const int* pageList, int count, std::uint8_t* mask) const;
  void MarkBlocks(const std::uint8_t* mask, std::uint8_t* blockTable) const;
  int CountSize(const std::uint8_t* blockTable, int unit) const;
  void SelectBestPages(std::uint8_t* mask);

 private:
  int rows_ = 0;
  int pagesPerRow_ = 0;
  int eccThreshold_ = 0;
  std::vector<std::uint8_t> results_;
};

// Fills `map` with the pages of `mode` (0..6); false for a mode above 6.
bool PageMapForMode(std::uint8_t* map, int mode, int pages);
// True when every page whose mask byte is 255 has 255 - result <= threshold.
bool CheckPageResults(const std::uint8_t* mask, const std::uint8_t* results, int pages, int threshold);
// Seeds the runtime's generator (per thread) with the time in seconds.
void SeedRandomFromClock();

}  // namespace production
