// The station's windows drawn offscreen in each of its languages, the
// language built from the shipped lang.ini as the operator's language button
// builds it, and kept as PNG files in the build folder (screenshots/). In
// every window each control's text fits the control, each control sits inside
// its container's content (below a group's title), and controls designed
// apart stay apart; the main window's busy slots show their texts in their
// colours and their gauges as far as their progress.
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
#include <filesystem>
#include <string>
#include <thread>

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
using Screenshot = GuiTest;

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

void Save(const QImage& image, const std::string& name) {
  const QString dir = QString(STATION_BINARY_DIR) + "/screenshots";
  QDir().mkpath(dir);
  ASSERT_TRUE(image.save(dir + "/" + QString::fromStdString(name) + ".png", "PNG"));
}

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
void ExpectLaidOut(Renderer& renderer, TWinControl* container) {
  const std::vector<TControl*> children = container->Children();
  for (std::size_t i = 0; i < children.size(); ++i) {
    TControl* c = children[i];
    SCOPED_TRACE(c->Name());
    QWidget* w = renderer.WidgetOf(c);
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(TextFits(w)) << w->size().width() << "x" << w->size().height();
    if (auto* label = qobject_cast<QLabel*>(w); label && !dynamic_cast<TImage*>(c)) {
      EXPECT_EQ(label->text().toStdString(), c->Caption());
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
    if (auto* inner = dynamic_cast<TWinControl*>(c)) ExpectLaidOut(renderer, inner);
  }
}

// The main window with its eight slots busy, written from a worker's thread.
void ShootMainWindow(GuiTest& t, TForm1& f, const std::string& language) {
  struct SlotView {
    std::string text;
    Ink ink;
    int progress;
  };
  std::array<SlotView, 8> expected;
  std::thread worker([&] {
    for (int k = 0; k < 8; ++k) {
      const console::DeviceSlot& slot = f.Slots[k];
      SlotView v;
      if (k == 0) {
        v = {console::SuccessMsg.Get(), Ink::Pass, 100};
      } else if (k == 1) {
        v = {console::BlankingCheckStr + " " + console::FailMsg, Ink::Fail, 37};
      } else if (k % 2) {
        v = {console::BlankingCheckStr + "... " + std::to_string(k * 500) + "/4096 bad " + std::to_string(k),
             Ink::Running, k * 12};
      } else {
        v = {console::FILEWriteStr + "...", Ink::Running, 40 + k * 7};
      }
      expected[k] = v;
      slot.statusText->SetCaption(v.text);
      slot.statusText->SetFontColor(v.ink == Ink::Pass ? clBlue : v.ink == Ink::Fail ? clRed : clWindowText);
      slot.gauge->SetVisible(true);
      slot.gauge->SetProgress(v.progress);
      slot.textP->SetCaption(" Port:1-" + std::to_string(k + 1) + "-0");
      slot.textF->SetCaption("ID:98D79432 " + std::string(k == 1 ? console::FailMsg.Get() : ""));
    }
  });
  worker.join();

  const QImage image = t.Render(&f, 1280, 800);
  Save(image, "main-window-" + language);
  QWidget* window = t.renderer().WindowOf(&f);
  EXPECT_EQ(t.renderer().WidgetOf(&f.PageControl1)->geometry(), window->rect());  // scaled to the window
  ExpectLaidOut(t.renderer(), &f);
  for (int k = 0; k < 8; ++k) {
    SCOPED_TRACE("slot " + std::to_string(k + 1));
    const console::DeviceSlot& slot = f.Slots[k];
    auto* status = qobject_cast<QLabel*>(t.renderer().WidgetOf(slot.statusText));
    ASSERT_NE(status, nullptr);
    const QRect place = PlaceIn(window, status);
    EXPECT_EQ(window->childAt(place.center()), status);  // not covered by anything
    EXPECT_EQ(status->text().toStdString(), expected[k].text);
    const Ink other[3][2] = {{Ink::Fail, Ink::Fail}, {Ink::Pass, Ink::Pass}, {Ink::Pass, Ink::Fail}};
    EXPECT_GE(CountInk(image, place, expected[k].ink), 15);
    for (Ink o : other[static_cast<int>(expected[k].ink)]) EXPECT_EQ(CountInk(image, place, o), 0);
    // Chinese glyphs come from a font that has them.
    for (char32_t ch : status->text().toStdU32String())
      EXPECT_TRUE(status->fontMetrics().inFontUcs4(ch)) << static_cast<unsigned>(ch);
    // The gauge: its bar as far as the progress goes.
    const QRect g = PlaceIn(window, t.renderer().WidgetOf(slot.gauge));
    const int fillTo = g.left() + g.width() * expected[k].progress / 100;
    EXPECT_EQ(image.pixelColor(std::max(g.left() + 2, fillTo - 3), g.top() + 2), QColor(Qt::black))
        << expected[k].progress;
    if (expected[k].progress < 95) {
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

TEST_F(Screenshot, EveryWindowInEachLanguage) {
  const struct {
    const char* name;
    TRadioButton TForm1::*button;
    const char* device;  // the panels' label as lang.ini gives it
  } languages[] = {
      {"en", &TForm1::TntRdoLangEng, "Device 1: "},
      {"zh-TW", &TForm1::TntRdoLangTC, "裝置 1: "},
      {"zh-CN", &TForm1::TntRdoLangSC, "设备 1: "},
  };
  fs::copy_file(fs::path(STATION_SOURCE_DIR) / "support/misc/lang.ini", misc() / "lang.ini");
  for (const auto& language : languages) {
    SCOPED_TRACE(language.name);
    Start();
    TForm1& f = *console::Form1;
    (f.*language.button).UserClick();
    EXPECT_EQ(f.StaticText1.Caption(), language.device);
    ShootMainWindow(*this, f, language.name);
    // The settings dialog with the hidden disk's groups shown: its file list,
    // or (in Traditional Chinese) its image file.
    f.eDeviceFeature = console::kHiddenDisk;
    f.bUseImgFile = language.button == &TForm1::TntRdoLangTC;
    ShootDialog(*this, console::frmSetting, &console::frmSetting->pgeSetting, std::string("settings-") + language.name);
    ShootDialog(*this, console::frmIsoMain, nullptr, std::string("image-tool-") + language.name);
    ShootDialog(*this, console::Form2, nullptr, std::string("password-") + language.name);
    DestroyWindows();
    console::DestroyForms();
    console::InitUiStrings();
    NewSession();
  }
}

}  // namespace
}  // namespace gui::testing
