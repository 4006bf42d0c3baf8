// The headless control model: controls with their properties and events.
//
// Properties. Every property of a control sits behind the control's own lock,
// so worker threads may set and read them while the UI thread does the same.
// Getters return copies. Setters never hold a lock while an event handler runs.
//
// Events. Handlers are public std::function members (OnClick, OnChange, ...);
// bind them while the form is built, before other threads see the control.
// The rules:
//   - turning a radio button on, or changing a check box's state, runs OnClick,
//     also when code does it (SetChecked); turning a radio button on turns its
//     sibling radio buttons (same parent) off without running their handlers;
//   - setting ItemIndex (or Text, ActivePage, ...) from code runs no handler;
//     a track bar's OnChange runs whenever its position changes, as the class
//     library's track bar does; an edit's OnChange runs whenever its text changes;
//   - OnMouseUp runs only for the mouse (UserClick / UserRightClick), after the
//     click itself has taken effect;
//   - a control takes no operator input while it, or any control it sits in, is
//     disabled or hidden (the form itself being hidden does not count).
//
// Operator input. The User... calls stand for what the operator does with the
// mouse and keyboard; they return false (and do nothing) when the control takes
// no input. They run on the calling thread, which should be the UI thread. An
// exception that escapes a handler run by operator input goes to the
// application's error display and the call returns normally, as the message
// loop would go on.
//
// Parents and children. A control is created with its parent container and
// registers with it; the control model does not own controls (forms hold them
// as members). Declare a container before the controls inside it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ui/types.h"

namespace platform::ui {

class TWinControl;
class TForm;
class TRadioButton;
class TControl;

// What a renderer is told about the model. Properties: a property of the
// control changed, or a control was added to or removed from it (a container).
// Destroyed: the control is going; only its address may be used.
enum class ControlChange { Properties, Destroyed };
// Called on the thread that made the change, possibly with control locks held:
// an observer only takes note (under a lock of its own) and acts later on its
// own thread; it never calls back into the model from inside the call.
using ControlObserver = void (*)(TControl* control, ControlChange change);
// One observer for the process; null removes it. Removal waits for no call in
// flight, so an observer keeps what it needs alive until it is removed.
void SetControlObserver(ControlObserver observer);

// A named object of a form (controls, timers, dialogs).
class TComponent : public TObject {
 public:
  explicit TComponent(std::string name = {}) : name_(std::move(name)) {}
  const std::string& Name() const { return name_; }

 private:
  const std::string name_;
};

struct TFont {
  std::string Name = "Tahoma";
  int Size = 8;
  TColor Color = clWindowText;
  bool Bold = false;
  bool operator==(const TFont&) const = default;
};

class TControl : public TComponent {
 public:
  TControl(TWinControl* parent, std::string name);
  ~TControl() override;

  // ---- tree ----
  TWinControl* Parent() const;
  void SetParent(TWinControl* parent);
  TForm* ParentForm() const;  // the form this control sits in, or null
  virtual bool IsForm() const { return false; }

  // ---- text (Caption and Text are the same window text) ----
  virtual std::string Text() const;
  virtual void SetText(const std::string& text);
  std::string Caption() const { return Text(); }
  void SetCaption(const std::string& text) { SetText(text); }

  // ---- appearance ----
  TFont Font() const;
  void SetFont(const TFont& font);
  TColor FontColor() const;
  void SetFontColor(TColor color);
  TColor Color() const;  // background
  void SetColor(TColor color);

  // ---- state ----
  bool Enabled() const;
  void SetEnabled(bool enabled);
  bool Visible() const;
  void SetVisible(bool visible);
  virtual void Show() { SetVisible(true); }
  virtual void Hide() { SetVisible(false); }
  bool EffectivelyEnabled() const;  // itself and every container it sits in
  bool EffectivelyVisible() const;  // the same, up to (not including) the form
  bool AcceptsInput() const { return EffectivelyEnabled() && EffectivelyVisible(); }

  // ---- geometry ----
  int Left() const;
  int Top() const;
  int Width() const;
  int Height() const;
  void SetLeft(int v);
  void SetTop(int v);
  void SetWidth(int v);
  void SetHeight(int v);
  void SetBounds(int left, int top, int width, int height);

  int Tag() const;
  void SetTag(int tag);

  // ---- focus: the form's active control ----
  void SetFocus();
  bool Focused() const;

  // Counts every property change; a renderer compares it to see what to redraw.
  std::uint64_t Revision() const { return revision_.load(std::memory_order_acquire); }

  // ---- events ----
  TNotifyEvent OnClick;
  TMouseEvent OnMouseUp;

  // ---- operator input ----
  virtual bool UserClick();       // left button: the click, then OnMouseUp(mbLeft)
  virtual bool UserRightClick();  // right button: only OnMouseUp(mbRight)

 protected:
  void Touch();
  bool AssignText(const std::string& text);  // true when the text changed
  void RunClick() {
    if (OnClick) OnClick(this);
  }
  void RunMouseUp(TMouseButton button);
  // Runs `action` as operator input: nothing when the control takes no input;
  // an escaping exception goes to the application's error display.
  bool UserInput(const std::function<void()>& action);

  mutable std::mutex m_;  // guards this control's properties

 private:
  friend class TWinControl;
  TWinControl* parent_ = nullptr;  // guarded by m_
  std::string text_;
  TFont font_;
  TColor color_ = clBtnFace;
  bool enabled_ = true;
  bool visible_ = true;
  int left_ = 0, top_ = 0, width_ = 0, height_ = 0;
  int tag_ = 0;
  std::atomic<std::uint64_t> revision_{0};
};

// A control that holds other controls.
class TWinControl : public TControl {
 public:
  TWinControl(TWinControl* parent, std::string name) : TControl(parent, std::move(name)) {}
  ~TWinControl() override;

  int ControlCount() const;
  TControl* Controls(int index) const;      // null when out of range
  std::vector<TControl*> Children() const;  // a snapshot, in creation order
  TControl* FindChild(const std::string& name) const;  // depth-first, by name

 private:
  friend class TControl;
  friend class TRadioButton;
  void AddChild(TControl* child);
  void RemoveChild(TControl* child);
  // Turns `on` on and every other radio button among the children off, as one step.
  // Returns whether `on` was turned on now.
  bool CheckRadio(TRadioButton* on);
  std::vector<TControl*> children_;  // guarded by m_
};

// ---- static texts ----------------------------------------------------------
class TLabel : public TControl {
 public:
  TLabel(TWinControl* parent, std::string name) : TControl(parent, std::move(name)) {}
};

class TStaticText : public TControl {
 public:
  TStaticText(TWinControl* parent, std::string name) : TControl(parent, std::move(name)) {}
};

// ---- containers --------------------------------------------------------------
class TGroupBox : public TWinControl {
 public:
  TGroupBox(TWinControl* parent, std::string name) : TWinControl(parent, std::move(name)) {}
};

class TPanel : public TWinControl {
 public:
  TPanel(TWinControl* parent, std::string name) : TWinControl(parent, std::move(name)) {}
};

class TPageControl;

class TTabSheet : public TWinControl {
 public:
  TTabSheet(TPageControl* pageControl, std::string name);
  ~TTabSheet() override;
  TPageControl* PageControl() const;
  int PageIndex() const;  // position among the pages, -1 when not in a page control
};

class TPageControl : public TWinControl {
 public:
  TPageControl(TWinControl* parent, std::string name) : TWinControl(parent, std::move(name)) {}

  int PageCount() const;
  TTabSheet* Pages(int index) const;  // null when out of range
  TTabSheet* ActivePage() const;
  int ActivePageIndex() const;  // -1 when there is no page
  // From code: no handler runs. A sheet of another page control, or an index
  // out of range, is ignored.
  void SetActivePage(TTabSheet* page);
  void SetActivePageIndex(int index);

  TNotifyEvent OnChange;

  // The operator clicks the tab of page `index`: the page turns, then OnChange.
  bool UserSelect(int index);

 private:
  friend class TTabSheet;
  void AddPage(TTabSheet* page);
  void RemovePage(TTabSheet* page);
  std::vector<TTabSheet*> pages_;  // guarded by m_
  TTabSheet* active_ = nullptr;    // guarded by m_
};

// ---- buttons -------------------------------------------------------------------
class TButton : public TControl {
 public:
  TButton(TWinControl* parent, std::string name) : TControl(parent, std::move(name)) {}

  // A non-zero modal result is given to the form when the button is clicked.
  TModalResult ModalResult() const;
  void SetModalResult(TModalResult result);

  // A click from code: the form's modal result, then OnClick.
  void Click();

  bool UserClick() override;  // Click, then OnMouseUp(mbLeft)
  bool UserKeyToggle();       // space bar on the focused button: Click only

 private:
  TModalResult modalResult_ = mrNone;
};

class TCheckBox : public TControl {
 public:
  TCheckBox(TWinControl* parent, std::string name) : TControl(parent, std::move(name)) {}

  bool Checked() const;
  // A change of state runs OnClick, also from code; the same state runs nothing.
  void SetChecked(bool checked);

  bool UserClick() override;  // toggles (OnClick), then OnMouseUp(mbLeft)
  bool UserKeyToggle();       // space bar: toggles (OnClick); no mouse event

 private:
  bool checked_ = false;
};

class TRadioButton : public TControl {
 public:
  TRadioButton(TWinControl* parent, std::string name) : TControl(parent, std::move(name)) {}

  bool Checked() const;
  // true: when not yet on, turns on, turns the sibling radio buttons off
  // (without their handlers) and runs OnClick, also from code.
  // false: turns off; no handler runs.
  void SetChecked(bool checked);

  bool UserClick() override;  // SetChecked(true), then OnMouseUp(mbLeft)
  bool UserKeyToggle();       // SetChecked(true); no mouse event

 private:
  friend class TWinControl;
  bool checked_ = false;
};

// ---- edits -----------------------------------------------------------------------
enum TEditCharCase { ecNormal, ecUpperCase, ecLowerCase };

class TEdit : public TControl {
 public:
  TEdit(TWinControl* parent, std::string name) : TControl(parent, std::move(name)) {}

  // Text from code: converted to the character case; OnChange when it differs.
  void SetText(const std::string& text) override;
  void Clear() { SetText(""); }

  bool ReadOnly() const;
  void SetReadOnly(bool readOnly);
  int MaxLength() const;  // characters the operator may type, 0 = no limit
  void SetMaxLength(int length);
  TEditCharCase CharCase() const;
  void SetCharCase(TEditCharCase charCase);  // also converts the present text

  TNotifyEvent OnChange;

  // The operator replaces the whole text by typing `text` (cut to MaxLength);
  // refused by a read-only edit.
  bool UserType(const std::string& text);

 private:
  bool readOnly_ = false;
  int maxLength_ = 0;
  TEditCharCase charCase_ = ecNormal;
};

// ---- item lists ---------------------------------------------------------------------
class TCustomListControl;

// The items of a list box or combo box, reached as `control.Items`.
class TItems {
 public:
  explicit TItems(TCustomListControl& owner) : owner_(owner) {}
  TItems(const TItems&) = delete;
  TItems& operator=(const TItems&) = delete;

  int Count() const;
  std::string Strings(int index) const;  // EStringListError when out of range
  std::string operator[](int index) const { return Strings(index); }
  void SetStrings(int index, const std::string& text);
  int Add(const std::string& text);  // index of the new item
  void Insert(int index, const std::string& text);
  void Delete(int index);
  void Clear();
  void Assign(const std::vector<std::string>& items);
  std::vector<std::string> ToVector() const;
  int IndexOf(const std::string& text) const;  // first match ignoring ASCII case, -1

 private:
  TCustomListControl& owner_;
};

class TCustomListControl : public TControl {
 public:
  TCustomListControl(TWinControl* parent, std::string name)
      : TControl(parent, std::move(name)), Items(*this) {}

  TItems Items;

  int ItemIndex() const;
  // From code: no handler runs; an index out of range leaves no selection (-1).
  virtual void SetItemIndex(int index);

 protected:
  friend class TItems;
  // Called with m_ held after the item list changed at `index`.
  virtual void ItemInserted(int index);
  virtual void ItemDeleted(int index);
  virtual void ItemsCleared();

  std::vector<std::string> items_;  // guarded by m_
  int itemIndex_ = -1;              // guarded by m_
};

enum TComboBoxStyle { csDropDown, csDropDownList };

class TComboBox : public TCustomListControl {
 public:
  TComboBox(TWinControl* parent, std::string name)
      : TCustomListControl(parent, std::move(name)) {}

  TComboBoxStyle Style() const;
  void SetStyle(TComboBoxStyle style);

  // Drop-down list: the selected item's text, "" without a selection.
  // Drop-down: the text of the edit field.
  std::string Text() const override;
  // From code, no handler. Drop-down list: selects the item with that text
  // (or none). Drop-down: sets the edit field; the item of that text is selected.
  void SetText(const std::string& text) override;
  void SetItemIndex(int index) override;

  TNotifyEvent OnChange;  // the operator changed the selection or the text
  TNotifyEvent OnSelect;  // the operator chose an item; runs instead of OnChange when set

  // The operator chooses item `index` from the list: OnClick, then OnSelect
  // (or OnChange when OnSelect is not bound).
  bool UserSelect(int index);
  // The operator types into the edit field (drop-down style only): OnChange.
  bool UserType(const std::string& text);

 protected:
  void ItemsCleared() override;

 private:
  TComboBoxStyle style_ = csDropDown;
  std::string editText_;  // the edit field in drop-down style
};

class TListBox : public TCustomListControl {
 public:
  TListBox(TWinControl* parent, std::string name)
      : TCustomListControl(parent, std::move(name)) {}

  bool MultiSelect() const;
  void SetMultiSelect(bool multi);

  // Single selection: the selected item. Multiple selection: the focused item;
  // setting it from code moves the focus only.
  void SetItemIndex(int index) override;

  bool Selected(int index) const;  // false when out of range
  void SetSelected(int index, bool selected);
  int SelCount() const;
  void ClearSelection();
  void SelectAll();       // multiple selection only
  void DeleteSelected();  // deletes the selected items, last to first

  // The operator clicks item `index`; with `extend` (control key held) in a
  // multiple-selection list the item's selection toggles and the others stay.
  // Then OnClick.
  bool UserSelect(int index, bool extend = false);

 protected:
  void ItemInserted(int index) override;
  void ItemDeleted(int index) override;
  void ItemsCleared() override;

 private:
  bool multiSelect_ = false;
  std::vector<bool> selected_;  // guarded by m_, one per item
};

// ---- progress ---------------------------------------------------------------------------
// Gauge: Progress is kept within MinValue..MaxValue.
class TCGauge : public TControl {
 public:
  TCGauge(TWinControl* parent, std::string name) : TControl(parent, std::move(name)) {}

  int MinValue() const;
  int MaxValue() const;
  int Progress() const;
  void SetMinValue(int v);  // EInvalidOperation when above MaxValue
  void SetMaxValue(int v);  // EInvalidOperation when below MinValue
  void SetProgress(int v);  // clamped
  void AddProgress(int delta);
  int PercentDone() const;
  TColor ForeColor() const;
  void SetForeColor(TColor c);
  TColor BackColor() const;
  void SetBackColor(TColor c);

 private:
  int min_ = 0, max_ = 100, progress_ = 0;
  TColor fore_ = clBlack, back_ = clWhite;
};

class TProgressBar : public TControl {
 public:
  TProgressBar(TWinControl* parent, std::string name) : TControl(parent, std::move(name)) {}

  int Min() const;
  int Max() const;
  int Position() const;
  void SetMin(int v);
  void SetMax(int v);
  void SetPosition(int v);  // clamped to Min..Max
  int Step() const;
  void SetStep(int step);
  void StepIt();  // Position + Step, wrapping to Min past Max

 private:
  int min_ = 0, max_ = 100, position_ = 0, step_ = 10;
};

// ---- pictures ------------------------------------------------------------------------------
struct TPicture {
  std::string path;                // the file it was loaded from
  std::vector<std::uint8_t> data;  // the file's bytes
  int width = 0;                   // from a bitmap header, 0 when unknown
  int height = 0;
  std::size_t Size() const { return data.size(); }
};

class TImage : public TControl {
 public:
  TImage(TWinControl* parent, std::string name) : TControl(parent, std::move(name)) {}

  // Reads the whole file. A file that cannot be read raises EFOpenError and
  // leaves the picture as it was.
  void LoadPictureFromFile(const std::string& path);
  void ClearPicture();
  std::shared_ptr<const TPicture> Picture() const;  // null when empty
  std::string PicturePath() const;                  // "" when empty

 private:
  std::shared_ptr<const TPicture> picture_;
};

// ---- track bar and up-down ------------------------------------------------------------------
class TTrackBar : public TControl {
 public:
  TTrackBar(TWinControl* parent, std::string name) : TControl(parent, std::move(name)) {}

  int Min() const;
  int Max() const;
  int Position() const;
  // A range change keeps the position inside it; each position change runs
  // OnChange, also from code. A maximum below the minimum raises EInvalidOperation.
  void SetMin(int v);
  void SetMax(int v);
  void SetRange(int min, int max);
  void SetPosition(int v);  // clamped
  int Frequency() const;
  void SetFrequency(int f);
  int SelStart() const;
  int SelEnd() const;
  void SetSelStart(int v);
  void SetSelEnd(int v);

  TNotifyEvent OnChange;

  // The operator drags the slider to `position` (clamped).
  bool UserSetPosition(int position);

 private:
  void SetParams(int position, int min, int max);
  int min_ = 0, max_ = 10, position_ = 0, frequency_ = 1, selStart_ = 0, selEnd_ = 0;
};

// Up-down buttons. The position is a 16-bit value: setters keep the low 16 bits
// of their argument (signed), then the position is kept within Min..Max.
class TUpDown : public TControl {
 public:
  TUpDown(TWinControl* parent, std::string name) : TControl(parent, std::move(name)) {}

  int Min() const;
  int Max() const;
  int Position() const;
  void SetMin(int v);
  void SetMax(int v);
  void SetPosition(int v);  // from code: no handler
  int Increment() const;
  void SetIncrement(int v);
  bool Wrap() const;
  void SetWrap(bool wrap);

  TUDClickEvent OnClick;  // operator clicks only

  // The operator clicks the up (btNext) or down (btPrev) arrow: the position
  // moves by Increment (kept in range, or wrapped), then OnClick.
  bool UserClick(TUDBtnType button);
  bool UserClick() override { return UserClick(btNext); }

 private:
  int min_ = 0, max_ = 100, position_ = 0, increment_ = 1;
  bool wrap_ = false;
};

// ---- timer -------------------------------------------------------------------------------------
// While enabled with a positive interval, the application's message loop
// (Run, HandleMessage, ProcessMessages on the UI thread) runs OnTimer every
// Interval milliseconds. Tests call Tick() to act as one expiry.
// A timer is created and destroyed on the UI thread.
class TTimer : public TComponent {
 public:
  explicit TTimer(TWinControl* owner = nullptr, std::string name = {});
  ~TTimer() override;

  bool Enabled() const;
  void SetEnabled(bool enabled);
  unsigned Interval() const;  // milliseconds
  void SetInterval(unsigned ms);

  TNotifyEvent OnTimer;

  // One expiry: OnTimer when enabled with a positive interval; an escaping
  // exception goes to the error display. Returns whether OnTimer ran.
  bool Tick();

 private:
  friend class TimerRegistry;
  mutable std::mutex m_;
  bool enabled_ = true;
  unsigned interval_ = 1000;
  std::int64_t due_ = 0;  // steady-clock nanoseconds of the next expiry
};

// Convenience aliases for the Unicode and bitmap variants of the controls:
// all text here is UTF-8 already.
using TBitBtn = TButton;
using TTntLabel = TLabel;
using TTntEdit = TEdit;
using TTntListBox = TListBox;
using TTntCheckBox = TCheckBox;
using TTntRadioButton = TRadioButton;
using TTntGroupBox = TGroupBox;

}  // namespace platform::ui
