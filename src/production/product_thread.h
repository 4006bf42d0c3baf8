// The production worker: one thread per device, carrying it through one run.
// The object holds everything the run knows about its device (drive letter,
// slot panel, open handle, flash geometry, block and page tables,
// configuration areas, image paths); every stage is a member or a free
// function below, grouped by stage.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/scsi/scsi.h"
#include "platform/ui/ui.h"
#include "production/main_window_link.h"

namespace production {

using platform::HANDLE;
using platform::INVALID_HANDLE_VALUE;

class CMyPage;

inline constexpr std::size_t kAreaSize = 8192;  // configuration area, bitmaps, page table
inline constexpr std::size_t kCfgBlockSize = 512;
using Area = std::array<std::uint8_t, kAreaSize>;

// Registry key of the worker's two values ("BlocksPerChip", "LogBiTable").
inline constexpr const char* kWorkerRegistryKey = "SoftWare\\ZOQQ471\\DUVadi";

class ProductThread : public platform::ui::TThread {
 public:
  // Created suspended; the caller resumes it. The worker frees itself when
  // its run is over.
  ProductThread(IProductionWindow& window, char driveLetter, int slotIndex, TStaticText* statusText,
                TCGauge* gauge, TImage* picture, const char* volumeLabel, TStaticText* flashText,
                TStaticText* portText);
  ~ProductThread() override;

  ProductThread(const ProductThread&) = delete;
  ProductThread& operator=(const ProductThread&) = delete;

  // ---- progress and counters ----
  // Stores the value and hands it to the gauge on the UI thread (waits).
  void SyncGaugeProgress(int value);
  void ApplyGaugeProgress();  // UI thread
  // Counts the finished run into the main window's counters and their texts.
  void UpdateCounters();

  // Whether the slot still belongs to this worker (same letter and
  // generation as when the worker was made).
  bool OwnsSlot() const;
  // The slot's status text and its colour, written only while the slot is
  // still this worker's.
  void ShowStatus(const std::string& text, platform::ui::TColor color = platform::ui::clWindowText);
  void ShowFailure(const std::string& text) { ShowStatus(text, platform::ui::clRed); }

  // ---- system area ----
  // In 4 MB units, at least 1; 0 (after a warning) when the area would not
  // fit the configuration block's one byte, which fails the run.
  int GetSystemAreaSize();

  // ---- flash identification and flash tables ----
  // Name of the matching table file in the flash folder, "0" when none; sets
  // the flash type name.
  std::string FindFlashType(std::uint32_t idLow, std::uint32_t maker, int chipCount);
  bool LoadCfgFile(const std::string& path);

  // ---- configuration block ----
  bool ReadDeviceCfg();
  bool WriteCfgBlock(bool fwUpgrade);
  bool BuildCfgInfo(bool fwUpgrade);
  // Steps shared by WriteCfgBlock and BuildCfgInfo: chip count, signature,
  // good-block bitmap and list, page table, system area, disk split share,
  // checksum, name cleared.
  void PrepareCfgBlock(bool fwUpgrade);
  // Bad-block count of the block status table; with the table logs on and
  // the device degraded, the list goes to "<slot>_bi_tab_cfg.txt".
  void CountBadBlocksAndLog();

  // ---- device bad-block map and usable capacity ----
  bool ReadBadBlockBitmap(int& badPercent);
  bool CheckUsableCapacity();

  // ---- page usability table ----
  // The first usable page after `page`; false when none is left in a block.
  bool NextUsablePage(int& page) const;
  bool IsPageUsable(int page) const;
  // usability[p] := 0 where bit p of `bitmap` is set, else 255.
  void ExpandPageBitmap(const std::uint8_t* bitmap);

  // ---- table logs (files in the log folder) ----
  bool WriteBadBlockLog(const std::string& fileName);
  void WritePageTableLog(const std::string& fileName);
  void WriteEccTableLog(const std::string& fileName);
  bool WriteModeEccLog(bool first, int slotIndex, int mode, std::uint32_t block, const std::uint8_t* results,
                       int pages);

  // ---- hub port ----
  bool ShowPortCaption(char driveLetter, TStaticText* control);

  // Scans
  // The blanking check: tests every block at the scan level of the settings
  // and leaves the verdict in BlockStatus (255 good). False: the scan stopped
  // and the status text says why.
  bool FlashBlockScan(int progressStart, int progressEnd);
  // The page mode 0..5 under which 16 sample blocks pass best, -1 when none.
  int DetectPageMode();
  // Erases every block; a block whose erase fails is bad.
  bool EraseScan(int progressStart, int progressEnd);
  // The scans' pseudo-random source (0..32767). Each worker owns one, so
  // workers never share a sequence; SeedRandomFromClock seeds it with the
  // clock's time in seconds (tests fix the sequence through the clock).
  class ScanRandom {
   public:
    void Seed(std::uint32_t seed) { state_ = seed; }
    int Next() {
      state_ = state_ * 214013u + 2531011u;
      return static_cast<int>((state_ >> 16) & 0x7FFF);
    }

   private:
    std::uint32_t state_ = 1;
  };
  ScanRandom Random;  // scans only
  void SeedRandomFromClock();

  // Disk split
  bool WriteHiddenFiles(int gaugeStart, int gaugeEnd);
  std::uint64_t GetImageFileSize(const std::string& imagePath);
  bool WriteImageFile(char driveLetter, const std::string& imagePath, int gaugeStart, int gaugeEnd);

  // SPI flash devices
  bool WriteSpiMusicFiles();
  bool DumpSpiProgramPrefer(const std::string& programPath, const std::string& readbackName,
                            const std::string& preferPath);
  bool CompareSpiReadback(const std::string& programPath, const std::string& readbackName,
                          const std::string& preferPath);
  bool DumpSpiFirmware(const std::string& outputPath);

  // Run (Execute and its helpers)
  // Working values of one run.
  struct RunState {
    int base = 0;                 // B: 300 with the blanking check, else 0; the gauge runs to B + 100
    bool earlyFailure = false;    // failed before the configuration block: no configuration info
    bool spiOnly = false;         // the device has SPI flash only
    int programIndex = -1;        // list entry of the firmware image
    int newFirmware = 0;          // 1 when the "_new.bin" image was chosen
    std::string tablePath;        // flash table file
    std::uint64_t startMs = 0;    // monotonic clock at the run's begin
    std::int64_t sizeMB = 0;      // shown in the result line
    bool counted = false;         // raised the running count (and must lower it)
    // The running stage's failure text and mark: what Fail(run) shows, also
    // when the stage meets an exception.
    std::string failText;
    bool failEarly = true;
    void Stage(std::string text, bool early) {
      failText = std::move(text);
      failEarly = early;
    }
  };
  // What a part of the run leads to: the next part, the success end or the
  // failure end.
  enum class RunStep { Next, Success, Failure };

  // Opens the device volume for the run (closing a handle still open), and
  // closes it (at most once: the handle is invalid afterwards).
  bool OpenDeviceHandle();
  void CloseDeviceHandle();

 protected:
  void Execute() override;

 private:
  RunStep RunStages(RunState& run);
  RunStep OpenAndCheckFiles(RunState& run);     // open, firmware choice, file checks
  void BeginRun(RunState& run);                 // running count, panel, start time
  RunStep IdentifyDevice(RunState& run);        // bonding, flash ID, SPI-only test
  RunStep PrepareFlash(RunState& run);          // flash table, system area, bad-block stage
  RunStep DeviceMapStage(RunState& run);        // bad blocks from the device's own map
  RunStep ConfigureController(RunState& run);   // configuration block, FSM init, SDK check
  RunStep DownloadImages(RunState& run);
  struct ImageDownload;
  RunStep DownloadImage(RunState& run, const ImageDownload& image);
  RunStep CheckAndStartDisk(RunState& run);     // parity check, module number, start disk
  RunStep FinishSpiDevice(RunState& run);       // read-back check, flash image, size
  RunStep FinishUserDisk(RunState& run);        // reopen and size, format or label, file copy
  RunStep FormatUserDisk(RunState& run);
  RunStep SetLabelIfNeeded(RunState& run, const std::string& label);
  RunStep CopyListedFiles(RunState& run, const std::vector<std::string>& files, const std::vector<int>& skipped,
                          bool skipBinFiles);
  RunStep SplitDisk(RunState& run);
  RunStep WriteHiddenImage(RunState& run);
  RunStep SucceedRun(RunState& run);            // the pass; Failure when no stage passed
  void FailRun(RunState& run);                  // the failure's configuration info, picture, log
  void EndRun(RunState& run);                   // running count, counters, a removed device's panel

  RunStep Fail(RunState& run, const std::string& text, bool early);
  RunStep Fail(RunState& run) { return Fail(run, run.failText, run.failEarly); }
  void Passed(int progress);
  void ShowProgress(int value);                 // the gauge, while the slot is this run's
  void ShowRunning(const std::string& text);    // stage text + "...", window-text colour
  void SetPanelText(TStaticText* control, const std::string& text);
  void ShowPicture(const char* fileName);

 public:
  // ---- fields ----
  IProductionWindow& Window;
  std::string DriveLetter;                  // one character
  TStaticText* StatusText = nullptr;        // D1infoStr..D8infoStr
  TStaticText* FlashText = nullptr;         // TextF1..TextF8
  TStaticText* PortText = nullptr;          // TextP1..TextP8
  TCGauge* Gauge = nullptr;                 // ProgressBar1..ProgressBar8
  TImage* Picture = nullptr;                // infoImage1..infoImage8
  std::string VolumeLabel;                  // LabelEdit at construction
  int SuccessFlag = 0;                      // 1 once a stage passed, 0 after a failure
  int SystemAreaUnits = 0;                  // 4 MB units
  int EccMode = 0;                          // of the loaded configuration block
  std::uint32_t FlashIdLow = 0;             // NAND ID bytes 2..5, byte 2 most significant
  std::uint32_t FlashIdHigh = 0;            // NAND ID byte 1 (maker)
  int ChipCount = 0;
  int BlocksPerChip = 0;
  int PageSize = 0;                         // 512..8192
  int SectorUnit = 0;                       // 512 or 1024
  int PagesPerBlock = 0;
  int BlockSize = 0;                        // PageSize x PagesPerBlock, set by the run
  int EccBits = 0;
  int EccThreshold = 0;
  std::string FlashTypeName;
  int BadBlockCount = 0;                    // blocks not good when the block was written
  HANDLE hDevice = INVALID_HANDLE_VALUE;
  std::vector<std::uint8_t> BlockStatus;    // one byte per block, 255 good; sized by the run
  Area CfgArea{};                           // first 512 bytes: the configuration block
  Area BlockBitmap{};                       // bit per block, most significant first, set = good
  int SlotIndex = 0;                        // 0..7
  bool BlocksPerChipOverride = false;       // every block counts as good
  bool DegradeFlag = false;                 // accepted with reduced capacity
  std::vector<std::uint8_t> PageResults;    // per-page results of the scanned blocks
  std::unique_ptr<CMyPage> PageAnalysis;
  Area PageUsable{};                        // byte per page of a block, 255 usable
  int ProgressValue = 0;                    // handed to the gauge
  bool PageTableMode = false;               // page table in force for this run
  bool LogBiTable = false;                  // table logs on
  std::string ProgramPath;
  std::string PreferPath;
  std::string TelbookPath;
  std::string IsoPath;
  std::string PassPath;
  int BadCount = 0;
  int LanguageIndex = 0;                    // copy of the window's at construction
  int LastLoggedPageMode = -1;
  bool DeviceCfgValid = false;
  bool DevicePageTable = false;
  std::uint8_t DeviceEccMode = 0;
  Area DeviceCfgCopy{};                     // block read from the device
  std::uint64_t ImageSize = 0;              // hidden-disk image file size
  std::uint32_t SlotGenerationAtStart = 0;

  // Texts of the worker's language.
  std::string Msg(std::string_view english) const { return Window.MessageText(english, LanguageIndex); }
  std::string Ui(std::string_view name) const { return Window.UiText(name); }
  std::string PageModeName(int mode) const { return Window.PageModeText(mode, LanguageIndex); }
};

// ---- shared services ----
// Appends one line (text + CR LF) to log/1.txt in the program folder; lines of
// concurrent workers never interleave. A file that cannot be written loses it.
void AppendLogLine(const std::string& text);
// Integer values under the worker's registry key.
int RegReadInt(const std::string& name, int fallback);
bool RegWriteInt(const std::string& name, int value);
std::uint8_t GetBondingID(HANDLE h);
bool FwParityCheck(HANDLE h);
std::string IntToAnsiString(int value);

// Replaces log/<name> whole (a file every worker rewrites, such as
// "page_and_size.txt"): two workers never mix their texts in it.
bool RewriteLogFile(const std::string& name, const std::string& text);

// ---- flash tables ----
std::uint64_t ReadCfgFileNandId(int byteCount, const std::string& path);
std::string ReadCfgTypeName(const std::string& path);
bool SendFlashTableFile(HANDLE h, const std::string& path);

// ---- bitmaps (bit i: byte i / 8, bit 7 - i % 8) ----
void SetBit(std::uint8_t* bitmap, std::uint32_t index, bool value);
std::uint8_t TestBitmapBit(const std::uint8_t* bitmap, std::uint32_t index);

// ---- disk size ----
// Size of the visible disk in MiB, 0 on failure; shown in `sizeLabel` when given.
std::int64_t bGetDiskSizeMB(char driveLetter, TStaticText* sizeLabel = nullptr);

// ---- image downloads (on the run's open handle) ----
bool WriteSetup(HANDLE h, const std::string& path);
bool WriteImageData(HANDLE h, const std::string& path, int newFirmware);
bool WritePreferData(HANDLE h, const std::string& path);
bool WriteEnd(HANDLE h);
bool CheckSpiFlash(HANDLE h);
bool StartDisk(HANDLE h);

// ---- FSM download ----
bool DownloadFsmFile(char driveLetter, std::int32_t parameter, const std::string& path);
bool SendDownloadFile(HANDLE h, const std::string& path);
bool SendFileSum(HANDLE h, const std::string& path);

// ---- hub port ----
// The port program's code, 0 when it gave none; a program still running
// after the time limit (real time) is killed and gives 0.
int RunUsbDos(int number, std::uint32_t timeLimitMs = 10000);
int FixUsbPort(HANDLE h, std::uint8_t& hub, std::uint8_t& port, std::uint8_t& digit);

// Formatting, label, disk check, copy
// The polling of the format tool and the disk check: a look every intervalMs
// (500), at most formatWaits (241, about 120 s) and checkWaits (30, 15 s)
// waits; the limits are real time. Tests shorten them.
struct DiskToolTiming {
  std::uint32_t intervalMs = 500;
  int formatWaits = 241;
  int checkWaits = 30;
};
DiskToolTiming& CurrentDiskToolTiming();
int GetFatFlag(char driveLetter);
bool FormatDrive(char driveLetter, bool quick, int fatFlag, const std::string& label);
bool SetDriveLabel(char driveLetter, const std::string& label);
std::string GetDriveLabel(char driveLetter);
bool CheckDiskDrive(char driveLetter);
bool CopyDirTree(const std::string& sourceFolder, const std::string& targetFolder);
bool WideCopyFile(const std::string& source, const std::string& target, bool failIfExists);
// The run's file copy: every entry of `entries` except the positions in
// `skip` and names containing ".bin" (any case) when `skipBin`; a folder with
// CopyDirTree into the drive root, a file to the root under its own name,
// replacing what is there. `beforeEach` runs before each entry that is
// copied; with nothing to copy the drive is not touched.
bool CopyFileListToDrive(char driveLetter, const std::vector<std::string>& entries, const std::vector<int>& skip,
                         bool skipBin, const std::function<void()>& beforeEach = {});
// Why the calling thread's last copy failed, naming the file ("" after a success).
std::string LastCopyError();

// Disk split
bool ChangeToHiddenDisk(HANDLE h);
bool StopDeviceUnit(HANDLE h);

}  // namespace production
