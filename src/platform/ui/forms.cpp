#include "platform/ui/forms.h"

#include "platform/ui/application.h"

namespace platform::ui {

TForm::TForm(std::string name) : TWinControl(nullptr, std::move(name)), alive_(std::make_shared<int>(0)) {
  SetVisible(false);
}

TForm::~TForm() {
  alive_.reset();
  if (Application->MainForm() == this) Application->SetMainForm(nullptr);
}

void TForm::Show() {
  if (Visible()) return;
  SetVisible(true);
  if (OnShow) OnShow(this);
  // The first paint follows the show through the queue, as a window's does.
  Application->Post([this, alive = std::weak_ptr<int>(alive_)] {
    if (alive.lock() && Visible()) Paint();
  });
}

void TForm::Hide() {
  if (!Visible()) return;
  SetVisible(false);
  if (OnHide) OnHide(this);
}

void TForm::Paint() {
  if (OnPaint) OnPaint(this);
}

bool TForm::Modal() const {
  std::lock_guard lock(m_);
  return modal_;
}

TModalResult TForm::ShowModal() {
  if (!Application->IsUiThread()) {
    TModalResult result = mrNone;
    Application->Synchronize([&] { result = ShowModalHere(); });
    return result;
  }
  return ShowModalHere();
}

TModalResult TForm::ShowModalHere() {
  const bool visible = Visible();
  {
    std::lock_guard lock(m_);
    if (modal_ || visible) throw EInvalidOperation("Cannot make a visible window modal");
    modal_ = true;
    modalResult_ = mrNone;
  }
  auto leave = [this] {
    {
      std::lock_guard lock(m_);
      modal_ = false;
    }
    Hide();
  };
  try {
    Show();
    DialogRequest request;
    request.kind = DialogKind::Modal;
    request.caption = Caption();
    request.form = this;
    const DialogAnswer answer = Application->Ask(request);
    TModalResult result = ModalResult();
    if (result == mrNone) result = answer.result != mrNone ? answer.result : mrCancel;
    SetModalResult(result);
    TCloseAction action = caHide;
    if (OnClose) OnClose(this, action);
    leave();
    return result;
  } catch (...) {
    leave();
    throw;
  }
}

void TForm::Close() {
  if (Modal()) {
    SetModalResult(mrCancel);
    return;
  }
  TCloseAction action = caHide;
  if (OnClose) OnClose(this, action);
  if (action == caNone) return;
  if (Application->MainForm() == this) {
    Application->Terminate();
    return;
  }
  Hide();
}

TModalResult TForm::ModalResult() const {
  std::lock_guard lock(m_);
  return modalResult_;
}

void TForm::SetModalResult(TModalResult result) {
  {
    std::lock_guard lock(m_);
    modalResult_ = result;
  }
  Application->Wake();
}

TControl* TForm::ActiveControl() const {
  std::lock_guard lock(m_);
  return activeControl_;
}

void TForm::SetActiveControl(TControl* control) {
  std::lock_guard lock(m_);
  activeControl_ = control;
}

// ---- file dialogs ----

TOpenDialog::TOpenDialog(TWinControl*, std::string name) : TComponent(std::move(name)) {}

namespace {
std::string WithDefaultExt(const std::string& path, const std::string& ext) {
  if (ext.empty()) return path;
  const std::size_t slash = path.find_last_of('/');
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (base.empty() || base.find('.') != std::string::npos) return path;
  return path + "." + ext;
}
}  // namespace

bool TOpenDialog::Execute() {
  DialogRequest request;
  request.kind = Kind();
  request.caption = Title;
  request.filter = Filter;
  request.defaultExt = DefaultExt;
  request.initialDir = InitialDir;
  request.fileName = FileName;
  request.flags = Options;
  const DialogAnswer answer = Application->Ask(request);
  if (answer.result != IDOK || answer.files.empty()) return false;
  Files.clear();
  for (const auto& file : answer.files) Files.push_back(WithDefaultExt(file, DefaultExt));
  FileName = Files.front();
  return true;
}

}  // namespace platform::ui
