// The station's windows drawn offscreen in each of its languages, each from
// a station of its own started in that language with the shipped lang.ini,
// and kept as PNG files in the build folder (screenshots/): the main window
// idle, running and with its results, every settings page, the image tool
// and the password dialog. In every window each control's text fits the
// control (a status a run writes is elided instead), each control sits
// inside its container's content (below a group's title), and controls
// designed apart stay apart; the main window's slots show their texts in
// their colours and their gauges as far as their progress.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleOption>
#include <QTabBar>
#include <QTabWidget>
#include <array>
#include <set>
#include <filesystem>
#include <string>
#include <thread>

#include "console/message_table.h"
#include "console/other_forms.h"
#include "console/settings_dialog.h"
#include "console/ui_strings.h"
#include "gui_fixture.h"
#include "imagebuilder/iso_main.h"

namespace gui::testing {
namespace {

using namespace platform::ui;
using console::TForm1;
namespace fs = std::filesystem;

enum class Ink { Pass, Fail, Running };

// Pixels of the image inside `r` that read as the ink.
int CountInk(const QImage& image, const QRect& r, Ink ink) {
  int n = 0;
  for (int y = r.top(); y <= r.bottom(); ++y)
    for (int x = r.left(); x <= r.right(); ++x) {
      const QColor c = image.pixelColor(x, y);
      const bool hit = ink == Ink::Pass   ? c.blue() > 180 && c.red() < 90 && c.green() < 90
                       : ink == Ink::Fail ? c.red() > 180 && c.green() < 90 && c.blue() < 90
                                          : c.red() < 90 && c.green() < 90 && c.blue() < 90;
      n += hit;
    }
  return n;
}

QRect PlaceIn(QWidget* window, QWidget* w) { return QRect(w->mapTo(window, QPoint(0, 0)), w->size()); }

// A label's whole text: what it shows, or where that is elided, its tip.
std::string FullText(QLabel* label) {
  return (label->toolTip().isEmpty() ? label->text() : label->toolTip()).toStdString();
}

void Save(const QImage& image, const std::string& name) { ASSERT_TRUE(SaveScreenshot(image, name)); }

// Whether the widget's text is shown whole in it.
bool TextFits(QWidget* w) {
  const QFontMetrics fm = w->fontMetrics();
  if (auto* label = qobject_cast<QLabel*>(w)) {
    if (label->text().isEmpty()) return true;
    if (label->wordWrap()) return label->heightForWidth(label->width()) <= label->height();
    return label->sizeHint().width() <= label->width() && fm.height() <= label->height();
  }
  if (auto* button = qobject_cast<QPushButton*>(w)) {
    QStyleOptionButton opt;
    opt.initFrom(button);
    const QRect inside = button->style()->subElementRect(QStyle::SE_PushButtonContents, &opt, button);
    return fm.size(Qt::TextShowMnemonic, button->text()).width() < inside.width() && fm.height() <= inside.height();
  }
  if (qobject_cast<QCheckBox*>(w) || qobject_cast<QRadioButton*>(w))
    return w->sizeHint().width() <= w->width() && fm.height() <= w->height();
  if (auto* group = qobject_cast<QGroupBox*>(w)) return group->minimumSizeHint().width() <= group->width();
  if (auto* combo = qobject_cast<QComboBox*>(w)) {
    QStyleOptionComboBox opt;
    opt.initFrom(combo);
    opt.editable = combo->isEditable();
    const QRect field = combo->style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, combo);
    for (int i = 0; i < combo->count(); ++i)
      if (fm.horizontalAdvance(combo->itemText(i)) > field.width()) return false;
    return fm.height() <= field.height();
  }
  if (auto* tabs = qobject_cast<QTabWidget*>(w)) return tabs->tabBar()->sizeHint().width() <= tabs->tabBar()->width();
  return true;
}

// Every control of `form`: drawn by a widget of its own in its container's,
// shown as the model says with the model's text, which fits; inside its
// container's content, overlapping no sibling it was not designed to overlap.
void ExpectLaidOut(Renderer& renderer, TWinControl* container, const std::set<TControl*>& live = {}) {
  const std::vector<TControl*> children = container->Children();
  for (std::size_t i = 0; i < children.size(); ++i) {
    TControl* c = children[i];
    SCOPED_TRACE(c->Name());
    QWidget* w = renderer.WidgetOf(c);
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(TextFits(w)) << w->size().width() << "x" << w->size().height();
    if (auto* label = qobject_cast<QLabel*>(w)) {
      EXPECT_EQ(FullText(label), c->Caption());
      // Only a text that a run writes is ever elided; a caption always fits whole.
      if (!label->toolTip().isEmpty()) {
        EXPECT_TRUE(live.count(c)) << "elided";
      }
    }
    if (auto* button = qobject_cast<QAbstractButton*>(w)) {
      EXPECT_EQ(button->text().toStdString(), c->Caption());
    }
    if (!dynamic_cast<TTabSheet*>(c)) {
      EXPECT_EQ(w->parentWidget(), renderer.WidgetOf(container));
      EXPECT_EQ(!w->isHidden(), c->Visible());
      const QRect content = w->parentWidget()->contentsRect();
      EXPECT_TRUE(content.contains(w->geometry()))
          << "at " << w->x() << "," << w->y() << " " << w->width() << "x" << w->height() << " in "
          << content.x() << "," << content.y() << " " << content.width() << "x" << content.height();
      for (std::size_t j = i + 1; j < children.size(); ++j) {
        TControl* other = children[j];
        const QRect designed(c->Left(), c->Top(), c->Width(), c->Height());
        if (designed.intersects(QRect(other->Left(), other->Top(), other->Width(), other->Height()))) continue;
        EXPECT_FALSE(w->geometry().intersects(renderer.WidgetOf(other)->geometry())) << "overlaps " << other->Name();
      }
    }
    // A page is laid out by its page control when it is the one shown.
    if (auto* page = dynamic_cast<TTabSheet*>(c); page && page->PageControl()->ActivePage() != page) continue;
    if (auto* inner = dynamic_cast<TWinControl*>(c)) ExpectLaidOut(renderer, inner, live);
  }
}

// What the worker writes into a slot: its status in its colour, its gauge,
// its port and flash texts, and the result picture when the run has ended.
struct SlotView {
  std::string text;
  Ink ink;
  int progress;
  const char* picture = nullptr;  // misc/success.bmp or misc/fail.bmp
};

// The main window with its slots as `views` says, written from a worker's
// thread as runs write them; drawn, saved and checked.
void ShootMainWindow(GuiTest& t, TForm1& f, const std::vector<SlotView>& views, const std::string& name,
                     const fs::path& misc = {}) {
  std::thread worker([&] {
    for (std::size_t k = 0; k < views.size(); ++k) {
      const console::DeviceSlot& slot = f.Slots[k];
      const SlotView& v = views[k];
      slot.statusText->SetCaption(v.text);
      slot.statusText->SetFontColor(v.ink == Ink::Pass ? clBlue : v.ink == Ink::Fail ? clRed : clWindowText);
      slot.gauge->SetVisible(true);
      slot.gauge->SetProgress(v.progress);
      slot.textP->SetCaption(" Port:1-" + std::to_string(k + 1) + "-0");
      slot.textF->SetCaption("ID:98D79432 " + std::string(v.ink == Ink::Fail ? console::FailMsg.Get() : ""));
      if (v.picture) {
        slot.image->LoadPictureFromFile((misc / v.picture).string());
        slot.image->SetVisible(true);
      }
    }
  });
  worker.join();

  const QImage image = t.Render(&f, 1280, 800);
  Save(image, name);
  QWidget* window = t.renderer().WindowOf(&f);
  EXPECT_EQ(t.renderer().WidgetOf(&f.PageControl1)->geometry(), window->rect());  // scaled to the window
  std::set<TControl*> live;
  for (const console::DeviceSlot& slot : f.Slots) live.insert(slot.statusText);
  ExpectLaidOut(t.renderer(), &f, live);
  for (std::size_t k = 0; k < views.size(); ++k) {
    SCOPED_TRACE("slot " + std::to_string(k + 1));
    const console::DeviceSlot& slot = f.Slots[k];
    auto* status = qobject_cast<QLabel*>(t.renderer().WidgetOf(slot.statusText));
    ASSERT_NE(status, nullptr);
    const QRect place = PlaceIn(window, status);
    EXPECT_EQ(window->childAt(place.center()), status);  // not covered by anything
    EXPECT_EQ(FullText(status), views[k].text);
    const Ink other[3][2] = {{Ink::Fail, Ink::Fail}, {Ink::Pass, Ink::Pass}, {Ink::Pass, Ink::Fail}};
    EXPECT_GE(CountInk(image, place, views[k].ink), 15);
    for (Ink o : other[static_cast<int>(views[k].ink)]) EXPECT_EQ(CountInk(image, place, o), 0);
    // Chinese glyphs come from a font that has them.
    for (char32_t ch : status->text().toStdU32String())
      EXPECT_TRUE(status->fontMetrics().inFontUcs4(ch)) << static_cast<unsigned>(ch);
    // The gauge: its bar as far as the progress goes.
    const QRect g = PlaceIn(window, t.renderer().WidgetOf(slot.gauge));
    const int fillTo = g.left() + g.width() * views[k].progress / 100;
    if (views[k].progress > 5) {
      EXPECT_EQ(image.pixelColor(std::max(g.left() + 2, fillTo - 3), g.top() + 2), QColor(Qt::black))
          << views[k].progress;
    }
    if (views[k].progress < 95) {
      EXPECT_EQ(image.pixelColor(fillTo + 3, g.top() + 2), QColor(Qt::white));
    }
  }
}

// A dialog as it opens (its own size), each of its pages in turn.
void ShootDialog(GuiTest& t, TForm* form, TPageControl* pages, const std::string& name) {
  form->Show();
  QWidget* window = t.renderer().WindowOf(form);
  EXPECT_EQ(window->windowTitle().toStdString(), form->Caption());
  for (int page = 0; page < (pages ? pages->PageCount() : 1); ++page) {
    SCOPED_TRACE(::testing::Message() << name << " page " << page);
    if (pages) pages->SetActivePageIndex(page);
    Settle();
    t.renderer().Flush();
    Save(window->grab().toImage(), pages ? name + "-" + std::to_string(page + 1) : name);
    ExpectLaidOut(t.renderer(), form);
  }
  form->Hide();
}

struct Language {
  const char* name;
  int languageId;      // the registry's LanguageID
  const char* device;  // the panels' label as lang.ini gives it
  const char* upgrade;  // the manual-upgrade button as lang.ini gives it
};

void PrintTo(const Language& language, std::ostream* out) { *out << language.name; }

class ScreenshotPerLanguage : public GuiTest, public ::testing::WithParamInterface<Language> {};

// Each language's images come from a station of its own, started in that
// language as its operator keeps it (the registry's choice), so that each
// shows the product as that operator sees it.
TEST_P(ScreenshotPerLanguage, EveryWindowAsItsOperatorSeesIt) {
  const Language& language = GetParam();
  for (const char* file : {"lang.ini", "success.bmp", "fail.bmp"})
    fs::copy_file(fs::path(STATION_SOURCE_DIR) / "support/misc" / file, misc() / file);
  ASSERT_TRUE(console::RegWriteInteger(console::kStationKey, "LanguageID", language.languageId));
  Start();
  TForm1& f = *console::Form1;
  EXPECT_EQ(f.StaticText1.Caption(), language.device);
  EXPECT_EQ(f.Upgradebtn.Caption(), language.upgrade);
  const std::string name = language.name;

  const std::string waiting = console::WaitDeviceMsg;
  ShootMainWindow(*this, f, {}, "main-window-idle-" + name);
  const std::string blanking = console::BlankingCheckStr;
  const std::vector<SlotView> running = {
      {console::FILEWriteStr + "...", Ink::Running, 47},
      {blanking + "... 1500/4096 bad 3", Ink::Running, 36},
      {console::ProgramWriteStr + "...", Ink::Running, 68},
      {blanking + "... 3500/4096 bad 7", Ink::Running, 84},
      {console::FSMWrite.Get(), Ink::Running, 0},
      {console::CopyFileMsg + "...", Ink::Running, 90},
  };
  ShootMainWindow(*this, f, running, "main-window-running-" + name);
  const int lang = f.LanguageIndex;
  const std::string fail = " " + console::FailMsg;
  const std::vector<SlotView> results = {
      {console::SuccessMsg.Get(), Ink::Pass, 100, "success.bmp"},
      {blanking + fail, Ink::Fail, 37, "fail.bmp"},
      {console::SuccessMsg + "(" + console::MessageText(51, lang) + ")", Ink::Pass, 100, "success.bmp"},
      {console::MessageText(42, lang) + fail, Ink::Fail, 21, "fail.bmp"},  // elided in the middle
      {console::SuccessMsg.Get(), Ink::Pass, 100, "success.bmp"},
      {console::FormatStr + fail, Ink::Fail, 80, "fail.bmp"},
      {waiting, Ink::Running, 0},
      {console::SuccessMsg.Get(), Ink::Pass, 100, "success.bmp"},
  };
  ShootMainWindow(*this, f, results, "main-window-results-" + name, misc());

  // The settings dialog with the hidden disk's groups shown: its file list,
  // or (in Traditional Chinese) its image file.
  f.eDeviceFeature = console::kHiddenDisk;
  f.bUseImgFile = language.languageId == 3;
  ShootDialog(*this, console::frmSetting, &console::frmSetting->pgeSetting, "settings-" + name);
  ShootDialog(*this, console::frmIsoMain, nullptr, "image-tool-" + name);
  ShootDialog(*this, console::Form2, nullptr, "password-" + name);

  // One action, one word: the main window's file-list buttons read as the
  // dialogs' buttons for the same actions.
  const std::string addFiles = f.AddFilesBtn.Caption();
  EXPECT_EQ(f.RemoveBtn.Caption(), console::frmSetting->btnRemove.Caption());
  EXPECT_EQ(f.RemoveBtn.Caption(), console::frmSetting->btnRmvSpiFile.Caption());
  EXPECT_EQ(f.RemoveBtn.Caption(), console::frmIsoMain->btnRemove.Caption());
  EXPECT_EQ(f.btnAddDir.Caption(), console::frmSetting->btnAddDir.Caption());
  EXPECT_EQ(f.btnAddDir.Caption(), console::frmIsoMain->btnAddDir.Caption());
  // (The English texts are the system's own, "Add files" in one place and "Add Files" in the other.)
  EXPECT_EQ(QString::fromStdString(addFiles).chopped(3).toLower(),
            QString::fromStdString(console::frmIsoMain->btnAddFile.Caption()).toLower());
}

INSTANTIATE_TEST_SUITE_P(Languages, ScreenshotPerLanguage,
                         ::testing::Values(Language{"en", 1, "Device 1: ", "Start Upgrade"},
                                           Language{"zh-TW", 3, "裝置 1: ", "開始升級"},
                                           Language{"zh-CN", 2, "设备 1: ", "开始升级"}),
                         [](const ::testing::TestParamInfo<Language>& info) {
                           return std::string(info.param.name == std::string("en")      ? "English"
                                              : info.param.name == std::string("zh-TW") ? "TraditionalChinese"
                                                                                         : "SimplifiedChinese");
                         });

}  // namespace
}  // namespace gui::testing
