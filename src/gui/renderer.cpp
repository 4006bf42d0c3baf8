#include "gui/renderer.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSlider>
#include <QSocketNotifier>
#include <QTabBar>
#include <QTabWidget>
#include <QToolButton>
#include <algorithm>
#include <cmath>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "gui/waker.h"

namespace gui {

using namespace platform::ui;

// ---- Waker ---------------------------------------------------------------------

struct Waker::Fd {
  int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  void Wake() const {
    const std::uint64_t one = 1;
    if (fd >= 0 && ::write(fd, &one, sizeof one) < 0) {
      // Only a full counter refuses, and then a wake-up is pending anyway.
    }
  }
};

Waker::Waker(std::function<void()> onWake) : fd_(std::make_shared<Fd>()), onWake_(std::move(onWake)) {
  if (fd_->fd < 0) throw Exception("Cannot create the window's wake-up channel");
  notifier_ = std::make_unique<QSocketNotifier>(fd_->fd, QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
    std::uint64_t count = 0;
    if (::read(fd_->fd, &count, sizeof count) < 0) return;
    if (onWake_) onWake_();
  });
}

Waker::~Waker() = default;

std::function<void()> Waker::WakeFunction() const {
  return [fd = fd_] { fd->Wake(); };
}

void Waker::Wake() const { fd_->Wake(); }

// ---- colours and fonts ---------------------------------------------------------------

namespace {

QColor ToQColor(TColor color) {
  const TColor rgb = ColorToRGB(color);
  return QColor(static_cast<int>(rgb & 0xFF), static_cast<int>((rgb >> 8) & 0xFF), static_cast<int>((rgb >> 16) & 0xFF));
}

QString Q(const std::string& text) { return QString::fromStdString(text); }

// The window of a form: its size sets the scale of everything in it; its
// close box is the operator's close of the form.
class FormWindow : public QWidget {
 public:
  FormWindow(TForm* form, std::function<void()> onResize) : form_(form), onResize_(std::move(onResize)) {}

 protected:
  void resizeEvent(QResizeEvent* e) override {
    QWidget::resizeEvent(e);
    if (onResize_) onResize_();
  }
  void closeEvent(QCloseEvent* e) override {
    // The model decides: a modal form ends, the main form closes the
    // application (after its close handler), another form hides.
    e->ignore();
    form_->UserClose();
  }

 private:
  TForm* form_;
  std::function<void()> onResize_;
};

// The gauge: a bar in its fore colour over its back colour, the percentage
// in the middle.
class GaugeWidget : public QWidget {
 public:
  using QWidget::QWidget;
  int percent = 0;
  QColor fore = Qt::black, back = Qt::white;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    const QRect r = rect().adjusted(0, 0, -1, -1);
    p.fillRect(r, back);
    const int filled = static_cast<int>(std::lround(r.width() * std::clamp(percent, 0, 100) / 100.0));
    p.fillRect(QRect(r.left(), r.top(), filled, r.height()), fore);
    p.setPen(Qt::gray);
    p.drawRect(r);
    const QString text = QString::number(percent) + "%";
    // The percentage reads in both halves: back colour over the bar, fore over the rest.
    p.setClipRect(QRect(r.left(), r.top(), filled, r.height() + 1));
    p.setPen(back);
    p.drawText(r, Qt::AlignCenter, text);
    p.setClipRect(QRect(r.left() + filled, r.top(), r.width() - filled + 1, r.height() + 1));
    p.setPen(fore);
    p.drawText(r, Qt::AlignCenter, text);
  }
};

// Up and down arrows.
class UpDownWidget : public QWidget {
 public:
  explicit UpDownWidget(QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    up = new QToolButton(this);
    up->setArrowType(Qt::UpArrow);
    down = new QToolButton(this);
    down->setArrowType(Qt::DownArrow);
    layout->addWidget(up);
    layout->addWidget(down);
  }
  QToolButton* up;
  QToolButton* down;
};

// Turns the mouse and the space bar on a button, check box or radio button
// into the model's calls, and keeps Qt from changing the widget by itself:
// the widget shows what the model says.
class ClickFilter : public QObject {
 public:
  explicit ClickFilter(TControl* control, QObject* parent) : QObject(parent), control_(control) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* widget = static_cast<QWidget*>(watched);
    switch (event->type()) {
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonDblClick:
        return true;
      case QEvent::MouseButtonRelease: {
        auto* e = static_cast<QMouseEvent*>(event);
        if (widget->isEnabled() && widget->rect().contains(e->position().toPoint())) {
          if (e->button() == Qt::LeftButton) control_->UserClick();
          if (e->button() == Qt::RightButton) control_->UserRightClick();
        }
        return true;
      }
      case QEvent::KeyPress:
      case QEvent::KeyRelease: {
        auto* e = static_cast<QKeyEvent*>(event);
        if (e->key() != Qt::Key_Space) return false;
        if (event->type() == QEvent::KeyRelease && !e->isAutoRepeat() && widget->isEnabled()) KeyToggle();
        return true;
      }
      default:
        return false;
    }
  }

 private:
  void KeyToggle() {
    if (auto* b = dynamic_cast<TButton*>(control_)) b->UserKeyToggle();
    if (auto* c = dynamic_cast<TCheckBox*>(control_)) c->UserKeyToggle();
    if (auto* r = dynamic_cast<TRadioButton*>(control_)) r->UserKeyToggle();
  }
  TControl* control_;
};

// A list box: a click selects through the model (Ctrl extends a multiple
// selection), the arrow keys move the selection.
class ListFilter : public QObject {
 public:
  ListFilter(TListBox* list, QListWidget* widget) : QObject(widget), list_(list), widget_(widget) {}

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) {
      auto* e = static_cast<QMouseEvent*>(event);
      const int row = widget_->indexAt(e->position().toPoint()).row();
      if (row >= 0 && e->button() == Qt::LeftButton && event->type() == QEvent::MouseButtonPress)
        list_->UserSelect(row, (e->modifiers() & Qt::ControlModifier) != 0);
      return true;
    }
    if (event->type() == QEvent::MouseButtonRelease || event->type() == QEvent::MouseMove) return true;
    if (event->type() == QEvent::KeyPress) {
      auto* e = static_cast<QKeyEvent*>(event);
      const int step = e->key() == Qt::Key_Up ? -1 : e->key() == Qt::Key_Down ? 1 : 0;
      if (step == 0) return false;
      const int next = std::clamp(list_->ItemIndex() + step, 0, list_->Items.Count() - 1);
      if (next >= 0) list_->UserSelect(next);
      return true;
    }
    return false;
  }

 private:
  TListBox* list_;
  QListWidget* widget_;
};

enum class Kind { Form, PageControl, TabSheet, GroupBox, Container, Label, Button, CheckBox, Radio, Edit, Combo, List,
                  Gauge, Progress, Image, Track, UpDown };

Kind KindOf(TControl* c) {
  if (c->IsForm()) return Kind::Form;
  if (dynamic_cast<TPageControl*>(c)) return Kind::PageControl;
  if (dynamic_cast<TTabSheet*>(c)) return Kind::TabSheet;
  if (dynamic_cast<TGroupBox*>(c)) return Kind::GroupBox;
  if (dynamic_cast<TWinControl*>(c)) return Kind::Container;  // panels and any other container
  if (dynamic_cast<TButton*>(c)) return Kind::Button;
  if (dynamic_cast<TCheckBox*>(c)) return Kind::CheckBox;
  if (dynamic_cast<TRadioButton*>(c)) return Kind::Radio;
  if (dynamic_cast<TEdit*>(c)) return Kind::Edit;
  if (dynamic_cast<TComboBox*>(c)) return Kind::Combo;
  if (dynamic_cast<TListBox*>(c)) return Kind::List;
  if (dynamic_cast<TCGauge*>(c)) return Kind::Gauge;
  if (dynamic_cast<TProgressBar*>(c)) return Kind::Progress;
  if (dynamic_cast<TImage*>(c)) return Kind::Image;
  if (dynamic_cast<TTrackBar*>(c)) return Kind::Track;
  if (dynamic_cast<TUpDown*>(c)) return Kind::UpDown;
  return Kind::Label;  // labels, static texts and anything else: its text
}

struct Binding {
  TControl* control = nullptr;
  Kind kind = Kind::Label;
  TForm* form = nullptr;
  QPointer<QWidget> widget;
  std::uint64_t revision = ~std::uint64_t{0};
  bool syncing = false;  // the widget is being set from the model: its signals are not the operator's
  std::shared_ptr<const TPicture> picture;  // the picture now shown
  // What the widget was last given, so that unchanged properties cost nothing.
  QRect placed;
  QFont font;
  TColor color = clNone;
};

}  // namespace

// ---- the renderer ----------------------------------------------------------------------

struct Renderer::State {
  // Shared with the observer, which runs on any thread.
  std::mutex m;
  std::unordered_set<TControl*> changed;  // guarded by m
  std::vector<TControl*> destroyed;       // guarded by m
  std::function<void()> wake;             // set once before observing

  // Qt thread only.
  std::unique_ptr<Waker> waker;
  std::unordered_map<const TControl*, std::unique_ptr<Binding>> bindings;
  bool flushing = false;

  Binding* Find(const TControl* c) const {
    auto it = bindings.find(c);
    return it == bindings.end() ? nullptr : it->second.get();
  }
  QWidget* Build(TControl* control, TForm* form, QWidget* parentWidget);
  void BuildChildren(TWinControl* container, TForm* form, QWidget* widget);
  void Sync(Binding& b, bool force = false);
  void Place(Binding& b);
  void PlaceForm(TForm* form);
  double FontScale(TForm* form) const;
  void Flush();
};

namespace {
std::mutex g_currentMutex;
Renderer::State* g_current = nullptr;  // guarded by g_currentMutex
Renderer* g_renderer = nullptr;        // guarded by g_currentMutex

void Observe(TControl* control, ControlChange change) {
  std::function<void()> wake;
  {
    std::lock_guard lock(g_currentMutex);
    Renderer::State* s = g_current;
    if (!s) return;
    std::lock_guard stateLock(s->m);
    if (change == ControlChange::Destroyed) {
      s->changed.erase(control);
      s->destroyed.push_back(control);
    } else if (!s->changed.insert(control).second) {
      return;  // already noted; a wake-up is on its way
    }
    wake = s->wake;
  }
  wake();
}
}  // namespace

Renderer::Renderer() : s_(std::make_unique<State>()) {
  s_->waker = std::make_unique<Waker>([s = s_.get()] { s->Flush(); });
  s_->wake = s_->waker->WakeFunction();
  std::lock_guard lock(g_currentMutex);
  if (g_current) throw EInvalidOperation("Only one renderer at a time");
  g_current = s_.get();
  g_renderer = this;
  SetControlObserver(&Observe);
}

Renderer::~Renderer() {
  {
    std::lock_guard lock(g_currentMutex);
    SetControlObserver(nullptr);
    g_current = nullptr;
    g_renderer = nullptr;
  }
  std::vector<QPointer<QWidget>> windows;
  for (auto& [control, b] : s_->bindings)
    if (b->kind == Kind::Form) windows.push_back(b->widget);
  s_->bindings.clear();
  for (auto& w : windows) delete w.data();
}

Renderer* Renderer::Current() {
  std::lock_guard lock(g_currentMutex);
  return g_renderer;
}

QWidget* Renderer::WindowOf(TForm* form) {
  s_->Flush();
  if (Binding* b = s_->Find(form)) return b->widget;
  QWidget* window = s_->Build(form, form, nullptr);
  s_->PlaceForm(form);
  return window;
}

QWidget* Renderer::WidgetOf(const TControl* control) const {
  Binding* b = s_->Find(control);
  return b ? b->widget.data() : nullptr;
}

void Renderer::Flush() { s_->Flush(); }

void Renderer::State::Flush() {
  if (flushing) return;  // a handler run from a widget update: the outer flush goes on
  flushing = true;
  std::unordered_set<TControl*> todo;
  std::vector<TControl*> gone;
  {
    std::lock_guard lock(m);
    todo.swap(changed);
    gone.swap(destroyed);
  }
  for (TControl* c : gone) {
    todo.erase(c);
    auto it = bindings.find(c);
    if (it == bindings.end()) continue;
    QPointer<QWidget> widget = it->second->widget;
    const bool window = it->second->kind == Kind::Form;
    bindings.erase(it);
    // A child's widget goes with its window; the window itself is deleted here.
    if (window) delete widget.data();
  }
  for (TControl* c : todo) {
    if (Binding* b = Find(c)) {
      Sync(*b);
      if (b->kind == Kind::Form || dynamic_cast<TWinControl*>(c))
        BuildChildren(static_cast<TWinControl*>(c), b->form, b->widget);  // controls added later
      continue;
    }
    // A form not drawn yet is built when it is shown.
    if (c->IsForm() && c->Visible()) {
      auto* form = static_cast<TForm*>(c);
      Build(form, form, nullptr);
      PlaceForm(form);
      Sync(*Find(form), true);
    }
  }
  flushing = false;
}

QWidget* Renderer::State::Build(TControl* control, TForm* form, QWidget* parentWidget) {
  auto binding = std::make_unique<Binding>();
  Binding& b = *binding;
  b.control = control;
  b.kind = KindOf(control);
  b.form = form;
  QWidget* w = nullptr;
  switch (b.kind) {
    case Kind::Form:
      w = new FormWindow(form, [this, form] { PlaceForm(form); });
      break;
    case Kind::PageControl: {
      auto* tabs = new QTabWidget(parentWidget);
      auto* pc = static_cast<TPageControl*>(control);
      QObject::connect(tabs->tabBar(), &QTabBar::tabBarClicked, [pc](int index) { pc->UserSelect(index); });
      w = tabs;
      break;
    }
    case Kind::TabSheet: {
      auto* tabs = qobject_cast<QTabWidget*>(parentWidget);
      w = new QWidget;
      if (tabs) tabs->addTab(w, Q(control->Caption()));
      break;
    }
    case Kind::GroupBox:
      w = new QGroupBox(parentWidget);
      break;
    case Kind::Container: {
      auto* frame = new QFrame(parentWidget);
      frame->setFrameShape(QFrame::StyledPanel);
      w = frame;
      break;
    }
    case Kind::Label:
      w = new QLabel(parentWidget);
      break;
    case Kind::Button:
      w = new QPushButton(parentWidget);
      break;
    case Kind::CheckBox:
      w = new QCheckBox(parentWidget);
      break;
    case Kind::Radio: {
      auto* radio = new QRadioButton(parentWidget);
      radio->setAutoExclusive(false);  // the model turns the others off
      w = radio;
      break;
    }
    case Kind::Edit: {
      auto* edit = new QLineEdit(parentWidget);
      auto* model = static_cast<TEdit*>(control);
      QObject::connect(edit, &QLineEdit::textEdited, [this, model](const QString& text) {
        model->UserType(text.toStdString());
        Flush();  // the model may refuse or convert what was typed
      });
      w = edit;
      break;
    }
    case Kind::Combo: {
      auto* combo = new QComboBox(parentWidget);
      auto* model = static_cast<TComboBox*>(control);
      Binding* bp = &b;
      QObject::connect(combo, &QComboBox::activated, [this, model, bp](int index) {
        if (!bp->syncing) model->UserSelect(index);
        Flush();
      });
      w = combo;
      break;
    }
    case Kind::List: {
      auto* list = new QListWidget(parentWidget);
      list->setSelectionMode(QAbstractItemView::NoSelection);  // selection is drawn from the model
      list->viewport()->installEventFilter(new ListFilter(static_cast<TListBox*>(control), list));
      list->installEventFilter(new ListFilter(static_cast<TListBox*>(control), list));
      w = list;
      break;
    }
    case Kind::Gauge:
      w = new GaugeWidget(parentWidget);
      break;
    case Kind::Progress:
      w = new QProgressBar(parentWidget);
      break;
    case Kind::Image: {
      auto* label = new QLabel(parentWidget);
      label->setAlignment(Qt::AlignCenter);
      w = label;
      break;
    }
    case Kind::Track: {
      auto* slider = new QSlider(Qt::Horizontal, parentWidget);
      slider->setTickPosition(QSlider::TicksBelow);
      auto* model = static_cast<TTrackBar*>(control);
      Binding* bp = &b;
      QObject::connect(slider, &QSlider::valueChanged, [bp, model](int value) {
        if (!bp->syncing) model->UserSetPosition(value);
      });
      w = slider;
      break;
    }
    case Kind::UpDown: {
      auto* ud = new UpDownWidget(parentWidget);
      auto* model = static_cast<TUpDown*>(control);
      QObject::connect(ud->up, &QToolButton::clicked, [model] { model->UserClick(btNext); });
      QObject::connect(ud->down, &QToolButton::clicked, [model] { model->UserClick(btPrev); });
      w = ud;
      break;
    }
  }
  if (b.kind == Kind::Button || b.kind == Kind::CheckBox || b.kind == Kind::Radio)
    w->installEventFilter(new ClickFilter(control, w));
  w->setObjectName(Q(control->Name()));
  b.widget = w;
  bindings[control] = std::move(binding);
  Sync(b, true);
  if (auto* container = dynamic_cast<TWinControl*>(control)) {
    BuildChildren(container, form, w);
    Sync(b, true);  // a page control shows its active page once the pages exist
  }
  return w;
}

void Renderer::State::BuildChildren(TWinControl* container, TForm* form, QWidget* widget) {
  if (!widget) return;
  for (TControl* child : container->Children()) {
    if (Find(child)) continue;
    Build(child, form, widget);
    Place(*Find(child));
  }
}

double Renderer::State::FontScale(TForm* form) const {
  const Binding* fb = Find(form);
  if (!fb || !fb->widget || form->Width() <= 0 || form->Height() <= 0) return 1.0;
  const double sx = fb->widget->width() / static_cast<double>(form->Width());
  const double sy = fb->widget->height() / static_cast<double>(form->Height());
  return std::max(1.0, std::min(sx, sy));
}

void Renderer::State::Place(Binding& b) {
  if (!b.widget || b.kind == Kind::Form || b.kind == Kind::TabSheet) return;
  const Binding* fb = Find(b.form);
  double sx = 1.0, sy = 1.0;
  if (fb && fb->widget && b.form->Width() > 0 && b.form->Height() > 0) {
    sx = fb->widget->width() / static_cast<double>(b.form->Width());
    sy = fb->widget->height() / static_cast<double>(b.form->Height());
  }
  auto at = [](int v, double scale) { return static_cast<int>(std::lround(v * scale)); };
  const QRect rect(at(b.control->Left(), sx), at(b.control->Top(), sy), at(b.control->Width(), sx),
                  at(b.control->Height(), sy));
  if (rect != b.placed) {
    b.widget->setGeometry(rect);
    b.placed = rect;
  }
  const TFont font = b.control->Font();
  QFont qfont = QApplication::font();
  qfont.setPointSizeF(std::max(font.Size, 8) * FontScale(b.form));
  qfont.setBold(font.Bold);
  if (qfont != b.font) {
    b.widget->setFont(qfont);
    b.font = qfont;
  }
}

void Renderer::State::PlaceForm(TForm* form) {
  for (auto& [control, b] : bindings)
    if (b->form == form) Place(*b);
}

void Renderer::State::Sync(Binding& b, bool force) {
  QWidget* w = b.widget;
  if (!w) return;
  TControl* c = b.control;
  const std::uint64_t revision = c->Revision();
  if (!force && revision == b.revision) return;
  b.revision = revision;
  b.syncing = true;
  const QString text = Q(c->Text());
  const bool enabled = c->Enabled();
  if (w->isEnabled() != enabled || b.kind == Kind::Form) w->setEnabled(enabled);
  if (b.kind != Kind::Form && b.kind != Kind::TabSheet) {
    if (const TColor color = c->FontColor(); color != b.color) {
      b.color = color;
      QPalette palette = w->palette();
      const QColor fore = ToQColor(color);
      palette.setColor(QPalette::WindowText, fore);
      palette.setColor(QPalette::Text, fore);
      palette.setColor(QPalette::ButtonText, fore);
      w->setPalette(palette);
    }
    Place(b);
    w->setVisible(c->Visible());
  }
  switch (b.kind) {
    case Kind::Form: {
      auto* form = static_cast<TForm*>(c);
      w->setWindowTitle(text);
      if (form->Visible() && !w->isVisible()) {
        w->setWindowModality(form->Modal() ? Qt::ApplicationModal : Qt::NonModal);
        if (w->width() < 10 || !w->property("placed").toBool()) {
          // First show: the main window takes the screen, a dialog its design
          // size, enlarged on a big screen.
          w->setProperty("placed", true);
          const QRect avail = w->screen() ? w->screen()->availableGeometry() : QRect(0, 0, 1280, 800);
          const int fw = std::max(form->Width(), 100), fh = std::max(form->Height(), 60);
          if (Application->MainForm() == form) {
            w->resize(avail.size());
            w->showMaximized();
          } else {
            const double scale = std::clamp(std::min(avail.width() * 0.9 / fw, avail.height() * 0.9 / fh), 1.0, 1.3);
            w->resize(static_cast<int>(fw * scale), static_cast<int>(fh * scale));
            w->show();
          }
        } else {
          w->show();
        }
      } else if (!form->Visible() && w->isVisible()) {
        w->hide();
      }
      break;
    }
    case Kind::PageControl: {
      auto* tabs = static_cast<QTabWidget*>(w);
      auto* pc = static_cast<TPageControl*>(c);
      if (Binding* page = Find(pc->ActivePage()); page && page->widget) tabs->setCurrentWidget(page->widget);
      break;
    }
    case Kind::TabSheet:
      if (auto* tabs = qobject_cast<QTabWidget*>(w->parentWidget() ? w->parentWidget()->parentWidget() : nullptr))
        tabs->setTabText(tabs->indexOf(w), text);
      break;
    case Kind::GroupBox:
      static_cast<QGroupBox*>(w)->setTitle(text);
      break;
    case Kind::Container:
      break;
    case Kind::Label:
      if (static_cast<QLabel*>(w)->text() != text) static_cast<QLabel*>(w)->setText(text);
      break;
    case Kind::Button:
      static_cast<QPushButton*>(w)->setText(text);
      break;
    case Kind::CheckBox:
      static_cast<QCheckBox*>(w)->setText(text);
      static_cast<QCheckBox*>(w)->setChecked(static_cast<TCheckBox*>(c)->Checked());
      break;
    case Kind::Radio:
      static_cast<QRadioButton*>(w)->setText(text);
      static_cast<QRadioButton*>(w)->setChecked(static_cast<TRadioButton*>(c)->Checked());
      break;
    case Kind::Edit: {
      auto* edit = static_cast<QLineEdit*>(w);
      auto* model = static_cast<TEdit*>(c);
      edit->setReadOnly(model->ReadOnly());
      edit->setMaxLength(model->MaxLength() > 0 ? model->MaxLength() : 32767);
      if (edit->text() != text) edit->setText(text);
      break;
    }
    case Kind::Combo: {
      auto* combo = static_cast<QComboBox*>(w);
      auto* model = static_cast<TComboBox*>(c);
      QStringList items;
      for (const std::string& item : model->Items.ToVector()) items << Q(item);
      QStringList shown;
      for (int i = 0; i < combo->count(); ++i) shown << combo->itemText(i);
      if (shown != items) {
        combo->clear();
        combo->addItems(items);
      }
      const bool editable = model->Style() == csDropDown;
      if (combo->isEditable() != editable) {
        combo->setEditable(editable);
        if (editable)
          QObject::connect(combo->lineEdit(), &QLineEdit::textEdited, [this, model](const QString& t) {
            model->UserType(t.toStdString());
            Flush();
          });
      }
      combo->setCurrentIndex(model->ItemIndex());
      if (editable && combo->currentText() != text) combo->setEditText(text);
      break;
    }
    case Kind::List: {
      auto* list = static_cast<QListWidget*>(w);
      auto* model = static_cast<TListBox*>(c);
      const std::vector<std::string> items = model->Items.ToVector();
      bool same = list->count() == static_cast<int>(items.size());
      for (int i = 0; same && i < list->count(); ++i) same = list->item(i)->text() == Q(items[i]);
      if (!same) {
        list->clear();
        for (const std::string& item : items) list->addItem(Q(item));
      }
      const QPalette pal = QApplication::palette();
      for (int i = 0; i < list->count(); ++i) {
        const bool selected = model->Selected(i);
        list->item(i)->setBackground(selected ? pal.highlight() : QBrush());
        list->item(i)->setForeground(selected ? pal.highlightedText() : QBrush(ToQColor(c->FontColor())));
      }
      if (model->ItemIndex() >= 0 && model->ItemIndex() < list->count())
        list->scrollToItem(list->item(model->ItemIndex()));
      break;
    }
    case Kind::Gauge: {
      auto* gauge = static_cast<GaugeWidget*>(w);
      auto* model = static_cast<TCGauge*>(c);
      gauge->percent = model->PercentDone();
      gauge->fore = ToQColor(model->ForeColor());
      gauge->back = ToQColor(model->BackColor());
      gauge->update();
      break;
    }
    case Kind::Progress: {
      auto* bar = static_cast<QProgressBar*>(w);
      auto* model = static_cast<TProgressBar*>(c);
      bar->setRange(model->Min(), model->Max());
      bar->setValue(model->Position());
      break;
    }
    case Kind::Image: {
      auto* label = static_cast<QLabel*>(w);
      std::shared_ptr<const TPicture> picture = static_cast<TImage*>(c)->Picture();
      if (picture != b.picture) {
        b.picture = picture;
        QPixmap pixmap;
        if (picture) pixmap.loadFromData(picture->data.data(), static_cast<uint>(picture->data.size()));
        label->setPixmap(pixmap);
      }
      label->setScaledContents(true);
      break;
    }
    case Kind::Track: {
      auto* slider = static_cast<QSlider*>(w);
      auto* model = static_cast<TTrackBar*>(c);
      slider->setRange(model->Min(), model->Max());
      slider->setTickInterval(model->Frequency());
      slider->setValue(model->Position());
      break;
    }
    case Kind::UpDown:
      break;
  }
  b.syncing = false;
}

}  // namespace gui
