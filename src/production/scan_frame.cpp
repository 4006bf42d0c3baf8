// The blanking check's frame: settings, page set-up, one block test and its
// judgement, the fast region, the limit on leading bad blocks, progress and
// status texts, and the end step that fills the block status table.
#include "production/scan_frame.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "device/commands.h"
#include "platform/ui/ui.h"

namespace production {

using platform::ui::clRed;
using platform::ui::clWindowText;

namespace {
void Toggle(platform::ui::TStaticText& text) {
  text.SetFontColor(text.FontColor() == clWindowText ? clRed : clWindowText);
}
}  // namespace

void ToggleColour(ProductThread& worker) {
  if (worker.StatusText && worker.OwnsSlot()) Toggle(*worker.StatusText);
}

void MoveGaugeTo(ProductThread& worker, int value) {
  if (value != worker.ProgressValue) worker.SyncGaugeProgress(value);
}

bool ProductThread::FlashBlockScan(int progressStart, int progressEnd) {
  return BlankingScan(*this, progressStart, progressEnd).Run();
}

BlankingScan::BlankingScan(ProductThread& worker, int progressStart, int progressEnd)
    : w_(worker), start_(progressStart), end_(progressEnd) {}

bool BlankingScan::Run() {
  settings_ = w_.Window.CurrentSettings();
  blocks_ = static_cast<std::uint32_t>(std::max(w_.ChipCount, 0)) *
            static_cast<std::uint32_t>(std::max(w_.BlocksPerChip, 0));
  pages_ = std::max(w_.PagesPerBlock, 0);
  pageMode_ = settings_.PageMode;
  fast_ = settings_.bFastBlkChk;
  setting_ = static_cast<std::uint8_t>(settings_.iPageSkip & 0xFF);
  ecc_ = static_cast<std::uint8_t>(w_.EccThreshold & 0xFF);
  // The run sizes the table; a table of another size is made to fit, new
  // entries bad until a scan says otherwise.
  if (w_.BlockStatus.size() != blocks_) w_.BlockStatus.resize(blocks_, 0);

  const int level = settings_.iScanLevel;
  // Without a page scan no end step would fill the table: an unknown level
  // is refused rather than leaving it as it was.
  if ((level < 0 || level > 6) && !pageMode_) return FailMessage();
  if (pageMode_ && !SetUpPages()) return false;

  w_.ShowStatus(w_.Ui("BlankingCheckSetupStr") + "...", clWindowText);
  w_.SyncGaugeProgress(start_);
  gaugeBase_ = start_;
  if (level >= 0 && level <= 6 && !RunLevel(level)) return false;
  return EndStep();
}

bool BlankingScan::SetUpPages() {
  // The page map holds 256 pages; a longer block cannot be page-scanned.
  if (pages_ < 1 || pages_ > kPageMapPages) return FailMessage();
  mode_ = settings_.PageModeSel;
  if (mode_ == kPageModeAuto) mode_ = w_.DetectPageMode();
  if (mode_ < 0 || mode_ > kPageModeAll) {
    w_.ShowStatus(w_.Msg("Mode Detection") + w_.Ui("FailMsg"));
    return false;
  }
  modeName_ = w_.PageModeName(mode_);
  PageMapForMode(pageMap_.data(), mode_, pages_);
  if (!device::cmd_bSetPageTable(w_.hDevice, pageMap_.data(), static_cast<std::uint32_t>(pages_))) {
    w_.ShowStatus("Send Pagetable fail");
    return false;
  }
  // Made once the table is in place, so that no failure leaves it behind.
  w_.PageResults.assign(std::size_t(blocks_) * std::size_t(pages_), 0);
  return true;
}

bool BlankingScan::RunLevel(int level) {
  switch (level) {
    case 0: return Level0();
    case 1: return Level1or3(1);
    case 2: return Level2();
    case 3: return Level1or3(3);
    case 4: return Level4();
    case 5: return Level5();
    default: return Level6();
  }
}

bool BlankingScan::EndStep() {
  if (pageMode_) {
    w_.PageAnalysis = std::make_unique<CMyPage>(static_cast<int>(blocks_), pages_, w_.EccThreshold,
                                                w_.PageResults.data());
    if (mode_ == kPageModeAll)
      w_.PageAnalysis->SelectBestPages(w_.PageUsable.data());
    else
      PageMapForMode(w_.PageUsable.data(), mode_, pages_);
    w_.PageAnalysis->MarkBlocks(w_.PageUsable.data(), w_.BlockStatus.data());
    if (w_.LogBiTable) {
      char name[32];
      std::snprintf(name, sizeof name, "%d_page_tab.txt", w_.SlotIndex);
      w_.WritePageTableLog(name);
      std::snprintf(name, sizeof name, "%d_Ecc_Tab.txt", w_.SlotIndex);
      w_.WriteEccTableLog(name);
    }
    w_.PageAnalysis.reset();
    FreeResults();
    if (mode_ == kPageModeAll && std::none_of(w_.PageUsable.begin(), w_.PageUsable.begin() + pages_,
                                              [](std::uint8_t u) { return u == 0xFF; })) {
      w_.ShowStatus(w_.Msg("Page mode error"));
      return false;
    }
  }
  w_.SyncGaugeProgress(end_);
  return true;
}

// ---- one block ----

bool BlankingScan::TestBlock(std::uint32_t b, std::uint32_t seed, std::uint8_t modeA, std::uint8_t modeB,
                             Failure failure) {
  if (device::cmd_bBlockTest(w_.hDevice, b, 1, seed & 0xFFFF, modeA, modeB, setting_, ecc_, &w_.BlockStatus[b], 0,
                             static_cast<std::uint32_t>(pages_)))
    return true;
  return Fail(failure);
}

bool BlankingScan::TestPages(std::uint32_t b, std::uint32_t seed, std::uint8_t modeA, std::uint8_t modeB) {
  std::uint8_t* row = w_.PageResults.data() + std::size_t(b) * std::size_t(pages_);
  if (device::cmd_bBlockTest(w_.hDevice, b, 1, seed & 0xFFFF, modeA, modeB, setting_, ecc_, row, 1,
                             static_cast<std::uint32_t>(pages_)))
    return true;
  FreeResults();
  return FailMessage();
}

void BlankingScan::Judge(std::uint32_t b) {
  if (w_.BlockStatus[b] == 255)
    goodSeen_ = true;
  else
    ++bad_;
}

bool BlankingScan::PagesPass(std::uint32_t b) const {
  return CheckPageResults(pageMap_.data(), w_.PageResults.data() + std::size_t(b) * std::size_t(pages_), pages_,
                          w_.EccThreshold);
}

void BlankingScan::JudgePages(std::uint32_t b) {
  if (!PagesPass(b)) ++bad_;
}

void BlankingScan::FillRow(std::uint32_t b) {
  std::fill_n(w_.PageResults.begin() + std::ptrdiff_t(b) * pages_, pages_, std::uint8_t{255});
}

bool BlankingScan::EraseInstead(std::uint32_t b) {
  w_.BlockStatus[b] = 255;
  if (device::cmd_bEraseBlock(w_.hDevice, b, 1)) {
    goodSeen_ = true;
    return true;
  }
  w_.BlockStatus[b] = 0;
  ++bad_;
  // A failed erase makes a bad block; a device that has gone makes every
  // later block "bad" and must end the scan instead.
  return !DeviceGone() || FailMessage();
}

bool BlankingScan::TooManyLeadingBad(std::uint32_t b, std::uint32_t limit) {
  if (w_.BlocksPerChipOverride || goodSeen_ || std::uint64_t{b} * std::uint32_t(pages_) <= limit) return false;
  w_.ShowFailure(w_.Msg("Too many bad block"));
  return true;
}

// ---- passes and texts ----

void BlankingScan::BeginPass(int passes) {
  passDivisor_ = passes > 1 ? (pageMode_ ? 2 : 4) : 1;
  gaugeBase_ = w_.Gauge ? w_.Gauge->Progress() : w_.ProgressValue;
}

void ShowBlinkingText(ProductThread& worker, const std::string& text) {
  if (!worker.StatusText || !worker.OwnsSlot()) return;
  Toggle(*worker.StatusText);
  worker.StatusText->SetCaption(text);
}

void BlankingScan::MoveGauge(std::uint32_t b) {
  const std::int64_t step = std::int64_t{end_ - start_} * b / passDivisor_ / std::max<std::uint32_t>(blocks_, 1);
  MoveGaugeTo(w_, gaugeBase_ + static_cast<int>(step));
}

void BlankingScan::Progress(std::uint32_t b, const std::string& marker) {
  if (b % 5 != 0) return;
  std::string text;
  if (pageMode_) {
    text = modeName_ + " " + std::to_string(b) + "/" + std::to_string(blocks_) + " " + w_.Msg("Bad") +
           (mode_ == kPageModeAll ? ": ?" : ": " + std::to_string(bad_));
  } else {
    text = w_.Ui("RealBlankingCheckStr") + marker + std::to_string(b) + "/" + std::to_string(blocks_) + " " +
           w_.Msg("Bad") + ": " + std::to_string(bad_);
  }
  MoveGauge(b);
  ShowBlinkingText(w_, text);
}

void BlankingScan::ProgressCount(std::uint32_t b, const std::string& marker) {
  if (b % 5 != 0) return;
  MoveGauge(b);
  ShowBlinkingText(w_, w_.Ui("RealBlankingCheckStr") + marker + std::to_string(bad_) + "/" + std::to_string(blocks_));
}

bool BlankingScan::Fail(Failure failure) {
  if (failure == Failure::Message) w_.ShowStatus(w_.Ui("RealBlankingCheckStr") + w_.Ui("FailMsg"));
  return false;
}

void BlankingScan::FreeResults() {
  w_.PageResults.clear();
  w_.PageResults.shrink_to_fit();
}

}  // namespace production
