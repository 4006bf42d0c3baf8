// The texts a production worker takes from the main window are the ones the
// operator sees in the station's own windows.
#include <gtest/gtest.h>

#include "dialog_session.h"

namespace console::testing {
namespace {

using WorkerTexts = SettingsSession;

TEST_F(WorkerTexts, PageModeNamesAreTheSettingsDialogsInEachLanguage) {
  struct Case {
    TTntRadioButton TForm1::*language;
    const char* autoDetection;
  };
  for (const Case& c : {Case{&TForm1::TntRdoLangTC, "自動偵測"}, Case{&TForm1::TntRdoLangSC, "自动侦测"},
                        Case{&TForm1::TntRdoLangEng, "Auto Detection"}}) {
    (Form1->*c.language).UserClick();
    std::vector<std::string> listed;
    Session([&](TfrmSetting& d) { listed = d.cboPageMode.Items.ToVector(); });
    ASSERT_EQ(listed.size(), 8u);
    for (int mode = 0; mode < 8; ++mode)
      EXPECT_EQ(Form1->PageModeText(mode, Form1->LanguageIndex), listed[static_cast<std::size_t>(mode)]) << mode;
    EXPECT_EQ(listed[7], c.autoDetection);
  }
}

}  // namespace
}  // namespace console::testing
