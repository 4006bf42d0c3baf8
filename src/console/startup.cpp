#include "console/startup.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <string>

#include "console/languages.h"
#include "console/main_window.h"
#include "console/message_table.h"
#include "console/other_forms.h"
#include "console/settings_dialog.h"
#include "console/ui_strings.h"
#include "platform/paths/paths.h"

namespace console {

inline constexpr const char* kApplicationTitle = "ZOQQ4xx Kestrune v2.0";

namespace {

std::atomic<bool> closeLeftUnsaved{false};

}  // namespace

bool CloseLeftUnsaved() { return closeLeftUnsaved; }

void CreateForms() {
  closeLeftUnsaved = false;
  Form1 = new TForm1;  // runs FormCreate
  Application->SetMainForm(Form1);
  frmSetting = new TfrmSetting;
  frmIsoMain = new TfrmIsoMain;
  // The image tool speaks the main window's language and hands the image it
  // builds to the settings dialog's image-file field.
  frmIsoMain->MainLanguageIndex = [] { return Form1 ? Form1->LanguageIndex.load() : 0; };
  frmIsoMain->MessageText = [](const std::string& english, int languageIndex) {
    return Form1 ? Form1->MessageText(english, languageIndex) : english;
  };
  frmIsoMain->OnImageCreated = [](const std::string& file) {
    if (frmSetting) frmSetting->edtImgFile.SetText(file);
  };
  Form2 = new TForm2;
  Form3 = new TForm3;
}

void DestroyForms() {
  // However the program ends, no worker may outlive the forms it writes to.
  if (Form1) Form1->WaitForWorkers();
  delete Form3;
  Form3 = nullptr;
  delete Form2;
  Form2 = nullptr;
  delete frmIsoMain;
  frmIsoMain = nullptr;
  delete frmSetting;
  frmSetting = nullptr;
  if (Application->MainForm() == Form1) Application->SetMainForm(nullptr);
  if (Form1 && Form1->CloseLeftUnsaved()) closeLeftUnsaved = true;
  delete Form1;
  Form1 = nullptr;
}

std::string AnotherStationMessage(int languageIndex, const std::string& folder) {
  const std::string text = AnotherStationText(languageIndex);
  if (folder.empty()) return text.substr(0, text.find('\n'));
  return text + " " + folder;
}

void TellEarlierStation(const std::string& folder) {
  // The language this station's window would speak, from the stored choice.
  const int lang = SectionOfChoice(RegReadInteger(kStationKey, "LanguageID", 0)).languageIndex;
  if (Form1) Form1->LanguageIndex = lang;  // the box's own buttons speak it too
  Application->MessageBox(AnotherStationMessage(lang, folder), MessageText(27, lang), MB_OK | MB_ICONWARNING);
}

int WinMain(const WindowHooks& hooks) {
  InitUiStrings();
  bool created = false;
  try {
    Application->Initialize();
    Application->SetTitle(kApplicationTitle);
    CreateForms();
    created = true;
    if (hooks.created) hooks.created();
    Application->Run();
  } catch (const std::exception& e) {
    Application->ShowException(e);
  }
  // The caller's end comes once every run is over (the counters are final).
  Application->WaitForThreads();
  if (created && hooks.ended) CallGuarded(hooks.ended);
  DestroyForms();
  FreeUiStrings();
  return 0;
}

}  // namespace console
