// The main window with eight busy slots, drawn offscreen at 1280x800 and kept
// as PNG files in the build folder (screenshots/): each slot's text is where
// its widget is, in its colour, in English and both Chinese languages.
#include <gtest/gtest.h>

#include <QDir>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <array>
#include <string>
#include <thread>

#include "console/languages.h"
#include "console/ui_strings.h"
#include "gui_fixture.h"

namespace gui::testing {
namespace {

using namespace platform::ui;
using console::TForm1;
using Screenshot = GuiTest;

struct Language {
  const char* name;
  const char* device;
  const char* waiting;
  const char* success;
  const char* fail;
  const char* status;
  const char* blanking;
  const char* writing;
};

constexpr Language kEnglish{"en", "Device", "Waiting device...", "successful", "fail", "Processing Status",
                            "Blanking Check", "FILE Writing"};
constexpr Language kTraditional{"zh-TW", "裝置", "等待裝置...", "成功", "失敗", "處理狀態", "空白檢查", "寫入檔案"};
constexpr Language kSimplified{"zh-CN", "设备", "等待设备...", "成功", "失败", "处理状态", "空白检查", "写入文件"};

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

void Shoot(GuiTest& t, TForm1& f, Renderer& renderer, const Language& lang, const std::string& png) {
  // The texts as the language build leaves them; the captions the checks
  // read are set here too, as the build sets them.
  console::DeviceStr = lang.device;
  console::WaitDeviceMsg = lang.waiting;
  console::SuccessMsg = lang.success;
  console::FailMsg = lang.fail;
  console::ProcessStatusStr = lang.status;
  console::BlankingCheckStr = lang.blanking;
  console::FILEWriteStr = lang.writing;
  console::BuildLanguage(f);
  f.grpProcessStatus.SetCaption(console::ProcessStatusStr.Get());

  struct SlotView {
    std::string text;
    Ink ink;
    int progress;
  };
  std::array<SlotView, 8> expected;
  // The slots written as the workers write them, from a thread of their own.
  std::thread worker([&] {
    for (int k = 0; k < 8; ++k) {
      const console::DeviceSlot& slot = f.Slots[k];
      f.FindChild(k == 0 ? "StaticText1" : "StaticText" + std::to_string(k + 2))
          ->SetCaption(console::DeviceStr + " " + std::to_string(k + 1) + ": ");
      SlotView v;
      if (k == 0) {
        v = {console::SuccessMsg.Get(), Ink::Pass, 100};
      } else if (k == 1) {
        v = {console::BlankingCheckStr + " " + console::FailMsg, Ink::Fail, 37};
      } else if (k % 2) {
        v = {console::BlankingCheckStr + "... " + std::to_string(k * 500) + "/4096 bad " + std::to_string(k), Ink::Running,
             k * 12};
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
  QWidget* window = renderer.WindowOf(&f);
  const QString dir = QString(STATION_BINARY_DIR) + "/screenshots";
  QDir().mkpath(dir);
  ASSERT_TRUE(image.save(dir + "/" + QString::fromStdString(png), "PNG"));

  for (int k = 0; k < 8; ++k) {
    SCOPED_TRACE("slot " + std::to_string(k + 1));
    const console::DeviceSlot& slot = f.Slots[k];
    auto* status = qobject_cast<QLabel*>(renderer.WidgetOf(slot.statusText));
    ASSERT_NE(status, nullptr);
    const QRect place = PlaceIn(window, status);
    // Readable: wide and tall enough for its text, not covered by anything.
    EXPECT_EQ(window->childAt(place.center()), status);
    EXPECT_GE(place.width(), status->fontMetrics().horizontalAdvance(status->text()));
    EXPECT_GE(place.height(), status->fontMetrics().height());
    EXPECT_EQ(status->text().toStdString(), expected[k].text);
    const Ink other[3][2] = {{Ink::Fail, Ink::Fail}, {Ink::Pass, Ink::Pass}, {Ink::Pass, Ink::Fail}};
    EXPECT_GE(CountInk(image, place, expected[k].ink), 15);
    for (Ink o : other[static_cast<int>(expected[k].ink)]) EXPECT_EQ(CountInk(image, place, o), 0);
    // Chinese glyphs come from a font that has them.
    for (char32_t ch : status->text().toStdU32String())
      EXPECT_TRUE(status->fontMetrics().inFontUcs4(ch)) << static_cast<unsigned>(ch);
    // The gauge: its bar as far as the progress goes.
    QWidget* gauge = renderer.WidgetOf(slot.gauge);
    const QRect g = PlaceIn(window, gauge);
    const int fillTo = g.left() + g.width() * expected[k].progress / 100;
    const QColor inside = image.pixelColor(std::max(g.left() + 2, fillTo - 3), g.top() + 2);
    EXPECT_EQ(inside, QColor(Qt::black)) << expected[k].progress;
    if (expected[k].progress < 95) {
      EXPECT_EQ(image.pixelColor(fillTo + 3, g.top() + 2), QColor(Qt::white));
    }
  }
}

TEST_F(Screenshot, EightBusySlotsInEachLanguage) {
  for (const Language* lang : {&kEnglish, &kTraditional, &kSimplified}) {
    SCOPED_TRACE(lang->name);
    Start();
    Shoot(*this, *console::Form1, renderer(), *lang, std::string("main-window-") + lang->name + ".png");
    DestroyWindows();
    console::DestroyForms();
    console::InitUiStrings();
    session_ = std::make_unique<Session>();
    Application->SetDialogService(scripted_);
  }
}

}  // namespace
}  // namespace gui::testing
