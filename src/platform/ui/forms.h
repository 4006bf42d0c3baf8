// Forms and the file dialogs.
//
// A form is a C++ class deriving from TForm that holds its controls as members:
//
//   class TForm2 : public TForm {
//    public:
//     TForm2() : TForm("Form2") {
//       Button1.OnClick = [this](TObject* s) { Button1Click(s); };
//     }
//     TGroupBox GroupBox1{this, "GroupBox1"};
//     TEdit edtpassword{&GroupBox1, "edtpassword"};
//     TButton Button1{this, "Button1"};
//     void Button1Click(TObject* Sender);
//   };
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/ui/controls.h"
#include "platform/ui/dialogs.h"

namespace platform::ui {

class TForm : public TWinControl {
 public:
  explicit TForm(std::string name = {});
  ~TForm() override;

  bool IsForm() const override { return true; }

  // Show: visible, then OnShow; the first paint follows through the queue
  // (OnPaint). Hide: invisible.
  void Show() override;
  void Hide() override;
  void Paint();  // runs OnPaint now

  // Shows the form modally and returns its modal result. OnShow runs, then the
  // dialog service is asked (DialogKind::Modal): the rendered window runs its
  // loop until the form has a modal result; a test script acts on the form.
  // A form left without a modal result ends as if closed by its close box
  // (mrCancel). Then OnClose runs and the form is hidden. On another thread
  // than the UI thread, the whole call runs on the UI thread (Synchronize).
  // EInvalidOperation when the form is already visible or modal.
  TModalResult ShowModal();
  bool Modal() const;

  // Close: a modal form gets mrCancel and its ShowModal ends; any other form
  // runs OnClose and hides (caNone keeps it); closing the main form
  // terminates the application.
  void Close();
  bool UserClose() {  // the operator clicks the close box
    Close();
    return true;
  }

  TModalResult ModalResult() const;
  void SetModalResult(TModalResult result);

  TControl* ActiveControl() const;
  void SetActiveControl(TControl* control);

  TNotifyEvent OnShow;
  TNotifyEvent OnHide;
  TNotifyEvent OnPaint;
  TCloseEvent OnClose;

 private:
  TModalResult ShowModalHere();
  std::shared_ptr<int> alive_;          // lets a queued paint see the form is gone
  bool modal_ = false;                  // guarded by m_
  TModalResult modalResult_ = mrNone;   // guarded by m_
  TControl* activeControl_ = nullptr;   // guarded by m_
};

// Options of the file dialogs (bits of DialogRequest::flags).
enum TOpenOption : unsigned {
  ofReadOnly = 1u << 0,
  ofOverwritePrompt = 1u << 1,
  ofHideReadOnly = 1u << 2,
  ofNoChangeDir = 1u << 3,
  ofAllowMultiSelect = 1u << 9,
  ofPathMustExist = 1u << 11,
  ofFileMustExist = 1u << 12,
  ofEnableSizing = 1u << 23,
};

// Open and save dialogs: set the properties, call Execute. Run on the thread
// that calls Execute, through the application's dialog service.
class TOpenDialog : public TComponent {
 public:
  explicit TOpenDialog(TWinControl* owner = nullptr, std::string name = {});

  std::string Title;
  std::string Filter;      // "Image File *.IMG|*.IMG"
  std::string DefaultExt;  // added to a chosen name that has no extension
  std::string InitialDir;
  std::string FileName;    // before: the proposed name; after: the first chosen file
  unsigned Options = ofHideReadOnly | ofEnableSizing;
  std::vector<std::string> Files;  // after Execute: every chosen file

  // True when the operator chose at least one file.
  bool Execute();

 protected:
  virtual DialogKind Kind() const { return DialogKind::OpenFile; }
};

class TSaveDialog : public TOpenDialog {
 public:
  using TOpenDialog::TOpenDialog;

 protected:
  DialogKind Kind() const override { return DialogKind::SaveFile; }
};

using TTntOpenDialog = TOpenDialog;

}  // namespace platform::ui
