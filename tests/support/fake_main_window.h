// A stand-in for the station's main window as the production engine sees it:
// real controls, plain settings and inspection results that a test sets,
// slots, counters and the user-interface strings kept in memory, and the
// station's own message table and page-mode names for the three languages.
#pragma once

#include <array>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "console/message_table.h"
#include "console/settings_dialog.h"
#include "production/main_window_link.h"

namespace testing_support {

class FakeMainWindow : public production::IProductionWindow {
 public:
  FakeMainWindow() {
    controls_ = {&chkFwUpgrade, &chkBlankCheck, &chkClearFlash, &chkISOupgrade, &chkParityCheck,
                 &chknor,       &chkFormat,     &SystemAreachk, &SystemAreaComBo, &labSystemArea,
                 &LabelEdit,    &TntSelectFileList2, &grpFileList, &grpMPSetting, &TotalStr,
                 &SuccessStr,   &FailStr,       &lblsiosize};
    for (int i = 0; i < 16; ++i) SystemAreaComBo.Items.Add(std::to_string((i + 1) * 4) + "MB");
    for (auto& l : letters_) l = 0;
    console::InitSettingNameTables();
  }

  // ---- what a test sets ----
  production::ProductionSettings settings;
  production::FileListInspection inspection;
  std::vector<std::string> hideFiles, spiFiles;
  int languageIndex = 0;
  std::map<std::string, std::string, std::less<>> uiTexts{{"FailMsg", "fail"}, {"SuccessMsg", "success"}};

  platform::ui::TForm form{"Form1"};
  platform::ui::TGroupBox grpMPSetting{&form, "grpMPSetting"};
  platform::ui::TGroupBox grpFileList{&form, "grpFileList"};
  platform::ui::TCheckBox chkFwUpgrade{&grpMPSetting, "chkFwUpgrade"};
  platform::ui::TCheckBox chkBlankCheck{&grpMPSetting, "chkBlankCheck"};
  platform::ui::TCheckBox chkClearFlash{&grpMPSetting, "chkClearFlash"};
  platform::ui::TCheckBox chkISOupgrade{&grpMPSetting, "chkISOupgrade"};
  platform::ui::TCheckBox chkParityCheck{&grpMPSetting, "chkParityCheck"};
  platform::ui::TCheckBox chknor{&grpMPSetting, "chknor"};
  platform::ui::TCheckBox chkFormat{&grpMPSetting, "chkFormat"};
  platform::ui::TCheckBox SystemAreachk{&grpMPSetting, "SystemAreachk"};
  platform::ui::TComboBox SystemAreaComBo{&grpMPSetting, "SystemAreaComBo"};
  platform::ui::TStaticText labSystemArea{&grpMPSetting, "labSystemArea"};
  platform::ui::TEdit LabelEdit{&grpMPSetting, "LabelEdit"};
  platform::ui::TTntListBox TntSelectFileList2{&form, "TntSelectFileList2"};
  platform::ui::TStaticText TotalStr{&form, "TotalStr"};
  platform::ui::TStaticText SuccessStr{&form, "SuccessStr"};
  platform::ui::TStaticText FailStr{&form, "FailStr"};
  platform::ui::TStaticText lblsiosize{&form, "lblsiosize"};

  struct Panel {
    explicit Panel(platform::ui::TForm* f, int i)
        : status(f, Name("D", i, "infoStr")), image(f, Name("infoImage", i)), gauge(f, Name("ProgressBar", i)),
          textP(f, Name("TextP", i)), textF(f, Name("TextF", i)) {}
    static std::string Name(const char* head, int i, const char* tail = "") {
      std::string s(head);
      s += std::to_string(i + 1);
      s += tail;
      return s;
    }
    platform::ui::TStaticText status;
    platform::ui::TImage image;
    platform::ui::TCGauge gauge;
    platform::ui::TStaticText textP;
    platform::ui::TStaticText textF;
  };
  std::array<Panel, 8> panels{Panel(&form, 0), Panel(&form, 1), Panel(&form, 2), Panel(&form, 3),
                              Panel(&form, 4), Panel(&form, 5), Panel(&form, 6), Panel(&form, 7)};

  // Gives slot `slot` to the device at `letter` (0 frees it).
  void SetSlot(int slot, char letter) {
    std::lock_guard lock(m_);
    letters_[slot] = letter;
    if (letter) ++generations_[slot];
  }
  production::CounterValues Counts() const {
    std::lock_guard lock(m_);
    return counters_;
  }
  int RunningCount() const {
    std::lock_guard lock(m_);
    return running_;
  }

  // ---- the interface ----
  const production::ProductionControls& WorkerControls() override { return controls_; }
  production::ProductionSettings CurrentSettings() const override { return settings; }
  production::FileListInspection CurrentInspection() const override { return inspection; }
  std::vector<std::string> HiddenDiskFiles() const override { return hideFiles; }
  std::vector<std::string> SpiFlashFiles() const override { return spiFiles; }
  int CurrentLanguageIndex() const override { return languageIndex; }
  production::SlotPanel SlotControls(int slot) override {
    Panel& p = panels.at(slot);
    return {&p.status, &p.image, &p.gauge, &p.textP, &p.textF};
  }
  char SlotDriveLetter(int slot) const override {
    std::lock_guard lock(m_);
    return letters_.at(slot);
  }
  std::uint32_t SlotGeneration(int slot) const override {
    std::lock_guard lock(m_);
    return generations_.at(slot);
  }
  production::CounterValues RecordFinishedRun(bool passed) override {
    std::lock_guard lock(m_);
    ++counters_.total;
    counters_.passed += passed ? 1 : 0;
    counters_.failed = counters_.total - counters_.passed;
    return counters_;
  }
  int RecordRunStart() override {
    std::lock_guard lock(m_);
    return ++running_;
  }
  int RecordRunEnd() override {
    std::lock_guard lock(m_);
    running_ = running_ > 1 ? running_ - 1 : 0;
    return running_;
  }
  std::string UiText(std::string_view name) const override {
    auto it = uiTexts.find(name);
    return it != uiTexts.end() ? it->second : std::string(name);
  }
  // The station's message table, as the main window reads it: the row whose
  // English text is given, in the column of `language`.
  std::string MessageText(std::string_view english, int language) const override {
    for (int row = 0; row < console::kMessageRows; ++row)
      if (english == console::MessageTable[row][0]) return console::MessageText(row, language);
    return std::string(english);
  }
  std::string PageModeText(int mode, int language) const override { return console::PageModeName(mode, language); }

 private:
  production::ProductionControls controls_;
  mutable std::mutex m_;
  std::array<char, 8> letters_{};
  std::array<std::uint32_t, 8> generations_{};
  production::CounterValues counters_;
  int running_ = 0;
};

}  // namespace testing_support
