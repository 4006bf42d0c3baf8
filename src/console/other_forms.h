// The password dialog and the wait dialog, as created at start-up, and the
// image tool window's name in the console.
#pragma once

#include <cstdint>

#include "imagebuilder/iso_main.h"
#include "platform/ui/ui.h"

namespace console {

using namespace platform::ui;

using imagebuilder::TfrmIsoMain;  // the image tool window

// The number that unlocks the fast blanking check.
inline constexpr std::int32_t kFastBlankingAccessNumber = 46130972;

// The password dialog that guards the fast blanking check of the settings
// dialog: the box ends checked only when the number entered equals the
// access number. The number last entered is kept for the life of the dialog.
class TForm2 : public TForm {
 public:
  TForm2();

  TGroupBox GroupBox1{this, "GroupBox1"};
  TLabel Label1{&GroupBox1, "Label1"};
  TEdit edtpassword{&GroupBox1, "edtpassword"};  // shown in clear text
  TButton Button1{&GroupBox1, "Button1"};

  std::int32_t iPassword = 0;  // the number last entered

  void FormShow(TObject* Sender);  // also the edit's click handler
  void Button1Click(TObject* Sender);
  void FormClose(TObject* Sender, TCloseAction& Action);
};

// The wait dialog: a "Processing" window with one label; nothing shows it.
class TForm3 : public TForm {
 public:
  TForm3();
  TLabel Label1{this, "Label1"};

  void FormShow(TObject* Sender);
};

}  // namespace console
