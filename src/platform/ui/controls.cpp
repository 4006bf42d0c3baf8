#include "platform/ui/controls.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/ui/application.h"
#include "platform/ui/forms.h"
#include "platform/ui/timers.h"

namespace platform::ui {

namespace {

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameTextIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  return true;
}

int IndexOfText(const std::vector<std::string>& items, const std::string& text) {
  for (std::size_t i = 0; i < items.size(); ++i)
    if (SameTextIgnoringCase(items[i], text)) return static_cast<int>(i);
  return -1;
}

std::string ApplyCharCase(std::string text, TEditCharCase charCase) {
  if (charCase == ecUpperCase)
    std::transform(text.begin(), text.end(), text.begin(), AsciiUpper);
  else if (charCase == ecLowerCase)
    std::transform(text.begin(), text.end(), text.begin(), AsciiLower);
  return text;
}

// The first `chars` characters of UTF-8 text.
std::string FirstChars(const std::string& text, int chars) {
  if (chars <= 0) return text;
  int seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (seen == chars) return text.substr(0, i);
      ++seen;
    }
  }
  return text;
}

[[noreturn]] void ListIndexError(int index) {
  throw EStringListError("List index out of bounds (" + std::to_string(index) + ")");
}

// Sets `field` under the control's lock; true when the value changed.
template <class T>
bool Assign(std::mutex& m, T& field, const T& value) {
  std::lock_guard lock(m);
  if (field == value) return false;
  field = value;
  return true;
}

template <class T>
T Read(std::mutex& m, const T& field) {
  std::lock_guard lock(m);
  return field;
}

std::atomic<ControlObserver> g_observer{nullptr};

void Notify(TControl* control, ControlChange change) {
  if (ControlObserver observer = g_observer.load(std::memory_order_acquire)) observer(control, change);
}

}  // namespace

void SetControlObserver(ControlObserver observer) { g_observer.store(observer, std::memory_order_release); }

void TControl::Touch() {
  revision_.fetch_add(1, std::memory_order_acq_rel);
  Notify(this, ControlChange::Properties);
}

// ---- TControl ----------------------------------------------------------------

TControl::TControl(TWinControl* parent, std::string name) : TComponent(std::move(name)) {
  if (parent) {
    parent_ = parent;
    parent->AddChild(this);
  }
}

TControl::~TControl() {
  Notify(this, ControlChange::Destroyed);
  if (TForm* form = ParentForm())
    if (form->ActiveControl() == this) form->SetActiveControl(nullptr);
  TWinControl* parent;
  {
    std::lock_guard lock(m_);
    parent = parent_;
    parent_ = nullptr;
  }
  if (parent) parent->RemoveChild(this);
}

TWinControl* TControl::Parent() const { return Read(m_, parent_); }

void TControl::SetParent(TWinControl* parent) {
  TWinControl* old;
  {
    std::lock_guard lock(m_);
    old = parent_;
    if (old == parent) return;
    parent_ = parent;
  }
  if (old) old->RemoveChild(this);
  if (parent) parent->AddChild(this);
  Touch();
}

TForm* TControl::ParentForm() const {
  for (TWinControl* p = Parent(); p; p = p->Parent())
    if (p->IsForm()) return static_cast<TForm*>(p);
  return nullptr;
}

std::string TControl::Text() const { return Read(m_, text_); }

void TControl::SetText(const std::string& text) { AssignText(text); }

bool TControl::AssignText(const std::string& text) {
  if (!Assign(m_, text_, text)) return false;
  Touch();
  return true;
}

TFont TControl::Font() const { return Read(m_, font_); }
void TControl::SetFont(const TFont& font) {
  if (Assign(m_, font_, font)) Touch();
}
TColor TControl::FontColor() const {
  std::lock_guard lock(m_);
  return font_.Color;
}
void TControl::SetFontColor(TColor color) {
  if (Assign(m_, font_.Color, color)) Touch();
}
TColor TControl::Color() const { return Read(m_, color_); }
void TControl::SetColor(TColor color) {
  if (Assign(m_, color_, color)) Touch();
}

bool TControl::Enabled() const { return Read(m_, enabled_); }
void TControl::SetEnabled(bool enabled) {
  if (Assign(m_, enabled_, enabled)) Touch();
}
bool TControl::Visible() const { return Read(m_, visible_); }
void TControl::SetVisible(bool visible) {
  if (Assign(m_, visible_, visible)) Touch();
}

bool TControl::EffectivelyEnabled() const {
  for (const TControl* c = this; c; c = c->Parent())
    if (!c->Enabled()) return false;
  return true;
}

bool TControl::EffectivelyVisible() const {
  for (const TControl* c = this; c && !c->IsForm(); c = c->Parent())
    if (!c->Visible()) return false;
  return true;
}

int TControl::Left() const { return Read(m_, left_); }
int TControl::Top() const { return Read(m_, top_); }
int TControl::Width() const { return Read(m_, width_); }
int TControl::Height() const { return Read(m_, height_); }
void TControl::SetLeft(int v) {
  if (Assign(m_, left_, v)) Touch();
}
void TControl::SetTop(int v) {
  if (Assign(m_, top_, v)) Touch();
}
void TControl::SetWidth(int v) {
  if (Assign(m_, width_, v)) Touch();
}
void TControl::SetHeight(int v) {
  if (Assign(m_, height_, v)) Touch();
}
void TControl::SetBounds(int left, int top, int width, int height) {
  {
    std::lock_guard lock(m_);
    left_ = left;
    top_ = top;
    width_ = width;
    height_ = height;
  }
  Touch();
}

int TControl::Tag() const { return Read(m_, tag_); }
void TControl::SetTag(int tag) { Assign(m_, tag_, tag); }

void TControl::SetFocus() {
  if (TForm* form = ParentForm()) form->SetActiveControl(this);
}

bool TControl::Focused() const {
  TForm* form = ParentForm();
  return form && form->ActiveControl() == this;
}

void TControl::RunMouseUp(TMouseButton button) {
  if (OnMouseUp) OnMouseUp(this, button, Width() / 2, Height() / 2);
}

bool TControl::UserInput(const std::function<void()>& action) {
  if (!AcceptsInput()) return false;
  CallGuarded(action);
  return true;
}

bool TControl::UserClick() {
  if (!AcceptsInput()) return false;
  CallGuarded([this] { RunClick(); });
  CallGuarded([this] { RunMouseUp(mbLeft); });
  return true;
}

bool TControl::UserRightClick() {
  return UserInput([this] { RunMouseUp(mbRight); });
}

// ---- TWinControl ---------------------------------------------------------------

TWinControl::~TWinControl() {
  std::lock_guard lock(m_);
  for (TControl* child : children_) {
    std::lock_guard childLock(child->m_);
    child->parent_ = nullptr;
  }
  children_.clear();
}

void TWinControl::AddChild(TControl* child) {
  {
    std::lock_guard lock(m_);
    children_.push_back(child);
  }
  Touch();
}

void TWinControl::RemoveChild(TControl* child) {
  {
    std::lock_guard lock(m_);
    children_.erase(std::remove(children_.begin(), children_.end(), child), children_.end());
  }
  Touch();
}

int TWinControl::ControlCount() const {
  std::lock_guard lock(m_);
  return static_cast<int>(children_.size());
}

TControl* TWinControl::Controls(int index) const {
  std::lock_guard lock(m_);
  if (index < 0 || index >= static_cast<int>(children_.size())) return nullptr;
  return children_[static_cast<std::size_t>(index)];
}

std::vector<TControl*> TWinControl::Children() const {
  std::lock_guard lock(m_);
  return children_;
}

TControl* TWinControl::FindChild(const std::string& name) const {
  for (TControl* child : Children()) {
    if (child->Name() == name) return child;
    if (auto* container = dynamic_cast<TWinControl*>(child))
      if (TControl* found = container->FindChild(name)) return found;
  }
  return nullptr;
}

bool TWinControl::CheckRadio(TRadioButton* on) {
  bool turnedOn = false;
  std::lock_guard lock(m_);
  for (TControl* child : children_) {
    auto* radio = dynamic_cast<TRadioButton*>(child);
    if (!radio) continue;
    std::lock_guard radioLock(radio->m_);
    const bool value = radio == on;
    if (radio->checked_ == value) continue;
    radio->checked_ = value;
    radio->Touch();
    if (value) turnedOn = true;
  }
  return turnedOn;
}

// ---- page control ----------------------------------------------------------------

TTabSheet::TTabSheet(TPageControl* pageControl, std::string name)
    : TWinControl(pageControl, std::move(name)) {
  if (pageControl) pageControl->AddPage(this);
}

TTabSheet::~TTabSheet() {
  if (TPageControl* pc = PageControl()) pc->RemovePage(this);
}

TPageControl* TTabSheet::PageControl() const { return dynamic_cast<TPageControl*>(Parent()); }

int TTabSheet::PageIndex() const {
  TPageControl* pc = PageControl();
  if (!pc) return -1;
  std::lock_guard lock(pc->m_);
  auto it = std::find(pc->pages_.begin(), pc->pages_.end(), this);
  return it == pc->pages_.end() ? -1 : static_cast<int>(it - pc->pages_.begin());
}

void TPageControl::AddPage(TTabSheet* page) {
  std::lock_guard lock(m_);
  pages_.push_back(page);
  if (!active_) active_ = page;
}

void TPageControl::RemovePage(TTabSheet* page) {
  std::lock_guard lock(m_);
  pages_.erase(std::remove(pages_.begin(), pages_.end(), page), pages_.end());
  if (active_ == page) active_ = pages_.empty() ? nullptr : pages_.front();
}

int TPageControl::PageCount() const {
  std::lock_guard lock(m_);
  return static_cast<int>(pages_.size());
}

TTabSheet* TPageControl::Pages(int index) const {
  std::lock_guard lock(m_);
  if (index < 0 || index >= static_cast<int>(pages_.size())) return nullptr;
  return pages_[static_cast<std::size_t>(index)];
}

TTabSheet* TPageControl::ActivePage() const { return Read(m_, active_); }

int TPageControl::ActivePageIndex() const {
  std::lock_guard lock(m_);
  auto it = std::find(pages_.begin(), pages_.end(), active_);
  return it == pages_.end() ? -1 : static_cast<int>(it - pages_.begin());
}

void TPageControl::SetActivePage(TTabSheet* page) {
  {
    std::lock_guard lock(m_);
    if (std::find(pages_.begin(), pages_.end(), page) == pages_.end() || active_ == page) return;
    active_ = page;
  }
  Touch();
}

void TPageControl::SetActivePageIndex(int index) { SetActivePage(Pages(index)); }

bool TPageControl::UserSelect(int index) {
  if (!AcceptsInput()) return false;
  TTabSheet* page = Pages(index);
  if (!page) return false;
  bool changed;
  {
    std::lock_guard lock(m_);
    changed = active_ != page;
    active_ = page;
  }
  if (changed) {
    Touch();
    CallGuarded([this] {
      if (OnChange) OnChange(this);
    });
  }
  return true;
}

// ---- buttons ----------------------------------------------------------------------

TModalResult TButton::ModalResult() const { return Read(m_, modalResult_); }
void TButton::SetModalResult(TModalResult result) { Assign(m_, modalResult_, result); }

void TButton::Click() {
  const TModalResult result = ModalResult();
  if (result != mrNone)
    if (TForm* form = ParentForm()) form->SetModalResult(result);
  RunClick();
}

bool TButton::UserClick() {
  if (!AcceptsInput()) return false;
  CallGuarded([this] { Click(); });
  CallGuarded([this] { RunMouseUp(mbLeft); });
  return true;
}

bool TButton::UserKeyToggle() {
  return UserInput([this] { Click(); });
}

bool TCheckBox::Checked() const { return Read(m_, checked_); }

void TCheckBox::SetChecked(bool checked) {
  if (!Assign(m_, checked_, checked)) return;
  Touch();
  RunClick();
}

bool TCheckBox::UserClick() {
  if (!AcceptsInput()) return false;
  CallGuarded([this] { SetChecked(!Checked()); });
  CallGuarded([this] { RunMouseUp(mbLeft); });
  return true;
}

bool TCheckBox::UserKeyToggle() {
  return UserInput([this] { SetChecked(!Checked()); });
}

bool TRadioButton::Checked() const { return Read(m_, checked_); }

void TRadioButton::SetChecked(bool checked) {
  if (!checked) {
    if (Assign(m_, checked_, false)) Touch();
    return;
  }
  bool turnedOn;
  if (TWinControl* parent = Parent()) {
    turnedOn = parent->CheckRadio(this);
  } else {
    turnedOn = Assign(m_, checked_, true);
    if (turnedOn) Touch();
  }
  if (turnedOn) RunClick();
}

bool TRadioButton::UserClick() {
  if (!AcceptsInput()) return false;
  CallGuarded([this] { SetChecked(true); });
  CallGuarded([this] { RunMouseUp(mbLeft); });
  return true;
}

bool TRadioButton::UserKeyToggle() {
  return UserInput([this] { SetChecked(true); });
}

// ---- edit --------------------------------------------------------------------------

void TEdit::SetText(const std::string& text) {
  if (AssignText(ApplyCharCase(text, CharCase())) && OnChange) OnChange(this);
}

bool TEdit::ReadOnly() const { return Read(m_, readOnly_); }
void TEdit::SetReadOnly(bool readOnly) {
  if (Assign(m_, readOnly_, readOnly)) Touch();
}
int TEdit::MaxLength() const { return Read(m_, maxLength_); }
void TEdit::SetMaxLength(int length) { Assign(m_, maxLength_, length); }
TEditCharCase TEdit::CharCase() const { return Read(m_, charCase_); }
void TEdit::SetCharCase(TEditCharCase charCase) {
  Assign(m_, charCase_, charCase);
  SetText(Text());
}

bool TEdit::UserType(const std::string& text) {
  if (!AcceptsInput() || ReadOnly()) return false;
  const std::string typed = FirstChars(text, MaxLength());
  CallGuarded([this, &typed] { SetText(typed); });
  return true;
}

// ---- item lists ----------------------------------------------------------------------

int TItems::Count() const {
  std::lock_guard lock(owner_.m_);
  return static_cast<int>(owner_.items_.size());
}

std::string TItems::Strings(int index) const {
  std::lock_guard lock(owner_.m_);
  if (index < 0 || index >= static_cast<int>(owner_.items_.size())) ListIndexError(index);
  return owner_.items_[static_cast<std::size_t>(index)];
}

void TItems::SetStrings(int index, const std::string& text) {
  {
    std::lock_guard lock(owner_.m_);
    if (index < 0 || index >= static_cast<int>(owner_.items_.size())) ListIndexError(index);
    owner_.items_[static_cast<std::size_t>(index)] = text;
  }
  owner_.Touch();
}

int TItems::Add(const std::string& text) {
  int index;
  {
    std::lock_guard lock(owner_.m_);
    owner_.items_.push_back(text);
    index = static_cast<int>(owner_.items_.size()) - 1;
    owner_.ItemInserted(index);
  }
  owner_.Touch();
  return index;
}

void TItems::Insert(int index, const std::string& text) {
  {
    std::lock_guard lock(owner_.m_);
    if (index < 0 || index > static_cast<int>(owner_.items_.size())) ListIndexError(index);
    owner_.items_.insert(owner_.items_.begin() + index, text);
    owner_.ItemInserted(index);
  }
  owner_.Touch();
}

void TItems::Delete(int index) {
  {
    std::lock_guard lock(owner_.m_);
    if (index < 0 || index >= static_cast<int>(owner_.items_.size())) ListIndexError(index);
    owner_.items_.erase(owner_.items_.begin() + index);
    owner_.ItemDeleted(index);
  }
  owner_.Touch();
}

void TItems::Clear() {
  {
    std::lock_guard lock(owner_.m_);
    owner_.items_.clear();
    owner_.ItemsCleared();
  }
  owner_.Touch();
}

void TItems::Assign(const std::vector<std::string>& items) {
  {
    std::lock_guard lock(owner_.m_);
    owner_.items_.clear();
    owner_.ItemsCleared();
    for (const auto& item : items) {
      owner_.items_.push_back(item);
      owner_.ItemInserted(static_cast<int>(owner_.items_.size()) - 1);
    }
  }
  owner_.Touch();
}

std::vector<std::string> TItems::ToVector() const {
  std::lock_guard lock(owner_.m_);
  return owner_.items_;
}

int TItems::IndexOf(const std::string& text) const {
  std::lock_guard lock(owner_.m_);
  return IndexOfText(owner_.items_, text);
}

int TCustomListControl::ItemIndex() const { return Read(m_, itemIndex_); }

void TCustomListControl::SetItemIndex(int index) {
  {
    std::lock_guard lock(m_);
    if (index < 0 || index >= static_cast<int>(items_.size())) index = -1;
    if (itemIndex_ == index) return;
    itemIndex_ = index;
  }
  Touch();
}

void TCustomListControl::ItemInserted(int index) {
  if (itemIndex_ >= index) ++itemIndex_;
}

void TCustomListControl::ItemDeleted(int index) {
  if (itemIndex_ == index)
    itemIndex_ = -1;
  else if (itemIndex_ > index)
    --itemIndex_;
}

void TCustomListControl::ItemsCleared() { itemIndex_ = -1; }

// ---- combo box ----------------------------------------------------------------------

TComboBoxStyle TComboBox::Style() const { return Read(m_, style_); }
void TComboBox::SetStyle(TComboBoxStyle style) {
  if (Assign(m_, style_, style)) Touch();
}

std::string TComboBox::Text() const {
  std::lock_guard lock(m_);
  if (style_ == csDropDownList)
    return itemIndex_ >= 0 ? items_[static_cast<std::size_t>(itemIndex_)] : std::string();
  return editText_;
}

void TComboBox::SetText(const std::string& text) {
  {
    std::lock_guard lock(m_);
    itemIndex_ = IndexOfText(items_, text);
    if (style_ == csDropDown) editText_ = text;
  }
  Touch();
}

void TComboBox::SetItemIndex(int index) {
  {
    std::lock_guard lock(m_);
    if (index < 0 || index >= static_cast<int>(items_.size())) index = -1;
    itemIndex_ = index;
    editText_ = index >= 0 ? items_[static_cast<std::size_t>(index)] : std::string();
  }
  Touch();
}

void TComboBox::ItemsCleared() {
  TCustomListControl::ItemsCleared();
  editText_.clear();
}

bool TComboBox::UserSelect(int index) {
  if (!AcceptsInput() || index < 0 || index >= Items.Count()) return false;
  SetItemIndex(index);
  CallGuarded([this] { RunClick(); });
  CallGuarded([this] {
    if (OnSelect)
      OnSelect(this);
    else if (OnChange)
      OnChange(this);
  });
  return true;
}

bool TComboBox::UserType(const std::string& text) {
  if (!AcceptsInput() || Style() == csDropDownList) return false;
  SetText(text);
  CallGuarded([this] {
    if (OnChange) OnChange(this);
  });
  return true;
}

// ---- list box -------------------------------------------------------------------------

bool TListBox::MultiSelect() const { return Read(m_, multiSelect_); }

void TListBox::SetMultiSelect(bool multi) {
  {
    std::lock_guard lock(m_);
    if (multiSelect_ == multi) return;
    multiSelect_ = multi;
    if (!multi) {
      std::fill(selected_.begin(), selected_.end(), false);
      if (itemIndex_ >= 0) selected_[static_cast<std::size_t>(itemIndex_)] = true;
    }
  }
  Touch();
}

void TListBox::SetItemIndex(int index) {
  {
    std::lock_guard lock(m_);
    if (index < 0 || index >= static_cast<int>(items_.size())) index = -1;
    itemIndex_ = index;
    if (!multiSelect_) {
      std::fill(selected_.begin(), selected_.end(), false);
      if (index >= 0) selected_[static_cast<std::size_t>(index)] = true;
    }
  }
  Touch();
}

bool TListBox::Selected(int index) const {
  std::lock_guard lock(m_);
  if (index < 0 || index >= static_cast<int>(selected_.size())) return false;
  return selected_[static_cast<std::size_t>(index)];
}

void TListBox::SetSelected(int index, bool selected) {
  {
    std::lock_guard lock(m_);
    if (index < 0 || index >= static_cast<int>(selected_.size())) ListIndexError(index);
    if (!multiSelect_) {
      if (selected) {
        std::fill(selected_.begin(), selected_.end(), false);
        itemIndex_ = index;
      } else if (itemIndex_ == index) {
        itemIndex_ = -1;
      }
    }
    selected_[static_cast<std::size_t>(index)] = selected;
  }
  Touch();
}

int TListBox::SelCount() const {
  std::lock_guard lock(m_);
  return static_cast<int>(std::count(selected_.begin(), selected_.end(), true));
}

void TListBox::ClearSelection() {
  {
    std::lock_guard lock(m_);
    std::fill(selected_.begin(), selected_.end(), false);
    if (!multiSelect_) itemIndex_ = -1;
  }
  Touch();
}

void TListBox::SelectAll() {
  {
    std::lock_guard lock(m_);
    if (!multiSelect_) return;
    std::fill(selected_.begin(), selected_.end(), true);
  }
  Touch();
}

void TListBox::DeleteSelected() {
  {
    std::lock_guard lock(m_);
    for (int i = static_cast<int>(items_.size()) - 1; i >= 0; --i) {
      if (!selected_[static_cast<std::size_t>(i)]) continue;
      items_.erase(items_.begin() + i);
      ItemDeleted(i);
    }
  }
  Touch();
}

bool TListBox::UserSelect(int index, bool extend) {
  if (!AcceptsInput()) return false;
  {
    std::lock_guard lock(m_);
    if (index < 0 || index >= static_cast<int>(items_.size())) return false;
    const auto i = static_cast<std::size_t>(index);
    if (multiSelect_ && extend) {
      selected_[i] = !selected_[i];
    } else {
      std::fill(selected_.begin(), selected_.end(), false);
      selected_[i] = true;
    }
    itemIndex_ = index;
  }
  Touch();
  CallGuarded([this] { RunClick(); });
  return true;
}

void TListBox::ItemInserted(int index) {
  TCustomListControl::ItemInserted(index);
  selected_.insert(selected_.begin() + index, false);
}

void TListBox::ItemDeleted(int index) {
  TCustomListControl::ItemDeleted(index);
  selected_.erase(selected_.begin() + index);
}

void TListBox::ItemsCleared() {
  TCustomListControl::ItemsCleared();
  selected_.clear();
}

// ---- gauge and progress bar ----------------------------------------------------------------

int TCGauge::MinValue() const { return Read(m_, min_); }
int TCGauge::MaxValue() const { return Read(m_, max_); }
int TCGauge::Progress() const { return Read(m_, progress_); }

void TCGauge::SetMinValue(int v) {
  {
    std::lock_guard lock(m_);
    if (v > max_) throw EInvalidOperation("TCGauge property out of range");
    min_ = v;
    progress_ = std::max(progress_, v);
  }
  Touch();
}

void TCGauge::SetMaxValue(int v) {
  {
    std::lock_guard lock(m_);
    if (v < min_) throw EInvalidOperation("TCGauge property out of range");
    max_ = v;
    progress_ = std::min(progress_, v);
  }
  Touch();
}

void TCGauge::SetProgress(int v) {
  {
    std::lock_guard lock(m_);
    v = std::clamp(v, min_, max_);
    if (progress_ == v) return;
    progress_ = v;
  }
  Touch();
}

void TCGauge::AddProgress(int delta) {
  {
    std::lock_guard lock(m_);
    const long long v = static_cast<long long>(progress_) + delta;
    progress_ = static_cast<int>(std::clamp<long long>(v, min_, max_));
  }
  Touch();
}

int TCGauge::PercentDone() const {
  std::lock_guard lock(m_);
  const long long range = static_cast<long long>(max_) - min_;
  if (range <= 0) return 0;
  return static_cast<int>((static_cast<long long>(progress_) - min_) * 100 / range);
}

TColor TCGauge::ForeColor() const { return Read(m_, fore_); }
void TCGauge::SetForeColor(TColor c) {
  if (Assign(m_, fore_, c)) Touch();
}
TColor TCGauge::BackColor() const { return Read(m_, back_); }
void TCGauge::SetBackColor(TColor c) {
  if (Assign(m_, back_, c)) Touch();
}

int TProgressBar::Min() const { return Read(m_, min_); }
int TProgressBar::Max() const { return Read(m_, max_); }
int TProgressBar::Position() const { return Read(m_, position_); }

void TProgressBar::SetMin(int v) {
  {
    std::lock_guard lock(m_);
    min_ = v;
    max_ = std::max(max_, v);
    position_ = std::clamp(position_, min_, max_);
  }
  Touch();
}

void TProgressBar::SetMax(int v) {
  {
    std::lock_guard lock(m_);
    max_ = v;
    min_ = std::min(min_, v);
    position_ = std::clamp(position_, min_, max_);
  }
  Touch();
}

void TProgressBar::SetPosition(int v) {
  {
    std::lock_guard lock(m_);
    position_ = std::clamp(v, min_, max_);
  }
  Touch();
}

int TProgressBar::Step() const { return Read(m_, step_); }
void TProgressBar::SetStep(int step) { Assign(m_, step_, step); }

void TProgressBar::StepIt() {
  {
    std::lock_guard lock(m_);
    const long long v = static_cast<long long>(position_) + step_;
    position_ = v > max_ ? min_ : static_cast<int>(std::max<long long>(v, min_));
  }
  Touch();
}

// ---- image -------------------------------------------------------------------------------

namespace {
std::int32_t LittleEndian32(const std::vector<std::uint8_t>& d, std::size_t at) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(d[at]) |
                                   static_cast<std::uint32_t>(d[at + 1]) << 8 |
                                   static_cast<std::uint32_t>(d[at + 2]) << 16 |
                                   static_cast<std::uint32_t>(d[at + 3]) << 24);
}

[[noreturn]] void OpenError(const std::string& path, int error) {
  throw EFOpenError("Cannot open file \"" + path + "\". " + std::strerror(error));
}
}  // namespace

void TImage::LoadPictureFromFile(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) OpenError(path, errno);
  if (S_ISDIR(info.st_mode)) OpenError(path, EISDIR);
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) OpenError(path, errno);
  auto picture = std::make_shared<TPicture>();
  picture->path = path;
  std::uint8_t buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
    picture->data.insert(picture->data.end(), buffer, buffer + n);
  const bool failed = std::ferror(file) != 0;
  const int error = errno;
  std::fclose(file);
  if (failed) OpenError(path, error);
  const auto& d = picture->data;
  if (d.size() >= 26 && d[0] == 'B' && d[1] == 'M') {
    picture->width = LittleEndian32(d, 18);
    const std::int32_t height = LittleEndian32(d, 22);
    picture->height = height < 0 ? -height : height;  // negative: stored top-down
  }
  {
    std::lock_guard lock(m_);
    picture_ = std::move(picture);
  }
  Touch();
}

void TImage::ClearPicture() {
  {
    std::lock_guard lock(m_);
    if (!picture_) return;
    picture_.reset();
  }
  Touch();
}

std::shared_ptr<const TPicture> TImage::Picture() const { return Read(m_, picture_); }

std::string TImage::PicturePath() const {
  std::lock_guard lock(m_);
  return picture_ ? picture_->path : std::string();
}

// ---- track bar ------------------------------------------------------------------------------

int TTrackBar::Min() const { return Read(m_, min_); }
int TTrackBar::Max() const { return Read(m_, max_); }
int TTrackBar::Position() const { return Read(m_, position_); }

void TTrackBar::SetParams(int position, int min, int max) {
  if (max < min) throw EInvalidOperation("TTrackBar property out of range");
  position = std::clamp(position, min, max);
  bool moved;
  {
    std::lock_guard lock(m_);
    moved = position_ != position;
    min_ = min;
    max_ = max;
    position_ = position;
  }
  Touch();
  if (moved && OnChange) OnChange(this);
}

void TTrackBar::SetMin(int v) {
  int position, max;
  {
    std::lock_guard lock(m_);
    position = position_;
    max = max_;
  }
  SetParams(position, v, max);
}

void TTrackBar::SetMax(int v) {
  int position, min;
  {
    std::lock_guard lock(m_);
    position = position_;
    min = min_;
  }
  SetParams(position, min, v);
}

void TTrackBar::SetRange(int min, int max) { SetParams(Position(), min, max); }

void TTrackBar::SetPosition(int v) {
  int min, max;
  {
    std::lock_guard lock(m_);
    min = min_;
    max = max_;
  }
  SetParams(v, min, max);
}

int TTrackBar::Frequency() const { return Read(m_, frequency_); }
void TTrackBar::SetFrequency(int f) {
  if (Assign(m_, frequency_, f)) Touch();
}
int TTrackBar::SelStart() const { return Read(m_, selStart_); }
int TTrackBar::SelEnd() const { return Read(m_, selEnd_); }
void TTrackBar::SetSelStart(int v) {
  if (Assign(m_, selStart_, v)) Touch();
}
void TTrackBar::SetSelEnd(int v) {
  if (Assign(m_, selEnd_, v)) Touch();
}

bool TTrackBar::UserSetPosition(int position) {
  return UserInput([this, position] { SetPosition(position); });
}

// ---- up-down ---------------------------------------------------------------------------------

namespace {
int Low16(int v) { return static_cast<std::int16_t>(static_cast<std::uint16_t>(v)); }
}  // namespace

int TUpDown::Min() const { return Read(m_, min_); }
int TUpDown::Max() const { return Read(m_, max_); }
int TUpDown::Position() const { return Read(m_, position_); }

void TUpDown::SetMin(int v) {
  {
    std::lock_guard lock(m_);
    min_ = Low16(v);
    position_ = std::clamp(position_, std::min(min_, max_), std::max(min_, max_));
  }
  Touch();
}

void TUpDown::SetMax(int v) {
  {
    std::lock_guard lock(m_);
    max_ = Low16(v);
    position_ = std::clamp(position_, std::min(min_, max_), std::max(min_, max_));
  }
  Touch();
}

void TUpDown::SetPosition(int v) {
  {
    std::lock_guard lock(m_);
    position_ = std::clamp(Low16(v), std::min(min_, max_), std::max(min_, max_));
  }
  Touch();
}

int TUpDown::Increment() const { return Read(m_, increment_); }
void TUpDown::SetIncrement(int v) { Assign(m_, increment_, v); }
bool TUpDown::Wrap() const { return Read(m_, wrap_); }
void TUpDown::SetWrap(bool wrap) { Assign(m_, wrap_, wrap); }

bool TUpDown::UserClick(TUDBtnType button) {
  if (!AcceptsInput()) return false;
  {
    std::lock_guard lock(m_);
    const int lo = std::min(min_, max_), hi = std::max(min_, max_);
    long long p = static_cast<long long>(position_) + (button == btNext ? increment_ : -increment_);
    if (p > hi) p = wrap_ ? lo : hi;
    if (p < lo) p = wrap_ ? hi : lo;
    position_ = static_cast<int>(p);
  }
  Touch();
  CallGuarded([this, button] {
    if (OnClick) OnClick(this, button);
  });
  return true;
}

// ---- timer -----------------------------------------------------------------------------------

namespace {
std::mutex g_timersMutex;
std::vector<TTimer*> g_timers;

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

TTimer::TTimer(TWinControl*, std::string name) : TComponent(std::move(name)) {
  TimerRegistry::Add(this);
  TimerRegistry::Rearm(this);
}

TTimer::~TTimer() { TimerRegistry::Remove(this); }

bool TTimer::Enabled() const { return Read(m_, enabled_); }

void TTimer::SetEnabled(bool enabled) {
  if (!Assign(m_, enabled_, enabled)) return;
  TimerRegistry::Rearm(this);
  Application->Wake();
}

unsigned TTimer::Interval() const { return Read(m_, interval_); }

void TTimer::SetInterval(unsigned ms) {
  if (!Assign(m_, interval_, ms)) return;
  TimerRegistry::Rearm(this);
  Application->Wake();
}

bool TTimer::Tick() {
  {
    std::lock_guard lock(m_);
    if (!enabled_ || interval_ == 0) return false;
  }
  CallGuarded([this] {
    if (OnTimer) OnTimer(this);
  });
  return true;
}

void TimerRegistry::Add(TTimer* timer) {
  std::lock_guard lock(g_timersMutex);
  g_timers.push_back(timer);
}

void TimerRegistry::Remove(TTimer* timer) {
  std::lock_guard lock(g_timersMutex);
  g_timers.erase(std::remove(g_timers.begin(), g_timers.end(), timer), g_timers.end());
}

void TimerRegistry::Rearm(TTimer* timer) {
  std::lock_guard lock(timer->m_);
  timer->due_ = NowNs() + static_cast<std::int64_t>(timer->interval_) * 1000000;
}

void TimerRegistry::FireDue() {
  std::vector<TTimer*> timers;
  {
    std::lock_guard lock(g_timersMutex);
    timers = g_timers;
  }
  for (TTimer* timer : timers) {
    {
      // A handler run before may have destroyed this timer.
      std::lock_guard lock(g_timersMutex);
      if (std::find(g_timers.begin(), g_timers.end(), timer) == g_timers.end()) continue;
      std::lock_guard timerLock(timer->m_);
      const std::int64_t now = NowNs();
      if (!timer->enabled_ || timer->interval_ == 0 || now < timer->due_) continue;
      timer->due_ = now + static_cast<std::int64_t>(timer->interval_) * 1000000;
    }
    timer->Tick();
  }
}

std::optional<std::chrono::steady_clock::time_point> TimerRegistry::NextDue() {
  std::optional<std::int64_t> next;
  {
    std::lock_guard lock(g_timersMutex);
    for (TTimer* timer : g_timers) {
      std::lock_guard timerLock(timer->m_);
      if (!timer->enabled_ || timer->interval_ == 0) continue;
      if (!next || timer->due_ < *next) next = timer->due_;
    }
  }
  if (!next) return std::nullopt;
  return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(*next));
}

}  // namespace platform::ui
