// Size of the controller's system area (the images and spare blocks at the
// start of the flash), in 4 MiB units.
#include <cstdio>

#include "production/product_thread.h"

namespace production {

namespace {

constexpr std::int64_t kUnitBytes = 0x400000;  // 4 MiB
constexpr int kMaxUnits = 255;                 // one byte of the configuration block

std::int64_t RoundUp(std::int64_t x, std::int64_t b) { return b > 0 ? (x + b - 1) / b * b : x; }

std::string SizeLabel(const std::string& title, std::int64_t mb) {
  char text[64];
  std::snprintf(text, sizeof text, ": %lldMB", static_cast<long long>(mb));
  return title + text;
}

void Warn(const char* text) {
  platform::ui::Application->MessageBox(text, "Warning", platform::ui::MB_ICONWARNING | platform::ui::MB_OK);
}

}  // namespace

// 0 when the system area would not fit the configuration block's one byte.
int ProductThread::GetSystemAreaSize() {
  const ProductionControls& c = Window.WorkerControls();
  const FileListInspection files = Window.CurrentInspection();
  const std::int64_t block = BlockSize;
  std::int64_t sum = RoundUp(files.iProgramSize, block) + RoundUp(files.iPreferSize, block) +
                     RoundUp(files.iTelbookSize, block);
  if (c.chkISOupgrade && c.chkISOupgrade->Checked()) sum += RoundUp(files.iIsoSize, block);
  sum += 4 * block;
  sum *= 2;
  sum = RoundUp(sum, kUnitBytes);
  const std::string title = Ui("SystemAreaSizeStr");
  if (c.labSystemArea) c.labSystemArea->SetCaption(SizeLabel(title, sum / 1048576));
  std::int64_t units = sum / kUnitBytes;
  if (units < 1) units = 1;

  if (c.SystemAreachk && c.SystemAreachk->Checked()) {
    const int index = c.SystemAreaComBo ? c.SystemAreaComBo->ItemIndex() : 0;
    const std::int64_t fixedMb = (static_cast<std::int64_t>(index < 0 ? 0 : index) + 1) * 4;
    if (c.labSystemArea) c.labSystemArea->SetCaption(SizeLabel(title, fixedMb));
    const std::int64_t fixedUnits = fixedMb / 4;
    if (fixedUnits < units) Warn("The system area size you set is too small!");
    units = fixedUnits;
  }
  if (units > kMaxUnits) {
    Warn("The system area size is too large!");
    return 0;
  }
  return static_cast<int>(units);
}

}  // namespace production
