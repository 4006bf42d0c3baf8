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
#include <QStyle>
#include <QStyleOption>
#include <QTabBar>
#include <QTabWidget>
#include <QToolButton>
#include <QWindow>
#include <algorithm>
#include <cmath>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "gui/layout_fit.h"
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
  // True while the operator's close of a window is being handled.
  static inline bool operatorClosing = false;

 protected:
  void resizeEvent(QResizeEvent* e) override {
    QWidget::resizeEvent(e);
    if (onResize_) onResize_();
  }
  void closeEvent(QCloseEvent* e) override {
    // The model decides: a modal form ends, the main form closes the
    // application (after its close handler), another form hides.
    e->ignore();
    OperatorClose();
  }
  void keyPressEvent(QKeyEvent* e) override {
    // Escape cancels a dialog as its close box does (the main window is none).
    if (e->key() == Qt::Key_Escape && form_ != Application->MainForm()) {
      OperatorClose();
      return;
    }
    QWidget::keyPressEvent(e);
  }

 private:
  void OperatorClose() {
    struct Closing {
      Closing() { operatorClosing = true; }
      ~Closing() { operatorClosing = false; }
    } closing;
    form_->UserClose();
  }
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

// A picture at its own size, in the middle of its box; made smaller (in
// proportion) only where the box is smaller than the picture.
class PictureWidget : public QWidget {
 public:
  using QWidget::QWidget;
  void SetPixmap(const QPixmap& pixmap) {
    pixmap_ = pixmap;
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    if (pixmap_.isNull()) return;
    QSize size = pixmap_.deviceIndependentSize().toSize();
    if (size.width() > width() || size.height() > height()) size.scale(this->size(), Qt::KeepAspectRatio);
    QRect place(QPoint(), size);
    place.moveCenter(rect().center());
    QPainter p(this);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawPixmap(place, pixmap_);
  }

 private:
  QPixmap pixmap_;
};

// A label's text: wrapped where the label is designed for more lines, else
// on one line, elided in the middle where it is wider than the label (its
// start and its end, where a status says "fail", both stay in view); the
// whole text is then the label's tip.
class TextLabel : public QLabel {
 public:
  using QLabel::QLabel;
  void SetFullText(const QString& text, bool wraps) {
    full_ = text;
    setWordWrap(wraps);
    Refresh();
  }

 protected:
  void resizeEvent(QResizeEvent* e) override {
    QLabel::resizeEvent(e);
    Refresh();
  }
  void changeEvent(QEvent* e) override {
    QLabel::changeEvent(e);
    if (e->type() == QEvent::FontChange) Refresh();
  }

 private:
  void Refresh() {
    const QString shown =
        wordWrap() ? full_ : fontMetrics().elidedText(full_, Qt::ElideMiddle, contentsRect().width());
    if (text() != shown) setText(shown);
    const QString tip = shown == full_ ? QString() : full_;
    if (toolTip() != tip) setToolTip(tip);
  }
  QString full_;
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

// A click on a control whose widget has no click of its own for the model
// (an edit, a label, a picture, a gauge, a container, a window's background)
// goes to the model as the operator's click, so that the model's click rules
// hold there too (the password edit empties when clicked into). The widget
// still gets the event (an edit ends a selection, pastes with the middle
// button); a container takes only the clicks on its own area, not those its
// children pass on to it.
class ModelClickFilter : public QObject {
 public:
  ModelClickFilter(TControl* control, QObject* parent) : QObject(parent), control_(control) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::MouseButtonRelease) return false;
    auto* widget = static_cast<QWidget*>(watched);
    auto* e = static_cast<QMouseEvent*>(event);
    const QPoint at = e->position().toPoint();
    if (widget->isEnabled() && widget->rect().contains(at) && !widget->childAt(at)) {
      if (e->button() == Qt::LeftButton) control_->UserClick();
      if (e->button() == Qt::RightButton) control_->UserRightClick();
    }
    return false;
  }

 private:
  TControl* control_;
};

// A list box: a click selects through the model (Ctrl extends a multiple
// selection), the arrow keys move the selection; the view's own selecting by
// mouse or key is kept out, as its selection is the model's.
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
      if (e->key() == Qt::Key_Tab || e->key() == Qt::Key_Backtab || e->key() == Qt::Key_Escape) return false;
      const int step = e->key() == Qt::Key_Up ? -1 : e->key() == Qt::Key_Down ? 1 : 0;
      if (step == 0) return true;
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
  // The layout: the rectangle as designed, the one fitted to the content
  // (pixels at the base font, in the parent widget's coordinates), and the
  // text and font the fit was made for.
  QRect design;
  QRect fitted;
  QString text;
  TFont modelFont;
  // A form: the size its fitted layout needs, and whether it must be fitted again.
  QSize fittedSize;
  bool fitDue = true;
  bool built = false;  // a container: its children are built
  // Written from another thread than the Qt thread (by a worker): a text
  // that changes as runs go, which the layout does not fit itself to.
  bool live = false;
};

// How a form's window is scaled from its fitted layout.
struct Scale {
  double x = 1, y = 1, font = 1;
};

// Rounding of scaled fonts: a text is given this much more room than it measures.
constexpr int kSlack = 2;
// Where a page's content sits as designed: its page control less the room
// its tabs and frame take there.
constexpr QSize kDesignedTabChrome(8, 28);
// The least margin between a page's edges and its content.
constexpr int kPageMargin = 4;

QRect DesignRect(const TControl* c) { return QRect(c->Left(), c->Top(), c->Width(), c->Height()); }

// The font a control's text is drawn in at the base scale: the application's
// font at the control's size (8 points at least) and weight.
QFont BaseFont(const TFont& f) {
  QFont font = QApplication::font();
  font.setPointSizeF(std::max(f.Size, 8));
  font.setBold(f.Bold);
  return font;
}

// A label designed two lines high or more wraps its text at word breaks.
bool Wraps(const TControl* c) { return c->Height() >= 2 * QFontMetrics(BaseFont(c->Font())).height(); }

QStyleOptionGroupBox GroupOption(QWidget* w, const QFontMetrics& fm, const QString& title) {
  QStyleOptionGroupBox opt;
  opt.initFrom(w);
  opt.fontMetrics = fm;
  opt.rect = QRect(0, 0, 1000, 1000);
  opt.text = title;
  opt.lineWidth = 1;
  opt.textAlignment = Qt::AlignLeft;
  opt.subControls = QStyle::SC_GroupBoxFrame;
  if (!title.isEmpty()) opt.subControls |= QStyle::SC_GroupBoxLabel;
  return opt;
}

// The least size a control's own content needs at the base font; 0 where the
// design decides alone.
QSize Need(const Binding& b) {
  QWidget* w = b.widget;
  if (!w) return {};
  const QFontMetrics fm(BaseFont(b.control->Font()));
  const QString text = Q(b.control->Text());
  QStyle* style = w->style();
  const int line = fm.height();
  const QSize textSize = fm.size(Qt::TextShowMnemonic, text);
  switch (b.kind) {
    case Kind::Label: {
      if (text.isEmpty()) return {};
      if (b.live) return {0, Wraps(b.control) ? 0 : line};  // its designed width; elided beyond it
      if (!Wraps(b.control)) return fm.size(0, text) + QSize(kSlack, 0);
      int width = b.control->Width();
      for (const QString& word : text.split(' ', Qt::SkipEmptyParts))
        width = std::max(width, fm.horizontalAdvance(word) + kSlack);
      return {width, fm.boundingRect(QRect(0, 0, width, 1 << 20), Qt::TextWordWrap, text).height()};
    }
    case Kind::Button: {
      const int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, w);
      const int margin = style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, w);
      return {textSize.width() + margin + 2 * frame + 2 * kSlack, line + 2 * frame};
    }
    case Kind::CheckBox:
    case Kind::Radio: {
      QStyleOptionButton opt;
      opt.initFrom(w);
      opt.fontMetrics = fm;
      opt.text = text;
      const auto type = b.kind == Kind::Radio ? QStyle::CT_RadioButton : QStyle::CT_CheckBox;
      return {style->sizeFromContents(type, &opt, textSize, w).width() + kSlack, line};
    }
    case Kind::Combo: {
      auto* combo = static_cast<TComboBox*>(b.control);
      int widest = 0;
      for (const std::string& item : combo->Items.ToVector()) widest = std::max(widest, fm.horizontalAdvance(Q(item)));
      QStyleOptionComboBox opt;
      opt.initFrom(w);
      opt.fontMetrics = fm;
      opt.editable = combo->Style() == csDropDown;
      return {style->sizeFromContents(QStyle::CT_ComboBox, &opt, QSize(widest, line), w).width() + kSlack, line + 4};
    }
    case Kind::Edit:
      return {0, line + 4};
    case Kind::GroupBox: {
      if (text.isEmpty()) return {};
      const QStyleOptionGroupBox opt = GroupOption(w, fm, text);
      const QRect title = style->subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxLabel, w);
      return {title.x() + title.width() + title.x() + kSlack, 0};  // the title's margin on both sides
    }
    default:
      return {};
  }
}

// The margins a container's content keeps from its edges at the base font.
QMargins Inset(const Binding& b) {
  switch (b.kind) {
    case Kind::GroupBox: {
      const QFontMetrics fm(BaseFont(b.control->Font()));
      const QStyleOptionGroupBox opt = GroupOption(b.widget, fm, Q(b.control->Text()));
      const QRect content =
          b.widget->style()->subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxContents, b.widget);
      return {content.left(), content.top(), opt.rect.right() - content.right(), opt.rect.bottom() - content.bottom()};
    }
    case Kind::Container: {
      const int frame = static_cast<QFrame*>(b.widget.data())->frameWidth();
      return {frame, frame, frame, frame};
    }
    case Kind::TabSheet:
      return {kPageMargin, kPageMargin, kPageMargin, kPageMargin};
    default:
      return {};
  }
}

// A page control at the base font: the room its tabs and frame take, and the
// width its tabs need side by side.
void TabsNeed(const Binding& b, const std::vector<QString>& titles, QSize& chrome, int& width) {
  auto* tabs = static_cast<QTabWidget*>(b.widget.data());
  QTabBar* bar = tabs->tabBar();
  QStyle* style = tabs->style();
  const QFontMetrics fm(BaseFont(b.control->Font()));
  int height = 0;
  width = 0;
  for (const QString& title : titles) {
    QStyleOptionTab opt;
    opt.initFrom(bar);
    opt.fontMetrics = fm;
    opt.text = title;
    opt.shape = QTabBar::RoundedNorth;
    const QSize contents(fm.size(Qt::TextShowMnemonic, title).width() +
                             style->pixelMetric(QStyle::PM_TabBarTabHSpace, &opt, bar) + kSlack,
                         fm.height() + style->pixelMetric(QStyle::PM_TabBarTabVSpace, &opt, bar));
    const QSize tab = style->sizeFromContents(QStyle::CT_TabBarTab, &opt, contents, bar);
    width += tab.width();
    height = std::max(height, tab.height());
  }
  const int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, tabs);
  chrome = QSize(2 * frame + 2, height + 2 * frame + 2);
  width += chrome.width();
}

// Moves a shown window (its frame) inside `avail`, made smaller when it is larger.
void KeepInside(QWidget* window, const QRect& avail) {
  QRect frame = window->frameGeometry();
  const QSize decoration = frame.size() - window->size();
  if (!avail.contains(QRect(avail.topLeft(), frame.size()))) {
    window->resize(window->size().boundedTo(avail.size() - decoration));
    frame = window->frameGeometry();
  }
  const QPoint to(std::clamp(frame.left(), avail.left(), avail.left() + avail.width() - frame.width()),
                  std::clamp(frame.top(), avail.top(), avail.top() + avail.height() - frame.height()));
  if (to != frame.topLeft()) window->move(to);
}

// Shows `window` at `size` centred over `owner` (or the screen), inside the
// screen's available area, and tells the window system whose dialog it is.
void ShowOver(QWidget* window, QSize size, QWidget* owner, const QRect& avail) {
  QRect r(QPoint(0, 0), size.boundedTo(avail.size()));
  r.moveCenter(owner ? owner->frameGeometry().center() : avail.center());
  window->resize(r.size());
  window->move(r.topLeft());
  if (owner) {
    window->winId();  // the native window the hint below is given to
    if (QWindow* handle = window->windowHandle()) handle->setTransientParent(owner->windowHandle());
  }
  window->show();
  KeepInside(window, avail);  // its frame is known once it is shown
}

}  // namespace

// ---- the renderer ----------------------------------------------------------------------

struct Renderer::State {
  // Shared with the observer, which runs on any thread.
  std::mutex m;
  std::unordered_set<TControl*> changed;  // guarded by m
  std::unordered_set<TControl*> live;     // guarded by m: ever changed off the Qt thread
  std::vector<TControl*> destroyed;       // guarded by m
  std::function<void()> wake;             // set once before observing
  const std::thread::id qtThread = std::this_thread::get_id();

  // Qt thread only.
  std::unique_ptr<Waker> waker;
  std::unordered_map<const TControl*, std::unique_ptr<Binding>> bindings;
  std::function<void(TForm*)> onWindowBuilt;
  std::function<void()> onFlushed;
  bool flushing = false;
  bool fitsDue = false;  // some form's layout must be fitted again

  Binding* Find(const TControl* c) const {
    auto it = bindings.find(c);
    return it == bindings.end() ? nullptr : it->second.get();
  }
  QWidget* Build(TControl* control, TForm* form, QWidget* parentWidget);
  void BuildChildren(TWinControl* container, TForm* form, QWidget* widget);
  void Sync(Binding& b, bool force = false);
  void NoteLayout(Binding& b);
  void FitDue(TForm* form);
  FitBox* FitTree(TControl* control, std::deque<FitBox>& boxes, std::vector<std::pair<Binding*, FitBox*>>& fitted);
  void FitForm(TForm* form);
  Scale ScaleOf(const TForm* form) const;
  void Place(Binding& b);
  void PlaceForm(TForm* form);
  void ShowWindow(Binding& b);
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
      s->live.erase(control);
      s->destroyed.push_back(control);
    } else {
      if (std::this_thread::get_id() != s->qtThread) s->live.insert(control);
      if (!s->changed.insert(control).second) return;  // already noted; a wake-up is on its way
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

void Renderer::OnWindowBuilt(std::function<void(TForm*)> hook) { s_->onWindowBuilt = std::move(hook); }

void Renderer::OnFlushed(std::function<void()> hook) { s_->onFlushed = std::move(hook); }

bool Renderer::OperatorClosing() { return FormWindow::operatorClosing; }

QWidget* Renderer::DialogOwner() {
  if (QWidget* modal = QApplication::activeModalWidget()) return modal;
  if (Renderer* r = Current())
    if (TForm* main = Application->MainForm())
      if (QWidget* w = r->WidgetOf(main); w && w->isVisible()) return w;
  return QApplication::activeWindow();
}

void Renderer::State::Flush() {
  if (flushing) return;  // a handler run from a widget update: the outer flush goes on
  flushing = true;
  std::unordered_set<TControl*> todo;
  std::vector<TControl*> gone, nowLive;
  {
    std::lock_guard lock(m);
    todo.swap(changed);
    gone.swap(destroyed);
    for (TControl* c : todo)
      if (live.count(c)) nowLive.push_back(c);
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
  for (TControl* c : nowLive)
    if (Binding* b = Find(c)) b->live = true;
  // Windows that open come last: the one they open over is the one still open.
  std::vector<TControl*> order(todo.begin(), todo.end());
  std::stable_partition(order.begin(), order.end(), [](TControl* c) { return !(c->IsForm() && c->Visible()); });
  for (TControl* c : order) {
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
  if (fitsDue) {
    fitsDue = false;
    for (auto& [control, b] : bindings)
      if (b->kind == Kind::Form && b->fitDue) PlaceForm(b->form);
  }
  flushing = false;
  if (onFlushed) onFlushed();
}

void Renderer::Restyle() {
  for (auto& [control, b] : s_->bindings)
    if (b->kind == Kind::Form) s_->FitDue(b->form);
  s_->fitsDue = false;
  for (auto& [control, b] : s_->bindings)
    if (b->kind == Kind::Form) s_->PlaceForm(b->form);
}

QWidget* Renderer::State::Build(TControl* control, TForm* form, QWidget* parentWidget) {
  auto binding = std::make_unique<Binding>();
  Binding& b = *binding;
  b.control = control;
  b.kind = KindOf(control);
  b.form = form;
  {
    std::lock_guard lock(m);
    b.live = live.count(control) > 0;
  }
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
      w = new TextLabel(parentWidget);
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
      list->setSelectionMode(QAbstractItemView::MultiSelection);  // set from the model only (ListFilter)
      list->viewport()->installEventFilter(new ListFilter(static_cast<TListBox*>(control), list));
      list->installEventFilter(new ListFilter(static_cast<TListBox*>(control), list));
      w = list;
      break;
    }
    case Kind::Gauge:
      w = new GaugeWidget(parentWidget);
      break;
    case Kind::Progress: {
      auto* bar = new QProgressBar(parentWidget);
      bar->setTextVisible(false);  // a busy indicator: its position is no measure of anything
      w = bar;
      break;
    }
    case Kind::Image:
      w = new PictureWidget(parentWidget);
      break;
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
  switch (b.kind) {
    case Kind::Button:
    case Kind::CheckBox:
    case Kind::Radio:
      w->installEventFilter(new ClickFilter(control, w));
      break;
    case Kind::PageControl:  // its tabs select pages; its pages take their own clicks
    case Kind::Combo:        // choosing an item is its click
    case Kind::List:
    case Kind::Track:
    case Kind::UpDown:
      break;
    default:
      w->installEventFilter(new ModelClickFilter(control, w));
      break;
  }
  w->setObjectName(Q(control->Name()));
  b.widget = w;
  bindings[control] = std::move(binding);
  Sync(b, true);
  if (auto* container = dynamic_cast<TWinControl*>(control)) {
    BuildChildren(container, form, w);
    b.built = true;
    Sync(b, true);  // a page control shows its active page, a window opens, once the children exist
  }
  if (b.kind == Kind::Form && onWindowBuilt) onWindowBuilt(form);
  return w;
}

void Renderer::State::BuildChildren(TWinControl* container, TForm* form, QWidget* widget) {
  if (!widget) return;
  for (TControl* child : container->Children()) {
    if (Find(child)) continue;
    Build(child, form, widget);
    FitDue(form);
  }
}

void Renderer::State::FitDue(TForm* form) {
  if (Binding* fb = Find(form)) {
    fb->fitDue = true;
    fitsDue = true;
  }
}

// Whether what the form's layout was fitted for has changed: the control's
// design, its font, or a caption (a label's text only when it no longer
// fits: status texts change all the time and mostly fit).
void Renderer::State::NoteLayout(Binding& b) {
  TControl* c = b.control;
  const QRect design = DesignRect(c);
  const TFont font = c->Font();
  const QString text = Q(c->Text());
  bool due = design != b.design || !(font == b.modelFont);
  if (text != b.text) {
    switch (b.kind) {
      case Kind::Label: {
        if (b.live) break;
        const QSize need = Need(b);
        due = due || need.width() > b.fitted.width() || need.height() > b.fitted.height();
        break;
      }
      case Kind::Button:
      case Kind::CheckBox:
      case Kind::Radio:
      case Kind::GroupBox:
      case Kind::TabSheet:
      case Kind::Form:
        due = true;
        break;
      default:
        break;
    }
  }
  b.design = design;
  b.modelFont = font;
  b.text = text;
  if (due) FitDue(b.form);
}

FitBox* Renderer::State::FitTree(TControl* control, std::deque<FitBox>& boxes,
                                 std::vector<std::pair<Binding*, FitBox*>>& fitted) {
  FitBox& box = boxes.emplace_back();
  box.design = DesignRect(control);
  Binding* b = Find(control);
  if (!b || !b->widget) return &box;
  fitted.emplace_back(b, &box);
  box.need = Need(*b);
  auto* container = dynamic_cast<TWinControl*>(control);
  if (!container) return &box;
  box.inset = Inset(*b);
  box.pages = b->kind == Kind::PageControl;
  std::vector<QString> titles;
  for (TControl* child : container->Children()) {
    FitBox* inner = FitTree(child, boxes, fitted);
    if (box.pages) {
      inner->design = QRect(QPoint(), box.design.size() - kDesignedTabChrome);
      titles.push_back(Q(child->Caption()));
    }
    box.children.push_back(inner);
  }
  if (box.pages) {
    int width = 0;
    TabsNeed(*b, titles, box.chrome, width);
    box.need.setWidth(width);
  }
  return &box;
}

void Renderer::State::FitForm(TForm* form) {
  Binding* fb = Find(form);
  if (!fb) return;
  std::deque<FitBox> boxes;
  std::vector<std::pair<Binding*, FitBox*>> fitted;
  FitBox* root = FitTree(form, boxes, fitted);
  root->design.moveTo(0, 0);
  fb->fittedSize = FitLayout(*root);
  for (auto& [b, box] : fitted) b->fitted = box->fitted;
  fb->fitDue = false;
}

Scale Renderer::State::ScaleOf(const TForm* form) const {
  const Binding* fb = Find(form);
  if (!fb || !fb->widget || fb->fittedSize.isEmpty()) return {};
  Scale s;
  s.x = fb->widget->width() / static_cast<double>(fb->fittedSize.width());
  s.y = fb->widget->height() / static_cast<double>(fb->fittedSize.height());
  s.font = std::max(0.5, std::min(s.x, s.y));
  return s;
}

void Renderer::State::Place(Binding& b) {
  if (!b.widget || b.kind == Kind::Form || b.kind == Kind::TabSheet) return;
  const Scale s = ScaleOf(b.form);
  // Scaled by its edges, so that neighbours stay apart.
  auto at = [](int v, double scale) { return static_cast<int>(std::lround(v * scale)); };
  const QRect& f = b.fitted;
  const QRect rect(QPoint(at(f.x(), s.x), at(f.y(), s.y)),
                   QPoint(at(f.x() + f.width(), s.x) - 1, at(f.y() + f.height(), s.y) - 1));
  if (rect != b.placed) {
    b.widget->setGeometry(rect);
    b.placed = rect;
  }
  QFont font = BaseFont(b.control->Font());
  font.setPointSizeF(font.pointSizeF() * s.font);
  if (font != b.font) {
    b.widget->setFont(font);
    b.font = font;
  }
}

void Renderer::State::PlaceForm(TForm* form) {
  Binding* fb = Find(form);
  if (fb && fb->fitDue) FitForm(form);
  for (auto& [control, b] : bindings)
    if (b->form == form) Place(*b);
}

// Shows a form's window. The main window takes the screen; a dialog its
// fitted size (enlarged on a big screen, shrunk on a small one), over the
// window it was opened from and inside the screen.
void Renderer::State::ShowWindow(Binding& b) {
  auto* form = static_cast<TForm*>(b.control);
  QWidget* w = b.widget;
  if (b.fitDue) FitForm(form);
  w->setWindowModality(form->Modal() ? Qt::ApplicationModal : Qt::NonModal);
  if (Application->MainForm() == form) {
    if (!w->property("placed").toBool()) {
      w->setProperty("placed", true);
      const QRect avail = w->screen() ? w->screen()->availableGeometry() : QRect(0, 0, 1280, 800);
      w->resize(avail.size());
      w->showMaximized();
      return;
    }
    w->show();
    return;
  }
  // The window system is told that it is a dialog (ShowOver tells whose).
  if (w->windowType() != Qt::Dialog) {
    const Qt::WindowModality modality = w->windowModality();
    w->setWindowFlags((w->windowFlags() & ~Qt::WindowType_Mask) | Qt::Dialog);
    w->setWindowModality(modality);
  }
  QWidget* owner = DialogOwner();
  QScreen* screen = owner ? owner->screen() : w->screen();
  const QRect avail = screen ? screen->availableGeometry() : QRect(0, 0, 1280, 800);
  const QSize fit = b.fittedSize.expandedTo(QSize(100, 60));
  const double scale =
      std::clamp(std::min(avail.width() * 0.9 / fit.width(), avail.height() * 0.9 / fit.height()), 0.5, 1.3);
  ShowOver(w, QSize(static_cast<int>(fit.width() * scale), static_cast<int>(fit.height() * scale)), owner, avail);
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
  NoteLayout(b);
  if (b.kind != Kind::Form && b.kind != Kind::TabSheet) {
    if (const TColor color = c->FontColor(); color != b.color) {
      b.color = color;
      // The text in the control's colour while it takes input; disabled, in
      // the style's colour for disabled text, as any disabled control.
      QPalette palette = w->palette();
      const QColor fore = ToQColor(color);
      for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive})
        for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
          palette.setColor(group, role, fore);
      w->setPalette(palette);
    }
    Place(b);
    w->setVisible(c->Visible());
  }
  switch (b.kind) {
    case Kind::Form: {
      auto* form = static_cast<TForm*>(c);
      w->setWindowTitle(text);
      if (form->Visible() && !w->isVisible() && b.built)
        ShowWindow(b);
      else if (!form->Visible() && w->isVisible())
        w->hide();
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
      static_cast<TextLabel*>(w)->SetFullText(text, Wraps(c));
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
        FitDue(b.form);  // its widest item may need more room
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
      // The view draws the selection in the colours of its state (disabled too).
      for (int i = 0; i < list->count(); ++i) list->item(i)->setSelected(model->Selected(i));
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
      std::shared_ptr<const TPicture> picture = static_cast<TImage*>(c)->Picture();
      if (picture != b.picture) {
        b.picture = picture;
        QPixmap pixmap;
        if (picture) pixmap.loadFromData(picture->data.data(), static_cast<uint>(picture->data.size()));
        static_cast<PictureWidget*>(w)->SetPixmap(pixmap);
      }
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
