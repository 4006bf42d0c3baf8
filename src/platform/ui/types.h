// Basic types of the headless control model: colours, message-box flags and
// answers, modal results, mouse buttons and the error classes that handlers
// raise and the application's error display shows.
//
// Everything of the control model lives in namespace platform::ui; code written
// against it usually says `using namespace platform::ui;`.
#pragma once

#include "platform/convert/exception.h"
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace platform::ui {

// ---- Colours -------------------------------------------------------------
// A colour is 0x00BBGGRR (blue in the high byte, red in the low byte), or a
// system colour: 0x80000000 plus the index of a system colour.
using TColor = std::uint32_t;

constexpr TColor clBlack = 0x000000;
constexpr TColor clMaroon = 0x000080;
constexpr TColor clGreen = 0x008000;
constexpr TColor clOlive = 0x008080;
constexpr TColor clNavy = 0x800000;
constexpr TColor clPurple = 0x800080;
constexpr TColor clTeal = 0x808000;
constexpr TColor clGray = 0x808080;
constexpr TColor clSilver = 0xC0C0C0;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clLime = 0x00FF00;
constexpr TColor clYellow = 0x00FFFF;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clFuchsia = 0xFF00FF;
constexpr TColor clAqua = 0xFFFF00;
constexpr TColor clWhite = 0xFFFFFF;

constexpr TColor clSystemColor = 0x80000000u;
constexpr TColor clWindow = clSystemColor | 5;
constexpr TColor clWindowText = clSystemColor | 8;
constexpr TColor clHighlight = clSystemColor | 13;
constexpr TColor clHighlightText = clSystemColor | 14;
constexpr TColor clBtnFace = clSystemColor | 15;
constexpr TColor clGrayText = clSystemColor | 17;
constexpr TColor clBtnText = clSystemColor | 18;
constexpr TColor clNone = 0x1FFFFFFF;
constexpr TColor clDefault = 0x20000000;

// The plain 0x00BBGGRR value a renderer paints for `color` (system colours are
// resolved to a classic light theme).
TColor ColorToRGB(TColor color);

// ---- Message boxes -------------------------------------------------------
constexpr unsigned MB_OK = 0x0;
constexpr unsigned MB_OKCANCEL = 0x1;
constexpr unsigned MB_ABORTRETRYIGNORE = 0x2;
constexpr unsigned MB_YESNOCANCEL = 0x3;
constexpr unsigned MB_YESNO = 0x4;
constexpr unsigned MB_RETRYCANCEL = 0x5;
constexpr unsigned MB_CANCELTRYCONTINUE = 0x6;
constexpr unsigned MB_TYPEMASK = 0xF;

constexpr unsigned MB_ICONHAND = 0x10;
constexpr unsigned MB_ICONERROR = MB_ICONHAND;
constexpr unsigned MB_ICONSTOP = MB_ICONHAND;
constexpr unsigned MB_ICONQUESTION = 0x20;
constexpr unsigned MB_ICONEXCLAMATION = 0x30;
constexpr unsigned MB_ICONWARNING = MB_ICONEXCLAMATION;
constexpr unsigned MB_ICONASTERISK = 0x40;
constexpr unsigned MB_ICONINFORMATION = MB_ICONASTERISK;
constexpr unsigned MB_ICONMASK = 0xF0;

constexpr unsigned MB_DEFBUTTON1 = 0x000;
constexpr unsigned MB_DEFBUTTON2 = 0x100;
constexpr unsigned MB_DEFBUTTON3 = 0x200;
constexpr unsigned MB_DEFMASK = 0xF00;

constexpr unsigned MB_APPLMODAL = 0x0000;
constexpr unsigned MB_SYSTEMMODAL = 0x1000;
constexpr unsigned MB_TASKMODAL = 0x2000;
constexpr unsigned MB_SETFOREGROUND = 0x10000;
constexpr unsigned MB_TOPMOST = 0x40000;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;
constexpr int IDTRYAGAIN = 10;
constexpr int IDCONTINUE = 11;

// The answer a message box gives when the operator just presses Enter: its
// default button (MB_DEFBUTTONn of its button set).
int DefaultMessageBoxAnswer(unsigned flags);

// ---- Modal results -------------------------------------------------------
using TModalResult = int;
constexpr TModalResult mrNone = 0;
constexpr TModalResult mrOk = IDOK;
constexpr TModalResult mrCancel = IDCANCEL;
constexpr TModalResult mrAbort = IDABORT;
constexpr TModalResult mrRetry = IDRETRY;
constexpr TModalResult mrIgnore = IDIGNORE;
constexpr TModalResult mrYes = IDYES;
constexpr TModalResult mrNo = IDNO;
constexpr TModalResult mrAll = 8;
constexpr TModalResult mrNoToAll = 9;
constexpr TModalResult mrYesToAll = 10;

// ---- Events --------------------------------------------------------------
class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
};

enum TMouseButton { mbLeft, mbRight, mbMiddle };
enum TCloseAction { caNone, caHide, caFree, caMinimize };
enum TUDBtnType { btNext, btPrev };

using TNotifyEvent = std::function<void(TObject* Sender)>;
// Mouse release: sender, button, and the position inside the control.
using TMouseEvent = std::function<void(TObject* Sender, TMouseButton Button, int X, int Y)>;
using TCloseEvent = std::function<void(TObject* Sender, TCloseAction& Action)>;
using TUDClickEvent = std::function<void(TObject* Sender, TUDBtnType Button)>;

// ---- Errors --------------------------------------------------------------
// The error family that handlers raise and the application shows.
// One family for the whole platform layer: the convert and file services raise
// the same base.
using platform::Exception;

// An operation the object cannot do in its present state.
class EInvalidOperation : public Exception {
 public:
  using Exception::Exception;
};

// A file that cannot be opened ("Cannot open file "...". reason").
class EFOpenError : public Exception {
 public:
  using Exception::Exception;
};

// An index outside an item list ("List index out of bounds (n)").
class EStringListError : public Exception {
 public:
  using Exception::Exception;
};

// Misuse of a worker thread, or a call that can no longer reach the UI thread.
class EThread : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace platform::ui
