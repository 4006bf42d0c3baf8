#include "console/startup.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "console/main_window.h"
#include "console/other_forms.h"
#include "console/settings_dialog.h"
#include "console/ui_strings.h"
#include "platform/paths/paths.h"

namespace console {

inline constexpr const char* kApplicationTitle = "ZOQQ4xx Kestrune v2.0";

namespace {

std::atomic<bool> closeLeftUnsaved{false};

// Passes every dialog on and counts the error displays asked on the UI thread.
class ErrorCount : public platform::ui::DialogService {
 public:
  explicit ErrorCount(std::shared_ptr<platform::ui::DialogService> inner) : inner_(std::move(inner)) {}
  platform::ui::DialogAnswer Ask(const platform::ui::DialogRequest& request) override {
    if (request.kind == platform::ui::DialogKind::Error && request.thread == Application->UiThreadId()) ++count_;
    return inner_->Ask(request);
  }
  int Count() const { return count_; }
  const std::shared_ptr<platform::ui::DialogService>& Inner() const { return inner_; }

 private:
  std::shared_ptr<platform::ui::DialogService> inner_;
  std::atomic<int> count_{0};
};

// The main window's close tries every save and shows each failure through
// the error display, then goes on: an error shown on the UI thread while the
// close runs is a save that failed (a close asked for during the first one
// only runs through it).
void NoteUnsavedCloses(TForm1& form) {
  closeLeftUnsaved = false;
  form.OnClose = [close = std::move(form.OnClose), depth = 0](TObject* sender, TCloseAction& action) mutable {
    if (depth > 0) return close(sender, action);
    auto errors = std::make_shared<ErrorCount>(Application->Dialogs());
    ++depth;
    struct Watch {  // for the close's own length, also when it throws
      int& depth;
      std::shared_ptr<ErrorCount> errors;
      ~Watch() {
        Application->SetDialogService(errors->Inner());
        --depth;
      }
    } watch{depth, errors};
    Application->SetDialogService(errors);
    close(sender, action);
    if (errors->Count() > 0) closeLeftUnsaved = true;
  };
}

}  // namespace

bool CloseLeftUnsaved() { return closeLeftUnsaved; }

void CreateForms() {
  Form1 = new TForm1;  // runs FormCreate
  Application->SetMainForm(Form1);
  NoteUnsavedCloses(*Form1);
  frmSetting = new TfrmSetting;
  frmIsoMain = new TfrmIsoMain;
  // The image tool speaks the main window's language and hands the image it
  // builds to the settings dialog's image-file field.
  frmIsoMain->MainLanguageIndex = [] { return Form1 ? Form1->LanguageIndex.load() : 0; };
  frmIsoMain->MessageText = [](const std::string& english, int languageIndex) {
    return Form1 ? Form1->MessageText(english, languageIndex) : english;
  };
  frmIsoMain->OnImageCreated = [](const std::string& file) {
    if (frmSetting) frmSetting->edtImgFile.SetText(file);
  };
  Form2 = new TForm2;
  Form3 = new TForm3;
}

void DestroyForms() {
  // However the program ends, no worker may outlive the forms it writes to.
  if (Form1) Form1->WaitForWorkers();
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

int WinMain(const WindowHooks& hooks) {
  InitUiStrings();
  bool created = false;
  try {
    Application->Initialize();
    Application->SetTitle(kApplicationTitle);
    CreateForms();
    created = true;
    if (hooks.created) hooks.created();
    Application->Run();
  } catch (const std::exception& e) {
    Application->ShowException(e);
  }
  // The caller's end comes once every run is over (the counters are final).
  Application->WaitForThreads();
  if (created && hooks.ended) CallGuarded(hooks.ended);
  DestroyForms();
  FreeUiStrings();
  return 0;
}

}  // namespace console
