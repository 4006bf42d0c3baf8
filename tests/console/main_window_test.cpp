// Start-up and close of the station as the operator meets them.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "console/other_forms.h"
#include "console/settings_dialog.h"
#include "platform/locale/locale.h"
#include "station_fixture.h"

namespace console::testing {
namespace {

using namespace platform::ui;
using MainWindow = StationTest;
using MainWindowConcurrency = StationTest;

std::int32_t RegValue(const char* key, const char* name) { return RegReadInteger(key, name, -99); }

TEST_F(MainWindow, CreationTakesTheGuardClearsThePortLogAndSeedsTheRegistryOnce) {
  WriteBytes(misc() / "port.log", "old");
  ASSERT_TRUE(RegWriteInteger(kWorkerKey, "BlocksPerChip", 4096));
  CreateForms();
  for (const TForm* w : std::initializer_list<const TForm*>{Form1, frmSetting, frmIsoMain, Form2, Form3})
    ASSERT_NE(w, nullptr);
  EXPECT_EQ(Application->MainForm(), Form1);
  EXPECT_EQ(Application->Title(), "test");  // the window's caption names the instance guard
  EXPECT_FALSE(Application->Terminated());
  ASSERT_TRUE(Form1->hInstanceMutex);
  EXPECT_TRUE(Form1->hInstanceMutex->Held());
  EXPECT_FALSE(fs::exists(misc() / "port.log"));
  EXPECT_EQ(PortLogPath.Get(), (home_ / "misc/port.log").string());
  EXPECT_EQ(Form1->FsmPath, (home_ / "misc/FSM.bin").string());
  EXPECT_EQ(RegValue(kWorkerKey, "BlocksPerChip"), 4096);
  EXPECT_EQ(RegValue(kWorkerKey, "LogBiTable"), 0);
  ASSERT_TRUE(RegWriteInteger(kWorkerKey, "LogBiTable", 1));
  DestroyForms();
  CreateForms();
  EXPECT_EQ(RegValue(kWorkerKey, "BlocksPerChip"), 4096);
  EXPECT_EQ(RegValue(kWorkerKey, "LogBiTable"), 1);
}

TEST_F(MainWindow, RegistryWritesReportTheStoresAnswer) {
  ASSERT_TRUE(RegWriteInteger(kStationKey, "LanguageID", 2));
  ASSERT_TRUE(RegWriteString(kStationKey, "AddDir", "/a"));
  fs::permissions(root_ / "registry.ini", fs::perms::owner_read);  // refused even for root
  EXPECT_FALSE(RegWriteInteger(kStationKey, "LanguageID", 3));
  EXPECT_FALSE(RegWriteString(kStationKey, "AddDir", "/b"));
  EXPECT_EQ(RegValue(kStationKey, "LanguageID"), 2);
}

TEST_F(MainWindow, ShowBindsTheSlotsAndRestoresTheLanguageChoice) {
  Start();
  EXPECT_EQ(platform::GetCurrentDir() + "/", platform::ProgramFolder());
  EXPECT_EQ(Form1->PageControl1.ActivePage(), &Form1->TabSheet4);
  for (int k = 0; k < kSlotCount; ++k) {
    const DeviceSlot& s = Form1->Slots[k];
    const std::string n = std::to_string(k + 1);
    EXPECT_EQ(s.statusText->Name() + " " + s.image->Name() + " " + s.gauge->Name() + " " + s.textP->Name() + " " +
                  s.textF->Name(),
              "D" + n + "infoStr infoImage" + n + " ProgressBar" + n + " TextP" + n + " TextF" + n);
    EXPECT_EQ(s.driveLetter, 0);
  }
  // Every control a worker reads or writes is the window's own, the disk
  // size label among them.
  const production::ProductionControls& c = Form1->WorkerControls();
  for (const TControl* control :
       std::initializer_list<const TControl*>{c.chkFwUpgrade, c.chkBlankCheck, c.chkClearFlash, c.chkISOupgrade,
                                              c.chkParityCheck, c.chknor, c.chkFormat, c.SystemAreachk,
                                              c.SystemAreaComBo, c.labSystemArea, c.LabelEdit, c.TntSelectFileList2,
                                              c.grpFileList, c.grpMPSetting, c.TotalStr, c.SuccessStr, c.FailStr,
                                              c.lblsiosize})
    EXPECT_TRUE(control && control->ParentForm() == Form1);
  EXPECT_EQ(c.lblsiosize->Name(), "lblsiosize");
  DestroyForms();
  const std::pair<int, TTntRadioButton TForm1::*> choices[] = {{1, &TForm1::TntRdoLangEng},
                                                               {2, &TForm1::TntRdoLangSC},
                                                               {3, &TForm1::TntRdoLangTC},
                                                               {7, &TForm1::TntRdoLangAuto}};
  for (auto [id, radio] : choices) {
    ASSERT_TRUE(RegWriteInteger(kStationKey, "LanguageID", id));
    Start();
    EXPECT_TRUE((Form1->*radio).Checked()) << id;
    EXPECT_EQ(Form1->TntRdoLangAuto.Checked(), id == 7) << id;
    DestroyForms();
  }
}

// A second instance tells the operator, in the language its window would
// speak, that another station runs and where, when the earlier one could
// record it; it shows no window and saves nothing, also when a signal closes
// it while the box is open.
TEST_F(MainWindow, ASecondInstanceSaysAnotherStationRunsAndEndsWithoutSaving) {
  struct Case {
    int languageId;                 // stored choice; 0 automatic (English here)
    std::optional<std::string> note;  // what the earlier station recorded
    std::string lockText;           // else: the lock file's text as left by an earlier holder
    std::string text;
    std::string caption;
  };
  const std::string english = "Another station is already running and holds the devices; this one closes.";
  const Case cases[] = {
      {0, "/line/7/", "", english + "\nProgram folder of the running station: /line/7/", "Warning"},
      {3, "/line/7/", "", "另一個量產工具已在執行並佔用裝置，本程式將關閉。\n執行中的量產工具的程式資料夾： /line/7/", "警告"},
      {2, std::nullopt, "", "另一个量产工具已在运行并占用设备，本程序将关闭。", "警告"},
      {1, std::nullopt, "99999999\n/gone/", english, "Warning"},  // a note of an ended process
      {1, std::nullopt, "x\n/odd/", english, "Warning"},
  };
  platform::SetSystemDefaultLangIDOverride(0x0409);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    platform::InstanceLock earlier("test");
    ASSERT_TRUE(earlier.Acquire());
    if (c.note) {
      ASSERT_TRUE(earlier.WriteNote(*c.note));
    } else {
      WriteBytes(earlier.Path(), c.lockText);
    }
    ASSERT_TRUE(RegWriteInteger(kStationKey, "LanguageID", c.languageId));
    WriteBytes(misc() / "port.log", "old");
    dialogs().Clear();
    // A signal while the box is open closes the window: that saves nothing either.
    dialogs().Then(DialogKind::MessageBox, [](const DialogRequest&) {
      Form1->Close();
      return DialogAnswer{IDOK, {}};
    });
    WindowHooks hooks;  // as the station program tells a second station's operator
    hooks.created = [] {
      if (Form1->EarlierStation) TellEarlierStation(*Form1->EarlierStation);
    };
    EXPECT_EQ(WinMain(hooks), 0);
    EXPECT_TRUE(Application->Terminated());
    EXPECT_FALSE(fs::exists(misc() / "port.log"));  // its creation work still ran
    EXPECT_EQ(RegValue(kWorkerKey, "LogBiTable"), 0);
    EXPECT_FALSE(fs::exists(misc() / "prefer.ini"));  // never closed, so nothing saved
    EXPECT_FALSE(fs::exists(misc() / "seting.ini"));
    EXPECT_EQ(Form1, nullptr);
    ASSERT_EQ(dialogs().Count(), 1u);
    EXPECT_EQ(dialogs().Last().request.kind, DialogKind::MessageBox);
    EXPECT_EQ(dialogs().Last().request.text, c.text);
    EXPECT_EQ(dialogs().Last().request.caption, c.caption);
    EXPECT_TRUE(earlier.Held());
  }
  platform::SetSystemDefaultLangIDOverride(std::nullopt);
}

// The first instance records its program folder in the guard for a later one.
TEST_F(MainWindow, TheFirstInstanceRecordsItsProgramFolder) {
  CreateForms();
  ASSERT_TRUE(Form1->hInstanceMutex);
  EXPECT_FALSE(Form1->EarlierStation);
  platform::InstanceLock later("test");
  EXPECT_EQ(later.TryAcquire(), platform::InstanceLockState::HeldByAnother);
  EXPECT_EQ(later.HolderNote(), platform::ProgramFolder());
}

TEST_F(MainWindow, ALockFolderThatCannotBeUsedIsNoSecondInstance) {
  WriteBytes(root_ / "not-a-folder", "x");
  platform::SetInstanceLockFolder((root_ / "not-a-folder" / "locks").string());
  CreateForms();
  EXPECT_FALSE(Application->Terminated());  // the station runs, unguarded
  EXPECT_FALSE(Form1->hInstanceMutex);
  platform::InstanceLock probe("test");
  EXPECT_EQ(probe.TryAcquire(), platform::InstanceLockState::Unavailable);
}

// A program folder that cannot be made current is reported, and the settings
// are never read from the folder the station happened to start in.
TEST_F(MainWindow, AProgramFolderThatCannotBeEnteredIsReported) {
  fs::create_directories(root_ / "elsewhere" / "misc");
  WriteBytes(root_ / "elsewhere" / "misc" / "prefer.ini", "[MP_Setting]\r\nFormat=1\r\n");
  fs::current_path(root_ / "elsewhere");
  fs::remove_all(home_);
  Start();
  auto errors = dialogs().Records(DialogKind::Error);
  ASSERT_GE(errors.size(), 1u);
  EXPECT_EQ(errors[0].request.text.rfind("Cannot change to the program folder \"" + home_.string() + "/\". ", 0), 0u)
      << errors[0].request.text;
  EXPECT_FALSE(Form1->chkFormat.Checked());
  EXPECT_EQ(fs::current_path(), root_ / "elsewhere");
}

TEST_F(MainWindow, TheProgramRunsUntilTheWindowClosesAndSavesOnClose) {
  Application->Post([] { Form1->Close(); });
  EXPECT_EQ(WinMain(), 0);
  for (const char* name : {"prefer.ini", "seting.ini", "hideseting.ini", "spiseting.ini"})
    EXPECT_TRUE(fs::exists(misc() / name)) << name;
  EXPECT_EQ(Form1, nullptr);
  EXPECT_EQ(TitleStr.Get(), "");  // texts released at exit
  // The guard was released: a new start is the first instance again.
  platform::InstanceLock next("test");
  EXPECT_TRUE(next.Acquire());
}

TEST_F(MainWindow, CloseWithoutAMiscFolderShowsEachFailureAndReleasesTheGuard) {
  Start();
  Form1->HideFileList = {"/x"};
  fs::remove_all(misc());
  Stop();
  auto errors = dialogs().Records(DialogKind::Error);
  ASSERT_EQ(errors.size(), 4u);
  EXPECT_NE(errors[0].request.text.find("hideseting.ini"), std::string::npos);
  EXPECT_NE(errors[1].request.text.find("spiseting.ini"), std::string::npos);
  EXPECT_EQ(errors[2].request.text, "Unable to write to " + (home_ / "misc/prefer.ini").string() + ".");
  EXPECT_NE(errors[3].request.text.find("seting.ini"), std::string::npos);
  platform::InstanceLock next("test");
  EXPECT_TRUE(next.Acquire());
}

TEST_F(MainWindow, FirstPaintReportsAMissingImageFileOnce) {
  WriteBytes(misc() / "prefer.ini",
             "[MP_Setting]\r\neDeviceFeature=2\r\nbUseImgFile=1\r\nImageFile=/no/such/disk.img\r\n");
  Start();
  bool modal = false;
  dialogs().Then(DialogKind::Modal, [&](const DialogRequest& r) {
    modal = r.form == frmSetting;
    frmSetting->pgeSetting.SetActivePage(&frmSetting->tabSpiSetting);
    return DialogAnswer{};
  });
  Form1->Paint();
  EXPECT_TRUE(modal);
  EXPECT_EQ(Form1->ImageFile, "");
  auto boxes = dialogs().Records(DialogKind::MessageBox);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].request.text, "Image file not exists. Please reassign it.");
  EXPECT_EQ(boxes[0].request.caption, "Warning");
  EXPECT_EQ(boxes[0].request.flags, 0x30u);
  EXPECT_EQ(frmSetting->pgeSetting.ActivePage(), &frmSetting->tabDeviceSetting);
  Form1->ImageFile = "/no/such/other.img";
  Form1->Paint();
  EXPECT_EQ(dialogs().Count(DialogKind::MessageBox), 1u);
  EXPECT_EQ(Form1->ImageFile, "/no/such/other.img");
  std::uint64_t size = 0;
  EXPECT_FALSE(ProbeImageFile(home_.string(), size));  // a folder is no image
}

TEST_F(MainWindow, FolderPickerOpensOnAnExistingFolderOnly) {
  std::string path = "stale", name = "stale";
  dialogs().CancelFileDialog();
  EXPECT_FALSE(BrowseForFolder(home_.string(), path, name, "Select Directory"));
  EXPECT_EQ(path + name, "");
  EXPECT_EQ(dialogs().Last().request.initialDir, home_.string());
  dialogs().AnswerFiles({(home_ / "misc").string()});
  EXPECT_TRUE(BrowseForFolder((home_ / "nowhere").string(), path, name, "Select Directory"));
  EXPECT_EQ(dialogs().Last().request.initialDir, "");
  EXPECT_EQ(path, (home_ / "misc").string());
  EXPECT_EQ(name, "misc");
}

// Workers count their runs in from their own threads.
TEST_F(MainWindowConcurrency, CountersStayConsistentAcrossWorkers) {
  TForm1 form;
  std::vector<std::thread> workers;
  std::atomic<int> bad{0};
  for (int w = 0; w < 8; ++w)
    workers.emplace_back([&, w] {
      for (int i = 0; i < 500; ++i) {
        form.CountRunStart();
        RunCounters c = form.CountFinishedRun((i + w) % 3 != 0);
        if (c.failed != c.total - c.passed) bad.fetch_add(1);
        if (form.CountRunEnd() < 0) bad.fetch_add(1);
        if (form.CountRunEnd() < 0) bad.fetch_add(1);  // one end too many stays at 0
      }
    });
  for (auto& t : workers) t.join();
  RunCounters c = form.Counters();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(c.total, 4000);
  EXPECT_EQ(c.failed, c.total - c.passed);
  EXPECT_EQ(form.iRunningCount.load(), 0);
}

// A worker blocked in a device call when the operator closes the window: the
// close waits for it (saying why), its last writes reach the panel and the
// settings before they are saved, and the forms go only after it has ended.
class BlockedRun : public TThread {
 public:
  explicit BlockedRun(std::shared_future<void> device) : device_(std::move(device)) { SetFreeOnTerminate(true); }

 protected:
  void Execute() override {
    device_.wait();
    Form1->D1infoStr.SetCaption("Format fail");
    Form1->LabelEdit.SetText("late");
  }

 private:
  std::shared_future<void> device_;
};

TEST_F(MainWindowConcurrency, CloseWaitsForAWorkerBlockedInADeviceCall) {
  std::promise<void> device;
  std::atomic<TForm1*> window{nullptr};
  Application->Post([&] {
    (new BlockedRun(device.get_future().share()))->Resume();
    window = Form1;
    Form1->Close();
  });
  std::thread answer([&] {
    // The device answers once the window says what it waits for.
    while (!window || window.load()->Caption().find("waiting for 1 run") == std::string::npos)
      std::this_thread::yield();
    device.set_value();
  });
  EXPECT_EQ(WinMain(), 0);
  answer.join();
  EXPECT_EQ(Application->LiveThreadCount(), 0);
  EXPECT_NE(Prefer().find("Label=late\r\n"), std::string::npos) << "saved after the run ended";
}

}  // namespace
}  // namespace console::testing
