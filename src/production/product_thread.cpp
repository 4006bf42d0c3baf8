// The worker object and its small shared services: progress hand-over,
// counters, the event log line, the registry pair, bonding ID and parity.
#include "production/product_thread.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "device/commands.h"
#include "platform/files/open_file.h"
#include "platform/paths/paths.h"
#include "platform/registry/registry.h"
#include "production/scan_page.h"

namespace production {

ProductThread::ProductThread(IProductionWindow& window, char driveLetter, int slotIndex, TStaticText* statusText,
                             TCGauge* gauge, TImage* picture, const char* volumeLabel, TStaticText* flashText,
                             TStaticText* portText)
    : TThread(true), Window(window) {
  SetFreeOnTerminate(true);
  DriveLetter = std::string(1, driveLetter);
  StatusText = statusText;
  Gauge = gauge;
  Picture = picture;
  VolumeLabel = volumeLabel ? volumeLabel : "";
  FlashText = flashText;
  PortText = portText;
  SlotIndex = slotIndex;
  PageUsable.fill(0xFF);
  LanguageIndex = window.CurrentLanguageIndex();
  LastLoggedPageMode = -1;
  SlotGenerationAtStart = window.SlotGeneration(slotIndex);
}

// The page analysis and the per-page results go with their owners; the
// block status table is the run's to free. The run closes its handle at its
// end; a worker that never ran, or a run left by an exception of its last
// steps, still leaves no handle open.
ProductThread::~ProductThread() { CloseDeviceHandle(); }

void ProductThread::SyncGaugeProgress(int value) {
  ProgressValue = value;
  Synchronize([this] { ApplyGaugeProgress(); });
}

void ProductThread::ApplyGaugeProgress() {
  if (Gauge) Gauge->SetProgress(ProgressValue);
}

void ProductThread::UpdateCounters() {
  // One lock over the count and its three texts, so that the texts of two
  // workers finishing together always show the later reading.
  static std::mutex countersMutex;
  std::lock_guard lock(countersMutex);
  CounterValues c = Window.RecordFinishedRun(SuccessFlag != 0);
  const ProductionControls& controls = Window.WorkerControls();
  if (controls.TotalStr) controls.TotalStr->SetCaption(std::to_string(c.total));
  if (controls.SuccessStr) controls.SuccessStr->SetCaption(std::to_string(c.passed));
  if (controls.FailStr) controls.FailStr->SetCaption(std::to_string(c.failed));
}

bool ProductThread::OwnsSlot() const {
  return !DriveLetter.empty() && Window.SlotDriveLetter(SlotIndex) == DriveLetter[0] &&
         Window.SlotGeneration(SlotIndex) == SlotGenerationAtStart;
}

void ProductThread::ShowStatus(const std::string& text, platform::ui::TColor color) {
  if (!StatusText || !OwnsSlot()) return;
  StatusText->SetCaption(text);
  StatusText->SetFontColor(color);
}

void AppendLogLine(const std::string& text) {
  static std::mutex logMutex;
  const std::string folder = platform::ProgramFolder() + "log";
  const std::string line = text + "\r\n";
  std::lock_guard lock(logMutex);
  ::mkdir(folder.c_str(), 0777);  // an existing folder is fine; a failure shows at the open
  int fd = platform::OpenRegularFile(folder + "/1.txt", O_WRONLY | O_CREAT | O_APPEND);
  if (fd < 0) return;
  std::size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

namespace {

bool OpenWorkerKey(platform::TRegistry& reg) {
  reg.SetRootKey(platform::HKEY_LOCAL_MACHINE);
  return reg.OpenKey(kWorkerRegistryKey, true);
}

}  // namespace

int RegReadInt(const std::string& name, int fallback) {
  platform::TRegistry reg;
  if (!OpenWorkerKey(reg) || !reg.ValueExists(name)) return fallback;
  return reg.ReadInteger(name, fallback);
}

bool RegWriteInt(const std::string& name, int value) {
  platform::TRegistry reg;
  if (!OpenWorkerKey(reg)) return false;
  return reg.WriteInteger(name, value);
}

std::uint8_t GetBondingID(HANDLE h) {
  std::uint8_t id = 0;
  if (!device::cmd_bGetBondingId(h, &id)) return 0;
  return id;
}

bool FwParityCheck(HANDLE h) { return device::cmd_bFwParityCheck(h) != 0; }

std::string IntToAnsiString(int value) { return std::to_string(value); }

}  // namespace production
