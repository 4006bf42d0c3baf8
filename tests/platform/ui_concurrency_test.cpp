// Threads and the control model: Synchronize, properties written by workers,
// message boxes from workers, and worker threads that free themselves.
// These suites run under ThreadSanitizer too.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/ui/ui.h"

using namespace platform::ui;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

namespace {

constexpr int kWorkers = 8;

class SlotForm : public TForm {
 public:
  SlotForm() : TForm("Form1") {}
  TGroupBox grpMPSetting{this, "grpMPSetting"};
  TRadioButton rdo[4] = {{&grpMPSetting, "rdo0"}, {&grpMPSetting, "rdo1"},
                         {&grpMPSetting, "rdo2"}, {&grpMPSetting, "rdo3"}};
  TStaticText status{this, "D1infoStr"};
  TCGauge gauge{this, "ProgressBar1"};
  TListBox list{this, "TntSelectFileList2"};
};

// Every call runs on the UI thread and has run when Synchronize returns; an
// error comes out in the calling thread, not on the error display. A message
// box shown by a worker is asked on the worker's own thread, a modal form on
// the UI thread. Only the UI thread drains the queue: ProcessMessages elsewhere
// does nothing.
TEST(UiSynchronizeConcurrency, WorkersRunCodeOnTheUiThreadAndWait) {
  ScopedApplication app;
  app.dialogs().Always([](const DialogRequest& r) { return r.caption == "Fail"; },
                       [](const DialogRequest&) { return DialogAnswer{IDOK, {}}; });
  SlotForm dlg;
  std::thread::id modalOn;
  app.dialogs().Then(DialogKind::Modal, [&](const DialogRequest& r) {
    modalOn = r.thread;
    dlg.SetModalResult(mrYes);
    return DialogAnswer{};
  });
  const auto ui = std::this_thread::get_id();
  std::atomic<int> posted{0};
  Application->Post([&] { ++posted; });
  std::thread([] { Application->ProcessMessages(); }).join();
  EXPECT_EQ(posted, 0);
  bool ranAtOnce = false;
  Application->Synchronize([&] { ranAtOnce = true; });  // on the UI thread itself
  EXPECT_TRUE(ranAtOnce);
  int uiCounter = 0;  // touched only on the UI thread
  std::atomic<int> wrongThread{0};
  std::atomic<int> done{0};
  std::vector<std::thread> workers;
  std::vector<std::thread::id> ids(kWorkers);
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      ids[w] = std::this_thread::get_id();
      EXPECT_EQ(MessageBox("Error timeout", "Fail", MB_OK | MB_ICONERROR), IDOK);
      if (w == 0) {
        EXPECT_EQ(dlg.ShowModal(), mrYes);
      }
      for (int i = 0; i < 50; ++i) {
        int seen = -1;
        Application->Synchronize([&] {
          if (std::this_thread::get_id() != ui) ++wrongThread;
          seen = ++uiCounter;
        });
        EXPECT_GT(seen, 0);
      }
      EXPECT_THAT([] { Application->Synchronize([] { throw Exception("Write CFG fail"); }); },
                  ThrowsMessage<Exception>(StrEq("Write CFG fail")));
      if (++done == kWorkers) Application->Terminate();
    });
  }
  Application->Run();
  for (auto& t : workers) t.join();
  EXPECT_EQ(posted, 1);
  EXPECT_EQ(uiCounter, kWorkers * 50);
  EXPECT_EQ(wrongThread, 0);
  EXPECT_EQ(modalOn, ui);
  auto records = app.dialogs().Records(DialogKind::MessageBox);
  EXPECT_EQ(app.dialogs().Count(), kWorkers + 1u);  // no error was shown
  ASSERT_EQ(records.size(), static_cast<std::size_t>(kWorkers));
  std::set<std::thread::id> recorded;
  for (const auto& r : records) recorded.insert(r.request.thread);
  EXPECT_EQ(recorded, std::set<std::thread::id>(ids.begin(), ids.end()));
  EXPECT_EQ(app.dialogs().Unscripted(), 0u);
}

TEST(UiSynchronizeConcurrency, AWaitingCallFailsWhenTheApplicationEnds) {
  std::promise<void> queued;
  std::thread worker;
  {
    ScopedApplication app;
    app->SetWakeHook([&] { queued.set_value(); });
    worker = std::thread([] {
      EXPECT_THAT([] { Application->Synchronize([] { ADD_FAILURE() << "must not run"; }); },
                  ThrowsMessage<EThread>(StrEq("The application has ended")));
    });
    queued.get_future().wait();
  }
  worker.join();
}

TEST(UiPropertiesConcurrency, WorkersWriteControlsWhileTheUiThreadReadsThem) {
  ScopedApplication app;
  SlotForm form;
  form.gauge.SetMaxValue(400);
  std::set<std::string> written;
  for (int w = 0; w < kWorkers; ++w) written.insert("Blanking check " + std::to_string(w));
  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      const std::string caption = "Blanking check " + std::to_string(w);
      const std::string item = std::string("file") + char('0' + w);
      for (int i = 0; i < 200; ++i) {
        form.status.SetCaption(caption);
        form.status.SetFontColor(i % 2 ? clRed : clWindowText);
        form.gauge.SetProgress(i * 3);
        form.rdo[w % 4].SetChecked(true);
        form.list.Items.Add(item);
        if (form.list.Items.Count() > 20) form.list.Items.Delete(0);
        form.list.SetItemIndex(form.list.Items.Count() - 1);
        form.grpMPSetting.SetEnabled(i % 3 != 0);
      }
    });
  }
  std::thread reader([&] {
    while (!stop) {
      const std::string caption = form.status.Caption();
      EXPECT_TRUE(caption.empty() || written.count(caption)) << caption;
      const TColor colour = form.status.FontColor();
      EXPECT_TRUE(colour == clRed || colour == clWindowText);
      const int p = form.gauge.Progress();
      EXPECT_TRUE(p >= 0 && p <= 400);
      (void)form.rdo[0].AcceptsInput();
      const int index = form.list.ItemIndex();
      EXPECT_TRUE(index >= -1 && index < 20 + kWorkers) << index;  // 20 kept, one add per worker on top
    }
  });
  for (auto& t : workers) t.join();
  stop = true;
  reader.join();
  int checked = 0;
  for (auto& r : form.rdo) checked += r.Checked();
  EXPECT_EQ(checked, 1);  // the radio group stayed one-of-many throughout
  EXPECT_LE(form.list.Items.Count(), 20);
}

// A worker in the shape of the production worker: suspended, free on
// terminate, progress through Synchronize.
// Its destructor reports the thread Execute ran on.
class GaugeWorker : public TThread {
 public:
  GaugeWorker(SlotForm& form, std::promise<std::thread::id>& gone)
      : TThread(true), form_(form), gone_(gone) {
    SetFreeOnTerminate(true);
  }
  ~GaugeWorker() override { gone_.set_value(executedOn_); }

 protected:
  void Execute() override {
    executedOn_ = std::this_thread::get_id();
    for (int p = 0; p <= 100; p += 10) {
      progress_ = p;
      Synchronize([this] { form_.gauge.SetProgress(progress_); });
    }
  }

 private:
  SlotForm& form_;
  std::promise<std::thread::id>& gone_;
  std::thread::id executedOn_;
  int progress_ = 0;
};

TEST(UiThreadConcurrency, FreeOnTerminateWorkersRunSideBySideAndDeleteThemselves) {
  ScopedApplication app;
  const auto ui = std::this_thread::get_id();
  SlotForm forms[kWorkers];
  std::promise<std::thread::id> gone[kWorkers];
  int ended = 0;
  std::atomic<int> offUi{0};
  for (int w = 0; w < kWorkers; ++w) {
    auto* worker = new GaugeWorker(forms[w], gone[w]);
    EXPECT_TRUE(worker->Suspended());
    worker->OnTerminate = [&, w](TObject*) {
      if (std::this_thread::get_id() != ui) ++offUi;
      EXPECT_EQ(forms[w].gauge.Progress(), 100);
      if (++ended == kWorkers) Application->Terminate();
    };
    worker->Resume();  // not to be touched after this
  }
  Application->Run();
  for (auto& g : gone) EXPECT_NE(g.get_future().get(), ui);  // the destructor ran
  EXPECT_EQ(ended, kWorkers);
  EXPECT_EQ(offUi, 0);
}

class LoopThread : public TThread {
 public:
  std::atomic<int> loops{0};

 protected:
  void Execute() override {
    while (!Terminated()) {
      if (++loops == 3) Synchronize([] {});  // needs the UI thread while it is in WaitFor
      std::this_thread::yield();
    }
    SetReturnValue(7);
  }
};

TEST(UiThreadConcurrency, WaitForKeepsTheQueueMovingAndAFailingExecuteIsShown) {
  ScopedApplication app;
  struct Running : TThread {
    Running() : TThread(false) {}
    void Execute() override {}
  };
  EXPECT_THROW(Running{}, EThread);  // threads are created suspended
  LoopThread thread;
  thread.SetFreeOnTerminate(true);
  EXPECT_THROW(thread.WaitFor(), EThread);
  thread.SetFreeOnTerminate(false);
  EXPECT_THROW(thread.WaitFor(), EThread);  // never started
  thread.Resume();
  thread.Resume();  // a second call does nothing
  while (thread.loops < 3) std::this_thread::yield();
  thread.Terminate();
  EXPECT_EQ(thread.WaitFor(), 7);
  EXPECT_TRUE(thread.Finished());

  // An error escaping Execute is kept and shown from the worker's thread.
  struct Failing : TThread {
    void Execute() override { throw Exception("Parse CFG fail"); }
  } failing;
  EXPECT_FALSE(thread.FatalException());
  failing.Resume();
  failing.WaitFor();
  EXPECT_TRUE(failing.FatalException());
  auto errors = app.dialogs().Records(DialogKind::Error);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].request.text, "Parse CFG fail.");
  EXPECT_NE(errors[0].request.thread, std::this_thread::get_id());
}

// A worker blocked in a device call when the program wants to end: the
// application knows it is live, and waiting for it keeps the queue moving, so
// its last write into the form runs before the wait ends and the form goes.
class BlockedWorker : public TThread {
 public:
  BlockedWorker(SlotForm& form, std::future<void> device, std::atomic<bool>& destroyed)
      : form_(form), device_(std::move(device)), destroyed_(destroyed) {
    SetFreeOnTerminate(true);
  }
  ~BlockedWorker() override { destroyed_ = true; }

 protected:
  void Execute() override {
    device_.wait();  // the device call
    Synchronize([this] { form_.status.SetCaption("fail"); });
  }

 private:
  SlotForm& form_;
  std::future<void> device_;
  std::atomic<bool>& destroyed_;
};

TEST(UiThreadConcurrency, TheApplicationWaitsForItsLiveThreads) {
  ScopedApplication app;
  auto form = std::make_unique<SlotForm>();
  std::promise<void> device[2];
  std::atomic<bool> destroyed[2] = {false, false};
  for (int w = 0; w < 2; ++w) (new BlockedWorker(*form, device[w].get_future(), destroyed[w]))->Resume();
  EXPECT_EQ(Application->LiveThreadCount(), 2);
  std::vector<int> told;
  Application->WaitForThreads([&](int live) {
    told.push_back(live);
    device[2 - live].set_value();  // the devices answer one after the other
  });
  EXPECT_EQ(told, (std::vector<int>{2, 1}));
  EXPECT_EQ(Application->LiveThreadCount(), 0);
  EXPECT_TRUE(destroyed[0] && destroyed[1]) << "over means deleted too";
  EXPECT_EQ(form->status.Caption(), "fail");
  form.reset();
  Application->WaitForThreads();  // none live: returns at once
}

}  // namespace
