// The dialog service: every message box, error display, file and folder
// dialog and modal form goes through one interface. The rendered window
// answers it in a real session; ScriptedDialogs answers it in tests and records
// every request; HeadlessDialogs answers it when nothing else is installed.
//
// Ask() is called on the thread that shows the dialog (workers show message
// boxes from their own threads); implementations must be thread-safe.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/ui/types.h"

namespace platform::ui {

class TForm;

enum class DialogKind {
  MessageBox,   // MessageBox / Application->MessageBox: text, caption, flags
  ShowMessage,  // the simple message dialog: text; caption is the application title
  Error,        // the error display for an exception that escaped a handler
  OpenFile,     // open dialog: caption = title; filter, default extension, folder, options
  SaveFile,     // save dialog: the same
  Folder,       // folder picker: caption = title, initialDir = folder to open on
  Modal,        // a form shown modally: form, caption = the form's caption
};

const char* DialogKindName(DialogKind kind);

struct DialogRequest {
  DialogKind kind = DialogKind::MessageBox;
  std::thread::id thread;  // the thread that showed the dialog
  std::string text;
  std::string caption;
  unsigned flags = 0;  // MB_... for message boxes, TOpenOption bits for file dialogs
  // File and folder dialogs.
  std::string filter;
  std::string defaultExt;
  std::string initialDir;
  std::string fileName;
  // Modal forms: the form; the answer may act on it (operator input).
  TForm* form = nullptr;
};

struct DialogAnswer {
  // Message boxes: IDOK, IDYES, ...; file and folder dialogs: IDOK when files
  // were chosen, IDCANCEL when cancelled; modal forms: a modal result used when
  // the form ends up without one of its own (0 = closed as by the close box).
  int result = 0;
  std::vector<std::string> files;  // chosen file(s) or folder
};

class DialogService {
 public:
  virtual ~DialogService() = default;
  virtual DialogAnswer Ask(const DialogRequest& request) = 0;
};

// What an operator who just presses Enter would get: the default button of a
// message box, a cancelled file or folder dialog, a modal form closed unchanged.
DialogAnswer DefaultAnswer(const DialogRequest& request);

// Answers as DefaultAnswer does and writes every message to standard error.
class HeadlessDialogs : public DialogService {
 public:
  DialogAnswer Ask(const DialogRequest& request) override;
};

struct DialogRecord {
  DialogRequest request;
  DialogAnswer answer;
  bool scripted = false;  // false: no script entry matched, DefaultAnswer was given
};

// A script of answers for tests, and a record of every request.
//
// Entries are tried in the order they were added; the first whose matcher
// accepts the request answers it. A one-shot entry (Answer..., Then) is used
// up by that; a rule (Always) stays. A request no entry accepts gets
// DefaultAnswer and is recorded as not scripted.
//
//   dialogs->AnswerMessageBox(IDNO);                      // next message box: No
//   dialogs->AnswerFiles({"/tmp/a.img"});                 // next file dialog
//   dialogs->Then(DialogKind::Modal, [](const DialogRequest& r) {
//     auto& f = static_cast<TForm2&>(*r.form);             // act in the modal form
//     f.edtpassword.UserType("46130972");
//     f.Button1.UserClick();
//     return DialogAnswer{};
//   });
//   EXPECT_EQ(dialogs->Last().request.caption, "Warning");
class ScriptedDialogs : public DialogService {
 public:
  using Matcher = std::function<bool(const DialogRequest&)>;
  using Responder = std::function<DialogAnswer(const DialogRequest&)>;

  // One-shot entries.
  void AnswerMessageBox(int result);  // next MessageBox, ShowMessage or Error
  void AnswerFiles(std::vector<std::string> files);  // next open/save/folder; {} = cancel
  void CancelFileDialog() { AnswerFiles({}); }
  void Then(DialogKind kind, Responder responder);    // next request of that kind
  void Then(Matcher matcher, Responder responder);
  // A lasting rule.
  void Always(Matcher matcher, Responder responder);

  DialogAnswer Ask(const DialogRequest& request) override;

  std::vector<DialogRecord> Records() const;
  std::vector<DialogRecord> Records(DialogKind kind) const;
  std::size_t Count() const;
  std::size_t Count(DialogKind kind) const;
  DialogRecord Last() const;     // EInvalidOperation when nothing was asked
  std::size_t Unscripted() const;  // requests answered by DefaultAnswer
  std::size_t Pending() const;     // one-shot entries not used yet
  void Clear();                    // forgets the records and the script

 private:
  struct Entry {
    Matcher matcher;
    Responder responder;
    bool once = true;
  };
  mutable std::mutex m_;
  std::deque<Entry> script_;
  std::vector<DialogRecord> records_;
};

}  // namespace platform::ui
