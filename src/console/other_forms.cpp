#include "console/other_forms.h"

namespace console {

TfrmIsoMain::TfrmIsoMain() : TForm("frmIsoMain") {
  SetCaption("Image Tool");
  SetBounds(0, 0, 520, 420);
}

TForm2::TForm2() : TForm("Form2") {
  SetCaption("Password");
  SetBounds(0, 0, 300, 160);
}

TForm3::TForm3() : TForm("Form3") {
  SetCaption("Processing");
  SetBounds(0, 0, 300, 100);
  Label1.SetCaption("Wating....................");
  Label1.SetBounds(16, 24, 260, 24);
}

}  // namespace console
