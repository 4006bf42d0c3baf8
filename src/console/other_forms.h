// The image tool window, the password dialog and the wait dialog, as created
// at start-up.
#pragma once

#include "platform/ui/ui.h"

namespace console {

using namespace platform::ui;

// The image tool window.
class TfrmIsoMain : public TForm {
 public:
  TfrmIsoMain();
};

// The password dialog that guards the fast blanking check.
class TForm2 : public TForm {
 public:
  TForm2();
};

// The wait dialog.
class TForm3 : public TForm {
 public:
  TForm3();
  TLabel Label1{this, "Label1"};
};

}  // namespace console
