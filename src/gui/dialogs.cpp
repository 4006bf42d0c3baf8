#include "gui/dialogs.h"

#include <QAbstractButton>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QLocale>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QPushButton>
#include <QScreen>
#include <QTreeView>
#include <algorithm>
#include <atomic>
#include <vector>

#include "gui/language.h"
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

struct QtDialogs::State {
  std::function<void()> beforeDialog;
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

// The file dialog's model as the station's language writes it: sizes and
// dates in the default locale (Qt's own model writes them in the system's)
// and the type of a folder from the type database (Qt's own text for it has
// no translation).
class LocalizedFiles : public QIdentityProxyModel {
 public:
  using QIdentityProxyModel::QIdentityProxyModel;
  enum Column { kName, kSize, kType, kDate };

  QVariant data(const QModelIndex& index, int role) const override {
    auto* files = qobject_cast<QFileSystemModel*>(sourceModel());
    if (!files || role != Qt::DisplayRole || index.column() == kName) return QIdentityProxyModel::data(index, role);
    const QModelIndex source = mapToSource(index);
    const QLocale locale;
    switch (index.column()) {
      case kSize:
        return files->isDir(source) ? QString() : locale.formattedDataSize(files->size(source));
      case kType:
        if (files->isDir(source)) return QMimeDatabase().mimeTypeForName("inode/directory").comment();
        break;
      case kDate:
        return DateTimeText(locale, files->lastModified(source));
    }
    return QIdentityProxyModel::data(index, role);
  }
};

// Opens the dialog in its detail view at a size that shows each column
// whole: a long file name, a size, the types of the files an operator picks
// here (firmware, data and disk images, music, lists, folders) and a date as
// the station's language writes them, beside the places list; over its
// owner, inside the screen. The name column takes what the others leave.
void PlaceFileDialog(QFileDialog& dialog, QWidget* owner) {
  QScreen* screen = owner ? owner->screen() : dialog.screen();
  const QRect avail = screen ? screen->availableGeometry() : QRect(0, 0, 1280, 800);
  dialog.setViewMode(QFileDialog::Detail);
  const QFontMetrics fm(dialog.font());
  const QLocale locale;
  const int pad = 2 * fm.horizontalAdvance("MM");
  auto* view = dialog.findChild<QTreeView*>("treeView");
  QHeaderView* header = view ? view->header() : nullptr;
  auto title = [&](int column) {
    return header ? fm.horizontalAdvance(header->model()->headerData(column, Qt::Horizontal).toString()) : 0;
  };
  int type = title(LocalizedFiles::kType);
  const QMimeDatabase types;
  for (const char* name : {"application/octet-stream", "application/x-cd-image", "audio/mpeg", "text/plain",
                           "inode/directory"})
    type = std::max(type, fm.horizontalAdvance(types.mimeTypeForName(name).comment()));
  const int widths[] = {
      std::max(title(LocalizedFiles::kName), fm.horizontalAdvance("a long file name of an operator.mp3")) + pad,
      std::max(title(LocalizedFiles::kSize), fm.horizontalAdvance(locale.formattedDataSize(1023LL << 30))) + pad,
      type + pad,
      std::max(title(LocalizedFiles::kDate),
               fm.horizontalAdvance(DateTimeText(locale, QDateTime(QDate(2028, 12, 28), QTime(23, 58))))) + pad,
  };
  int columns = 0;
  for (int column = 0; column < 4; ++column) {
    if (header) header->resizeSection(column, widths[column]);
    columns += widths[column];
  }
  if (header) {
    header->setStretchLastSection(false);
    header->setSectionResizeMode(LocalizedFiles::kName, QHeaderView::Stretch);
  }
  QWidget* places = dialog.findChild<QWidget*>("sidebar");
  const int placesWidth = places ? places->sizeHint().width() : 0;
  // Its frame is not known before it is shown: the owner's stands for it.
  QMargins decoration;
  if (owner) {
    const QRect inner = owner->geometry(), outer = owner->frameGeometry();
    decoration = QMargins(inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
                          outer.bottom() - inner.bottom());
  }
  const QSize size = QSize(placesWidth + columns + 4 * pad, 28 * fm.height())
                         .boundedTo(avail.size() * 9 / 10 - QSize(decoration.left() + decoration.right(),
                                                                  decoration.top() + decoration.bottom()));
  QRect frame = QRect(QPoint(), size).marginsAdded(decoration);
  frame.moveCenter(owner ? owner->frameGeometry().center() : avail.center());
  frame.moveTo(std::clamp(frame.left(), avail.left(), avail.right() + 1 - frame.width()),
               std::clamp(frame.top(), avail.top(), avail.bottom() + 1 - frame.height()));
  dialog.resize(size);
  dialog.move(frame.topLeft());
}

DialogAnswer AskFiles(const DialogRequest& r, std::vector<std::function<void()>*>& open) {
  QWidget* owner = Renderer::DialogOwner();
  QFileDialog dialog(owner, QString::fromStdString(r.caption), QString::fromStdString(r.initialDir));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setProxyModel(new LocalizedFiles(&dialog));
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
  PlaceFileDialog(dialog, owner);
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

void QtDialogs::BeforeEachDialog(std::function<void()> hook) { s_->beforeDialog = std::move(hook); }

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
  if (s_->beforeDialog) s_->beforeDialog();
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
