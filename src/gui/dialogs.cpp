#include "gui/dialogs.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QFileDialog>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTranslator>
#include <atomic>
#include <cstdio>
#include <vector>

#include "gui/renderer.h"
#include "platform/ui/application.h"
#include "platform/ui/forms.h"

namespace gui {

using namespace platform::ui;

QStringList NameFilters(const std::string& filter) {
  QStringList parts = QString::fromStdString(filter).split('|');
  QStringList filters;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    // The patterns that filter are the second part's; a name that shows
    // patterns of its own ("All files (*.*)") loses them, as Qt reads the
    // patterns from the name.
    QString name = parts[i].trimmed();
    if (name.endsWith(')') && name.contains('(')) name = name.left(name.lastIndexOf('(')).trimmed();
    const QString patterns = parts[i + 1].split(';', Qt::SkipEmptyParts).join(' ');
    filters << name + " (" + patterns + ")";
  }
  return filters;
}

void UseQtTranslations(int languageIndex) {
  static std::unique_ptr<QTranslator> installed;
  static int current = 0;
  static bool warned = false;
  if (languageIndex == current) return;
  if (installed) QCoreApplication::removeTranslator(installed.get());
  installed.reset();
  current = languageIndex;
  if (languageIndex != 1 && languageIndex != 2) return;
  const QLocale locale(QLocale::Chinese, languageIndex == 1 ? QLocale::Taiwan : QLocale::China);
  const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
  auto translator = std::make_unique<QTranslator>();
  if (!translator->load(locale, "qtbase", "_", folder)) {
    if (!warned)
      std::fprintf(stderr, "station: Qt's own texts stay English: no qtbase_%s.qm in %s\n",
                   locale.name().toUtf8().constData(), folder.toUtf8().constData());
    warned = true;
    return;
  }
  QCoreApplication::installTranslator(translator.get());
  installed = std::move(translator);
}

struct QtDialogs::State {
  std::function<int()> language;
  std::atomic<bool> ending{false};
  // The dialogs open on the Qt thread, innermost last, each with what ends it.
  std::vector<std::function<void()>*> open;
  std::function<void()> allClosed;
};

namespace {

// The dialog in progress: listed as open while it runs, with what ends it
// early; `ended` tells whether it was ended so.
class OpenDialog {
 public:
  OpenDialog(std::vector<std::function<void()>*>& open, std::function<void()> end)
      : open_(open), end_([this, end = std::move(end)] {
          ended = true;
          end();
        }) {
    open_.push_back(&end_);
  }
  ~OpenDialog() { std::erase(open_, &end_); }
  OpenDialog(const OpenDialog&) = delete;
  OpenDialog& operator=(const OpenDialog&) = delete;
  bool ended = false;

 private:
  std::vector<std::function<void()>*>& open_;
  std::function<void()> end_;
};

struct Choice {
  QMessageBox::StandardButton standard;  // Qt's button (its text in the station's language)
  const char* text;                      // a button Qt has not: its own text
  QMessageBox::ButtonRole role;
  int id;
};

std::vector<Choice> Choices(unsigned flags) {
  constexpr auto none = QMessageBox::NoButton;
  switch (flags & MB_TYPEMASK) {
    case MB_OKCANCEL:
      return {{QMessageBox::Ok, "", QMessageBox::AcceptRole, IDOK},
              {QMessageBox::Cancel, "", QMessageBox::RejectRole, IDCANCEL}};
    case MB_ABORTRETRYIGNORE:
      return {{QMessageBox::Abort, "", QMessageBox::RejectRole, IDABORT},
              {QMessageBox::Retry, "", QMessageBox::AcceptRole, IDRETRY},
              {QMessageBox::Ignore, "", QMessageBox::AcceptRole, IDIGNORE}};
    case MB_YESNOCANCEL:
      return {{QMessageBox::Yes, "", QMessageBox::YesRole, IDYES},
              {QMessageBox::No, "", QMessageBox::NoRole, IDNO},
              {QMessageBox::Cancel, "", QMessageBox::RejectRole, IDCANCEL}};
    case MB_YESNO:
      return {{QMessageBox::Yes, "", QMessageBox::YesRole, IDYES}, {QMessageBox::No, "", QMessageBox::NoRole, IDNO}};
    case MB_RETRYCANCEL:
      return {{QMessageBox::Retry, "", QMessageBox::AcceptRole, IDRETRY},
              {QMessageBox::Cancel, "", QMessageBox::RejectRole, IDCANCEL}};
    case MB_CANCELTRYCONTINUE:
      return {{QMessageBox::Cancel, "", QMessageBox::RejectRole, IDCANCEL},
              {none, "Try Again", QMessageBox::AcceptRole, IDTRYAGAIN},
              {none, "Continue", QMessageBox::AcceptRole, IDCONTINUE}};
    default:
      return {{QMessageBox::Ok, "", QMessageBox::AcceptRole, IDOK}};
  }
}

int AskMessageBox(const DialogRequest& r, std::vector<std::function<void()>*>& open, bool& ended) {
  QMessageBox box(Renderer::DialogOwner());
  box.setWindowTitle(QString::fromStdString(r.caption));
  box.setText(QString::fromStdString(r.text));
  switch (r.kind == DialogKind::Error ? MB_ICONSTOP : r.flags & MB_ICONMASK) {
    case MB_ICONSTOP: box.setIcon(QMessageBox::Critical); break;
    case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
    case MB_ICONWARNING: box.setIcon(QMessageBox::Warning); break;
    case MB_ICONINFORMATION: box.setIcon(QMessageBox::Information); break;
    default: break;
  }
  const std::vector<Choice> choices = Choices(r.flags);
  std::vector<QPushButton*> buttons;
  for (const Choice& c : choices)
    buttons.push_back(c.standard != QMessageBox::NoButton ? box.addButton(c.standard) : box.addButton(c.text, c.role));
  const std::size_t defIndex = ((r.flags & MB_DEFMASK) >> 8) < choices.size() ? (r.flags & MB_DEFMASK) >> 8 : 0;
  box.setDefaultButton(buttons[defIndex]);
  // The close box or Escape: Cancel where there is one, else the only button (OK).
  for (std::size_t i = 0; i < choices.size(); ++i)
    if (choices[i].id == IDCANCEL || choices.size() == 1) box.setEscapeButton(buttons[i]);
  OpenDialog shown(open, [&box] { box.reject(); });
  box.exec();
  ended = shown.ended;
  for (std::size_t i = 0; i < buttons.size(); ++i)
    if (box.clickedButton() == buttons[i]) return choices[i].id;
  return choices.size() == 1 ? choices[0].id : IDCANCEL;
}

DialogAnswer AskFiles(const DialogRequest& r, std::vector<std::function<void()>*>& open) {
  QFileDialog dialog(Renderer::DialogOwner(), QString::fromStdString(r.caption), QString::fromStdString(r.initialDir));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  if (r.kind == DialogKind::Folder) {
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
  } else {
    const QStringList filters = NameFilters(r.filter);
    if (!filters.isEmpty()) dialog.setNameFilters(filters);
    if (!r.defaultExt.empty()) dialog.setDefaultSuffix(QString::fromStdString(r.defaultExt));
    if (r.kind == DialogKind::SaveFile) {
      dialog.setAcceptMode(QFileDialog::AcceptSave);
      dialog.setOption(QFileDialog::DontConfirmOverwrite, (r.flags & ofOverwritePrompt) == 0);
    } else {
      dialog.setFileMode((r.flags & ofAllowMultiSelect) ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    }
    if (!r.fileName.empty()) dialog.selectFile(QString::fromStdString(r.fileName));
  }
  DialogAnswer answer;
  answer.result = IDCANCEL;
  OpenDialog shown(open, [&dialog] { dialog.reject(); });
  if (dialog.exec() != QDialog::Accepted || shown.ended) return answer;
  for (const QString& file : dialog.selectedFiles()) answer.files.push_back(file.toStdString());
  if (!answer.files.empty()) answer.result = IDOK;
  return answer;
}

DialogAnswer AskModal(const DialogRequest& r, std::vector<std::function<void()>*>& open) {
  Renderer* renderer = Renderer::Current();
  TForm* form = r.form;
  if (!renderer || !form) return DefaultAnswer(r);
  // Drawn (and shown over its owner) by the renderer, as the form is visible.
  renderer->WindowOf(form);
  OpenDialog shown(open, [form] { form->SetModalResult(mrCancel); });
  // The window's own buttons and close box end the loop through the form's
  // modal result (which wakes the loop).
  while (form->ModalResult() == mrNone && form->Modal() && !Application->Terminated()) Application->HandleMessage();
  return DialogAnswer{};
}

}  // namespace

QtDialogs::QtDialogs() : s_(std::make_shared<State>()) {}

QtDialogs::~QtDialogs() = default;

void QtDialogs::SetLanguage(std::function<int()> languageIndex) { s_->language = std::move(languageIndex); }

void QtDialogs::EndEveryDialog() {
  s_->ending = true;
  // Innermost first; each ends its own loop once control is back in it.
  const std::vector<std::function<void()>*> open = s_->open;
  for (auto it = open.rbegin(); it != open.rend(); ++it) (**it)();
}

int QtDialogs::OpenCount() const { return static_cast<int>(s_->open.size()); }

void QtDialogs::OnAllClosed(std::function<void()> hook) { s_->allClosed = std::move(hook); }

DialogAnswer QtDialogs::Ask(const DialogRequest& request) {
  if (s_->ending) return HeadlessDialogs().Ask(request);
  if (Application->IsUiThread()) return AskHere(request);
  DialogAnswer answer = DefaultAnswer(request);
  try {
    Application->Synchronize([&] { answer = AskHere(request); });
  } catch (const EThread&) {
    // The application ended before the dialog could be shown.
  }
  return answer;
}

DialogAnswer QtDialogs::AskHere(const DialogRequest& r) {
  if (s_->ending) return HeadlessDialogs().Ask(r);
  if (s_->language) UseQtTranslations(s_->language());
  DialogAnswer answer;
  switch (r.kind) {
    case DialogKind::MessageBox:
    case DialogKind::ShowMessage:
    case DialogKind::Error: {
      bool ended = false;
      answer.result = AskMessageBox(r, s_->open, ended);
      if (ended) answer = HeadlessDialogs().Ask(r);
      break;
    }
    case DialogKind::OpenFile:
    case DialogKind::SaveFile:
    case DialogKind::Folder:
      answer = AskFiles(r, s_->open);
      break;
    case DialogKind::Modal:
      answer = AskModal(r, s_->open);
      break;
  }
  if (s_->open.empty() && s_->allClosed) s_->allClosed();
  return answer;
}

}  // namespace gui
