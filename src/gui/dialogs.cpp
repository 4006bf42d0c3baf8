#include "gui/dialogs.h"

#include <QAbstractButton>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

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

namespace {

int AskMessageBox(const DialogRequest& r) {
  QMessageBox box;
  box.setWindowTitle(QString::fromStdString(r.caption));
  box.setText(QString::fromStdString(r.text));
  switch (r.kind == DialogKind::Error ? MB_ICONSTOP : r.flags & MB_ICONMASK) {
    case MB_ICONSTOP: box.setIcon(QMessageBox::Critical); break;
    case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
    case MB_ICONWARNING: box.setIcon(QMessageBox::Warning); break;
    case MB_ICONINFORMATION: box.setIcon(QMessageBox::Information); break;
    default: break;
  }
  struct Choice {
    const char* text;
    QMessageBox::ButtonRole role;
    int id;
  };
  std::vector<Choice> choices;
  switch (r.flags & MB_TYPEMASK) {
    case MB_OKCANCEL: choices = {{"OK", QMessageBox::AcceptRole, IDOK}, {"Cancel", QMessageBox::RejectRole, IDCANCEL}}; break;
    case MB_ABORTRETRYIGNORE:
      choices = {{"Abort", QMessageBox::RejectRole, IDABORT}, {"Retry", QMessageBox::AcceptRole, IDRETRY},
                 {"Ignore", QMessageBox::AcceptRole, IDIGNORE}};
      break;
    case MB_YESNOCANCEL:
      choices = {{"Yes", QMessageBox::YesRole, IDYES}, {"No", QMessageBox::NoRole, IDNO},
                 {"Cancel", QMessageBox::RejectRole, IDCANCEL}};
      break;
    case MB_YESNO: choices = {{"Yes", QMessageBox::YesRole, IDYES}, {"No", QMessageBox::NoRole, IDNO}}; break;
    case MB_RETRYCANCEL: choices = {{"Retry", QMessageBox::AcceptRole, IDRETRY}, {"Cancel", QMessageBox::RejectRole, IDCANCEL}}; break;
    case MB_CANCELTRYCONTINUE:
      choices = {{"Cancel", QMessageBox::RejectRole, IDCANCEL}, {"Try Again", QMessageBox::AcceptRole, IDTRYAGAIN},
                 {"Continue", QMessageBox::AcceptRole, IDCONTINUE}};
      break;
    default: choices = {{"OK", QMessageBox::AcceptRole, IDOK}}; break;
  }
  std::vector<QPushButton*> buttons;
  for (const Choice& c : choices) buttons.push_back(box.addButton(c.text, c.role));
  const std::size_t defIndex = ((r.flags & MB_DEFMASK) >> 8) < choices.size() ? (r.flags & MB_DEFMASK) >> 8 : 0;
  box.setDefaultButton(buttons[defIndex]);
  // The close box or Escape: Cancel where there is one, else the only button (OK).
  for (std::size_t i = 0; i < choices.size(); ++i)
    if (choices[i].id == IDCANCEL || choices.size() == 1) box.setEscapeButton(buttons[i]);
  box.exec();
  for (std::size_t i = 0; i < buttons.size(); ++i)
    if (box.clickedButton() == buttons[i]) return choices[i].id;
  return choices.size() == 1 ? choices[0].id : IDCANCEL;
}

DialogAnswer AskFiles(const DialogRequest& r) {
  QFileDialog dialog(nullptr, QString::fromStdString(r.caption), QString::fromStdString(r.initialDir));
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
  if (dialog.exec() != QDialog::Accepted) return answer;
  for (const QString& file : dialog.selectedFiles()) answer.files.push_back(file.toStdString());
  if (!answer.files.empty()) answer.result = IDOK;
  return answer;
}

DialogAnswer AskModal(const DialogRequest& r) {
  Renderer* renderer = Renderer::Current();
  TForm* form = r.form;
  if (!renderer || !form) return DefaultAnswer(r);
  QWidget* window = renderer->WindowOf(form);
  if (!window->isVisible()) {
    window->setWindowModality(Qt::ApplicationModal);
    window->show();
  }
  // The window's own buttons and close box end the loop through the form's
  // modal result (which wakes the loop).
  while (form->ModalResult() == mrNone && form->Modal() && !Application->Terminated()) Application->HandleMessage();
  return DialogAnswer{};
}

DialogAnswer AskHere(const DialogRequest& r) {
  switch (r.kind) {
    case DialogKind::MessageBox:
    case DialogKind::ShowMessage:
    case DialogKind::Error: {
      DialogAnswer answer;
      answer.result = AskMessageBox(r);
      return answer;
    }
    case DialogKind::OpenFile:
    case DialogKind::SaveFile:
    case DialogKind::Folder:
      return AskFiles(r);
    case DialogKind::Modal:
      return AskModal(r);
  }
  return DefaultAnswer(r);
}

}  // namespace

DialogAnswer QtDialogs::Ask(const DialogRequest& request) {
  if (Application->IsUiThread()) return AskHere(request);
  DialogAnswer answer = DefaultAnswer(request);
  try {
    Application->Synchronize([&] { answer = AskHere(request); });
  } catch (const EThread&) {
    // The application ended before the dialog could be shown.
  }
  return answer;
}

}  // namespace gui
