#include "platform/ui/dialogs.h"

#include <cstdio>

namespace platform::ui {

const char* DialogKindName(DialogKind kind) {
  switch (kind) {
    case DialogKind::MessageBox: return "MessageBox";
    case DialogKind::ShowMessage: return "ShowMessage";
    case DialogKind::Error: return "Error";
    case DialogKind::OpenFile: return "OpenFile";
    case DialogKind::SaveFile: return "SaveFile";
    case DialogKind::Folder: return "Folder";
    case DialogKind::Modal: return "Modal";
  }
  return "?";
}

DialogAnswer DefaultAnswer(const DialogRequest& request) {
  DialogAnswer answer;
  switch (request.kind) {
    case DialogKind::MessageBox:
    case DialogKind::ShowMessage:
    case DialogKind::Error:
      answer.result = DefaultMessageBoxAnswer(request.flags);
      break;
    case DialogKind::OpenFile:
    case DialogKind::SaveFile:
    case DialogKind::Folder:
      answer.result = IDCANCEL;
      break;
    case DialogKind::Modal:
      answer.result = mrNone;
      break;
  }
  return answer;
}

DialogAnswer HeadlessDialogs::Ask(const DialogRequest& request) {
  switch (request.kind) {
    case DialogKind::MessageBox:
    case DialogKind::ShowMessage:
    case DialogKind::Error:
      std::fprintf(stderr, "[%s] %s: %s\n", DialogKindName(request.kind), request.caption.c_str(),
                   request.text.c_str());
      break;
    default:
      break;
  }
  return DefaultAnswer(request);
}

namespace {
bool IsMessage(const DialogRequest& r) {
  return r.kind == DialogKind::MessageBox || r.kind == DialogKind::ShowMessage ||
         r.kind == DialogKind::Error;
}
bool IsFileDialog(const DialogRequest& r) {
  return r.kind == DialogKind::OpenFile || r.kind == DialogKind::SaveFile ||
         r.kind == DialogKind::Folder;
}
}  // namespace

void ScriptedDialogs::AnswerMessageBox(int result) {
  Then(Matcher(IsMessage), [result](const DialogRequest&) { return DialogAnswer{result, {}}; });
}

void ScriptedDialogs::AnswerFiles(std::vector<std::string> files) {
  Then(Matcher(IsFileDialog), [files = std::move(files)](const DialogRequest&) {
    return DialogAnswer{files.empty() ? IDCANCEL : IDOK, files};
  });
}

void ScriptedDialogs::Then(DialogKind kind, Responder responder) {
  Then([kind](const DialogRequest& r) { return r.kind == kind; }, std::move(responder));
}

void ScriptedDialogs::Then(Matcher matcher, Responder responder) {
  std::lock_guard lock(m_);
  script_.push_back({std::move(matcher), std::move(responder), true});
}

void ScriptedDialogs::Always(Matcher matcher, Responder responder) {
  std::lock_guard lock(m_);
  script_.push_back({std::move(matcher), std::move(responder), false});
}

DialogAnswer ScriptedDialogs::Ask(const DialogRequest& request) {
  Responder responder;
  std::size_t slot;
  {
    std::lock_guard lock(m_);
    for (auto it = script_.begin(); it != script_.end(); ++it) {
      if (it->matcher && !it->matcher(request)) continue;
      responder = it->responder;
      if (it->once) script_.erase(it);
      break;
    }
    // Recorded before the responder runs, so that dialogs shown from inside a
    // modal form come after the form in the record.
    slot = records_.size();
    records_.push_back({request, {}, static_cast<bool>(responder)});
  }
  DialogAnswer answer = responder ? responder(request) : DefaultAnswer(request);
  std::lock_guard lock(m_);
  if (slot < records_.size()) records_[slot].answer = answer;
  return answer;
}

std::vector<DialogRecord> ScriptedDialogs::Records() const {
  std::lock_guard lock(m_);
  return records_;
}

std::vector<DialogRecord> ScriptedDialogs::Records(DialogKind kind) const {
  std::lock_guard lock(m_);
  std::vector<DialogRecord> out;
  for (const auto& r : records_)
    if (r.request.kind == kind) out.push_back(r);
  return out;
}

std::size_t ScriptedDialogs::Count() const {
  std::lock_guard lock(m_);
  return records_.size();
}

std::size_t ScriptedDialogs::Count(DialogKind kind) const {
  std::lock_guard lock(m_);
  std::size_t n = 0;
  for (const auto& r : records_) n += r.request.kind == kind;
  return n;
}

DialogRecord ScriptedDialogs::Last() const {
  std::lock_guard lock(m_);
  if (records_.empty()) throw EInvalidOperation("No dialog was shown");
  return records_.back();
}

std::size_t ScriptedDialogs::Unscripted() const {
  std::lock_guard lock(m_);
  std::size_t n = 0;
  for (const auto& r : records_) n += !r.scripted;
  return n;
}

std::size_t ScriptedDialogs::Pending() const {
  std::lock_guard lock(m_);
  std::size_t n = 0;
  for (const auto& e : script_) n += e.once;
  return n;
}

void ScriptedDialogs::Clear() {
  std::lock_guard lock(m_);
  script_.clear();
  records_.clear();
}

}  // namespace platform::ui
