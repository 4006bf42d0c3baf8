#include "console/other_forms.h"

#include "console/main_window.h"
#include "console/message_table.h"
#include "console/settings_dialog.h"
#include "platform/convert/convert.h"

namespace console {

// ---- password dialog ----

TForm2::TForm2() : TForm("Form2") {
  SetCaption("DU Vadi Password");
  SetBounds(0, 0, 300, 160);
  GroupBox1.SetBounds(8, 8, 276, 110);
  Label1.SetBounds(16, 20, 240, 17);
  edtpassword.SetBounds(16, 44, 240, 21);
  Button1.SetBounds(96, 76, 90, 25);
  OnShow = [this](TObject* s) { FormShow(s); };
  OnClose = [this](TObject* s, TCloseAction& a) { FormClose(s, a); };
  edtpassword.OnClick = [this](TObject* s) { FormShow(s); };
  Button1.OnClick = [this](TObject* s) { Button1Click(s); };
}

void TForm2::FormShow(TObject*) {
  edtpassword.Clear();
  const int lang = Form1 ? Form1->LanguageIndex.load() : 0;
  Label1.SetCaption(MessageText(88, lang));
  GroupBox1.SetCaption(MessageText(89, lang));
  Button1.SetCaption(MessageText(90, lang));
}

void TForm2::Button1Click(TObject*) {
  const std::string text = edtpassword.Text();
  std::int32_t entered = 0;
  if (text.empty())
    ShowMessage("Pls input paaword!");
  else
    entered = platform::StrToInt(text);  // text that is no number ends the click here
  iPassword = entered;
  const bool granted = iPassword == kFastBlankingAccessNumber;
  if (frmSetting) frmSetting->SetFastBlankingChecked(granted);
  if (!granted) ShowMessage("Password Error! Pls input correct Password");
  edtpassword.Clear();
  Close();
}

void TForm2::FormClose(TObject*, TCloseAction&) {
  if (frmSetting) frmSetting->SetFastBlankingChecked(iPassword == kFastBlankingAccessNumber);
}

// ---- wait dialog ----

TForm3::TForm3() : TForm("Form3") {
  SetCaption("Processing");
  SetBounds(0, 0, 300, 100);
  Label1.SetCaption("Wating....................");
  Label1.SetBounds(16, 24, 260, 24);
  TFont font = Label1.Font();
  font.Size = 14;
  Label1.SetFont(font);
  OnShow = [this](TObject* s) { FormShow(s); };
}

void TForm3::FormShow(TObject*) { Label1.SetCaption("Wating......"); }

}  // namespace console
