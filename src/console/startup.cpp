#include "console/startup.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <exception>
#include <string>
#include <thread>

#include "console/main_window.h"
#include "console/other_forms.h"
#include "console/settings_dialog.h"
#include "console/ui_strings.h"
#include "platform/paths/paths.h"

namespace console {

inline constexpr const char* kApplicationTitle = "ZOQQ4xx Kestrune v2.0";

void CreateForms() {
  Form1 = new TForm1;  // runs FormCreate
  Application->SetMainForm(Form1);
  frmSetting = new TfrmSetting;
  frmIsoMain = new TfrmIsoMain;
  Form2 = new TForm2;
  Form3 = new TForm3;
}

void DestroyForms() {
  delete Form3;
  Form3 = nullptr;
  delete Form2;
  Form2 = nullptr;
  delete frmIsoMain;
  frmIsoMain = nullptr;
  delete frmSetting;
  frmSetting = nullptr;
  if (Application->MainForm() == Form1) Application->SetMainForm(nullptr);
  delete Form1;
  Form1 = nullptr;
}

int WinMain() {
  InitUiStrings();
  try {
    Application->Initialize();
    Application->SetTitle(kApplicationTitle);
    CreateForms();
    Application->Run();
  } catch (const std::exception& e) {
    Application->ShowException(e);
  }
  // However the loop ended, no worker may outlive the forms it writes to.
  Application->WaitForThreads();
  DestroyForms();
  FreeUiStrings();
  return 0;
}

namespace {

// SIGINT and SIGTERM are taken from every thread (the workers started later
// inherit the mask) and waited for by a thread of their own, which asks the
// UI thread to close the main window. SIGUSR1 to that thread ends it.
class CloseOnSignals {
 public:
  CloseOnSignals() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    sigaddset(&set_, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set_, &previous_);
    thread_ = std::thread([this] { Wait(); });
  }
  ~CloseOnSignals() {
    done_ = true;
    pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  CloseOnSignals(const CloseOnSignals&) = delete;
  CloseOnSignals& operator=(const CloseOnSignals&) = delete;

 private:
  void Wait() {
    for (;;) {
      int signal = 0;
      if (sigwait(&set_, &signal) != 0) continue;
      if (done_) return;
      if (signal == SIGUSR1) continue;
      std::printf("Closing the station (signal %d)\n", signal);
      std::fflush(stdout);
      Application->Post([] {
        if (Form1) Form1->Close();
      });
    }
  }

  sigset_t set_;
  sigset_t previous_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

}  // namespace

int StationMain(int argc, const char* const* argv) {
  std::string error;
  if (platform::ApplyHomeOption(argc, argv, error) == platform::HomeOption::Invalid) {
    std::fprintf(stderr, "station: %s\n", error.c_str());
    return 2;
  }
  CloseOnSignals signals;
  // Runs once the loop has shown the main window; a second instance, which
  // ends before its loop runs, prints nothing.
  Application->Post([] {
    std::printf("Station ready: program folder %s; waiting for devices\n", platform::ProgramFolder().c_str());
    std::fflush(stdout);
  });
  return WinMain();
}

}  // namespace console
