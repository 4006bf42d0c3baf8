// Page analysis of the blanking check: per-page results of sample blocks,
// the choice of the best pages and the page modes.
#pragma once

#include <cstdint>
#include <vector>

namespace production {

// Page modes 0..6; 7 asks for the automatic detection.
inline constexpr int kPageModeAll = 6;
inline constexpr int kPageModeAuto = 7;

// The page map sent to the controller has room for this many pages.
inline constexpr int kPageMapPages = 256;

// One entry of a page list: a page and the number of rows in which it passed.
struct PageScore {
  int page = 0;
  int good = 0;
};

class CMyPage {
 public:
  // rows x pagesPerRow result bytes (255 minus the corrected bit errors), row-major.
  CMyPage(int rows, int pagesPerRow, int eccThreshold, const std::uint8_t* results);
  virtual ~CMyPage() = default;

  // mask := pagesPerRow bytes of 0, then 255 for the first `count` pages of `list`.
  void MakePageMask(const std::vector<PageScore>& list, int count, std::uint8_t* mask) const;
  // blockTable[row] := 255 when no page of the mask fails in the row, else 0
  // (0 as well when the mask selects no page).
  void MarkBlocks(const std::uint8_t* mask, std::uint8_t* blockTable) const;
  // unit x the number of rows marked 255.
  int CountSize(const std::uint8_t* blockTable, int unit) const;
  // Tries page sets of falling size from two orderings of the pages by how
  // often they pass, logs each set's size to log/page_and_size.txt, and puts
  // the best ordering's first min(120, pages) pages into `mask`.
  void SelectBestPages(std::uint8_t* mask) const;

  // A result byte fails when it shows more bit errors than the threshold.
  bool Fails(std::uint8_t result) const { return 255 - int{result} > eccThreshold_; }

 private:
  int rows_ = 0;
  int pagesPerRow_ = 0;
  int eccThreshold_ = 0;
  std::vector<std::uint8_t> results_;
};

// Fills map[0..pages-1] with the pages of `mode` (0..6); false (map all zero)
// for a mode above 6.
bool PageMapForMode(std::uint8_t* map, int mode, int pages);
// True when every page whose mask byte is 255 has 255 - result <= threshold.
bool CheckPageResults(const std::uint8_t* mask, const std::uint8_t* results, int pages, int threshold);

}  // namespace production
