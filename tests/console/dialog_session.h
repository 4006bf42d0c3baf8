// The operator at the settings dialog: opens it with the main window's
// button and acts in it while it is shown modally.
#pragma once

#include <functional>

#include "console/other_forms.h"
#include "console/settings_dialog.h"
#include "station_fixture.h"

namespace console::testing {

class SettingsSession : public StationTest {
 protected:
  void SetUp() override {
    StationTest::SetUp();
    fs::create_directories(root_ / "files");
    Start();
  }

  // The next showing of `form` runs `act` in it.
  void WhenShown(platform::ui::TForm* form, std::function<void()> act) {
    dialogs().Then([form](const platform::ui::DialogRequest& r) { return r.kind == platform::ui::DialogKind::Modal && r.form == form; },
                   [act = std::move(act)](const platform::ui::DialogRequest&) {
                     act();
                     return platform::ui::DialogAnswer{};
                   });
  }

  // Opens the settings dialog with the Setup button, acts in it, and returns
  // how it ended.
  platform::ui::TModalResult Session(const std::function<void(TfrmSetting&)>& act) {
    WhenShown(frmSetting, [act] { act(*frmSetting); });
    EXPECT_TRUE(Form1->btnSetup.UserClick());
    return frmSetting->ModalResult();
  }

  std::string File(const std::string& name, std::size_t size) {
    const fs::path p = root_ / "files" / name;
    WriteBytes(p, "");
    fs::resize_file(p, size);
    return p.string();
  }

  // The texts of the message boxes and error displays shown so far.
  std::vector<std::string> Messages() const {
    std::vector<std::string> texts;
    for (const auto& r : app_->dialogs().Records())
      if (r.request.kind != platform::ui::DialogKind::Modal) texts.push_back(r.request.text);
    return texts;
  }
};

}  // namespace console::testing
