// Page maps of the page modes, the analysis of per-page block-test results
// and the automatic page-mode detection.
#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <utility>

#include "device/commands.h"
#include "platform/clock/clock.h"
#include "production/product_thread.h"
#include "production/scan_page.h"

namespace production {

bool PageMapForMode(std::uint8_t* map, int mode, int pages) {
  const int n = std::max(pages, 0);
  std::fill(map, map + n, std::uint8_t{0});
  auto set = [&](int p, std::uint8_t v) {
    if (p >= 0 && p < n) map[p] = v;
  };
  switch (mode) {
    case 0:
      for (int i = 2; i < n - 1; i += 4) set(i, 255), set(i + 1, 255);
      set(0, 255), set(1, 255);
      set(n - 1, 0), set(n - 2, 0);
      return true;
    case 1:
      for (int i = 0; i < n - 1; i += 4) set(i, 255), set(i + 1, 255);
      return true;
    case 2:
    case 3:
      for (int p = mode - 2; p < n; p += 2) set(p, 255);
      return true;
    case 4:
      for (int p = 0; p < n / 2; ++p) set(p, 255);
      return true;
    case 5:
      for (int p = n / 2; p < n / 2 + n / 2; ++p) set(p, 255);
      set(0, 255), set(n - 1, 0);
      return true;
    case 6:
      std::fill(map, map + n, std::uint8_t{255});
      return true;
    default:
      return false;
  }
}

bool CheckPageResults(const std::uint8_t* mask, const std::uint8_t* results, int pages, int threshold) {
  for (int p = 0; p < pages; ++p)
    if (mask[p] == 255 && 255 - int{results[p]} > threshold) return false;
  return true;
}

CMyPage::CMyPage(int rows, int pagesPerRow, int eccThreshold, const std::uint8_t* results)
    : rows_(std::max(rows, 0)), pagesPerRow_(std::max(pagesPerRow, 0)), eccThreshold_(eccThreshold),
      results_(results, results + std::size_t(rows_) * std::size_t(pagesPerRow_)) {}

void CMyPage::MakePageMask(const std::vector<PageScore>& list, int count, std::uint8_t* mask) const {
  std::fill(mask, mask + pagesPerRow_, std::uint8_t{0});
  const int n = std::min<int>(count, static_cast<int>(list.size()));
  for (int i = 0; i < n; ++i)
    if (list[i].page >= 0 && list[i].page < pagesPerRow_) mask[list[i].page] = 255;
}

void CMyPage::MarkBlocks(const std::uint8_t* mask, std::uint8_t* blockTable) const {
  for (int r = 0; r < rows_; ++r) {
    const std::uint8_t* row = results_.data() + std::size_t(r) * std::size_t(pagesPerRow_);
    int lowest = 256;
    for (int p = 0; p < pagesPerRow_; ++p)
      if (mask[p] == 255) lowest = std::min<int>(lowest, row[p]);
    blockTable[r] = lowest <= 255 && !Fails(static_cast<std::uint8_t>(lowest)) ? 255 : 0;
  }
}

int CMyPage::CountSize(const std::uint8_t* blockTable, int unit) const {
  return unit * static_cast<int>(std::count(blockTable, blockTable + rows_, std::uint8_t{255}));
}

namespace {

// Orders the list from its second entry on by falling good count: entry i
// is swapped with every later entry that beats it, so equal counts keep the
// order the swaps leave them in.
void SortFromSecond(std::vector<PageScore>& list) {
  for (std::size_t i = 1; i < list.size(); ++i)
    for (std::size_t j = i; j < list.size(); ++j)
      if (list[i].good < list[j].good) std::swap(list[i], list[j]);
}

}  // namespace

void CMyPage::SelectBestPages(std::uint8_t* mask) const {
  const int pages = pagesPerRow_;
  std::vector<int> good(pages, 0);
  for (int r = 0; r < rows_; ++r)
    for (int p = 0; p < pages; ++p) good[p] += Fails(results_[std::size_t(r) * pages + p]) ? 0 : 1;

  // List B keeps page 0 first, list C page 1 (then page 0).
  std::vector<PageScore> lists[2];
  for (int p = 0; p < pages; ++p) lists[0].push_back({p, good[p]});
  lists[1] = lists[0];
  if (pages >= 2) std::swap(lists[1][0], lists[1][1]);
  SortFromSecond(lists[0]);
  SortFromSecond(lists[1]);

  std::string log = "=========pages:size:which_page_info========\n";
  std::vector<std::uint8_t> trial(pages), marks(rows_);
  const int candidates = (pages / 4) & ~1;
  int bestSize = 0, bestSet = 0;
  for (int k = 0; k < candidates; ++k) {
    const int set = k % 2;
    const int n = pages - 8 * (k / 2);
    MakePageMask(lists[set], n, trial.data());
    MarkBlocks(trial.data(), marks.data());
    const int size = CountSize(marks.data(), n);
    if (size > bestSize) bestSize = size, bestSet = set;
    char line[48];
    std::snprintf(line, sizeof line, "%s%d:%d:%d\n", k > 0 && k % 8 == 0 ? "\n" : "", n, size, set);
    log += line;
  }
  RewriteLogFile("page_and_size.txt", log);
  MakePageMask(lists[bestSet], std::min(120, pages), mask);
}

void ProductThread::SeedRandomFromClock() { Random.Seed(static_cast<std::uint32_t>(platform::TimeInSeconds())); }

int ProductThread::DetectPageMode() {
  constexpr int kSamples = 16;
  ShowStatus(Msg("Mode Detection"));
  const int blocks = ChipCount * BlocksPerChip;
  const int pages = PagesPerBlock;
  // Sixteen distinct samples and a page map that holds the block's pages.
  if (blocks < kSamples || pages < 1 || pages > kPageMapPages) return -1;
  const int span = blocks / kSamples;
  SeedRandomFromClock();
  std::array<std::uint32_t, kSamples> sample{};
  for (int s = 0; s < kSamples; ++s) sample[s] = static_cast<std::uint32_t>(Random.Next() % span + s * span);

  const std::uint8_t ecc = static_cast<std::uint8_t>(EccThreshold);
  std::vector<std::uint8_t> rows(std::size_t(kSamples) * pages);
  std::array<std::uint8_t, kPageMapPages> map{};
  bool firstLogged = false;
  // Sends the map of `mode` and tests every sample under it.
  auto testSamples = [&](int mode) {
    PageMapForMode(map.data(), mode, pages);
    if (!device::cmd_bSetPageTable(hDevice, map.data(), static_cast<std::uint32_t>(pages))) return false;
    for (int s = 0; s < kSamples; ++s) {
      std::uint8_t* row = rows.data() + std::size_t(s) * pages;
      if (!device::cmd_bBlockTest(hDevice, sample[s], 1, static_cast<std::uint32_t>(Random.Next() % 65535), 1, 3, 0,
                                  ecc, row, 1, static_cast<std::uint32_t>(pages))) {
        ShowStatus(Ui("RealBlankingCheckStr") + Ui("FailMsg"));
        return false;
      }
      if (LogBiTable) {
        WriteModeEccLog(!firstLogged, SlotIndex, mode, sample[s], row, pages);
        firstLogged = true;
      }
    }
    return true;
  };

  if (!testSamples(kPageModeAll)) return -1;
  {
    std::vector<std::uint8_t> bestPages(pages);
    CMyPage(kSamples, pages, EccThreshold, rows.data()).SelectBestPages(bestPages.data());
  }
  PageResults.clear();
  PageResults.shrink_to_fit();

  int best = -1, bestScore = 0;
  for (int mode = 0; mode <= 5; ++mode) {
    if (!testSamples(mode)) return -1;
    int passing = 0;
    for (int s = 0; s < kSamples; ++s)
      passing += CheckPageResults(map.data(), rows.data() + std::size_t(s) * pages, pages, EccThreshold) ? 1 : 0;
    const int score = passing * pages / 2;
    if (score > bestScore) bestScore = score, best = mode;
  }
  return best;
}

}  // namespace production
