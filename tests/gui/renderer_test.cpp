// The renderer: the operator's input going back as the model's calls,
// disabled controls looking disabled, changes from workers arriving on the
// Qt thread, and the station's close while runs are on. (Every form's
// widgets and layout: screenshot_test.cpp.)
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QSlider>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "gui_fixture.h"

// Qt is not built for ThreadSanitizer: the locks inside it are invisible to
// the checker, so what Qt's own threads (its painting pool) allocate and free
// would read as races. Reports whose access is made from inside Qt are left out;
// the station's own code and its hand-over to the Qt thread stay checked.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so.6\ncalled_from_lib:libQt6Gui.so.6\ncalled_from_lib:libQt6Widgets.so.6\n";
}

namespace gui::testing {
namespace {

using namespace platform::ui;
using console::TForm1;
namespace fs = std::filesystem;
using Rendering = GuiTest;
using RendererConcurrency = GuiTest;

// A form with every kind of control, and a record of what the handlers saw.
struct SampleForm : TForm {
  SampleForm() : TForm("Sample") {
    SetCaption("Sample");
    SetBounds(0, 0, 400, 300);
    Group.SetBounds(10, 10, 380, 200);
    Group.SetCaption("Options");
    Check.SetBounds(10, 20, 120, 20);
    Check.SetCaption("Check");
    RadioA.SetBounds(10, 44, 60, 20);
    RadioB.SetBounds(80, 44, 60, 20);
    Button.SetBounds(10, 70, 80, 24);
    Button.SetCaption("Go");
    Edit.SetBounds(10, 100, 120, 22);
    Edit.SetCharCase(ecUpperCase);
    Edit.SetMaxLength(4);
    Combo.SetBounds(140, 100, 100, 22);
    Combo.SetStyle(csDropDownList);
    Combo.Items.Assign({"4MB", "8MB", "12MB"});
    Combo.SetItemIndex(0);
    List.SetBounds(140, 20, 200, 70);
    List.SetMultiSelect(true);
    List.Items.Assign({"a.bin", "b.bin", "c.bin"});
    Track.SetBounds(10, 130, 200, 30);
    Track.SetRange(4, 256);
    Progress.SetBounds(220, 130, 100, 16);
    Up.SetBounds(330, 130, 40, 22);
    Panel.SetBounds(10, 220, 200, 60);
    Text.SetBounds(5, 5, 150, 20);
    Text.SetCaption("inside the panel");
    Gauge.SetBounds(220, 220, 150, 20);
    Picture.SetBounds(220, 250, 24, 24);
    Pages.SetBounds(250, 160, 140, 50);
    Check.OnClick = [this](TObject*) { seen.push_back("Check.OnClick"); };
    Check.OnMouseUp = [this](TObject*, TMouseButton b, int, int) {
      seen.push_back(b == mbLeft ? "Check.MouseUp(left)" : "Check.MouseUp(right)");
    };
    RadioB.OnClick = [this](TObject*) { seen.push_back("RadioB.OnClick"); };
    Button.OnClick = [this](TObject*) { seen.push_back("Button.OnClick"); };
    Edit.OnChange = [this](TObject*) { seen.push_back("Edit.OnChange " + Edit.Text()); };
    Combo.OnChange = [this](TObject*) { seen.push_back("Combo.OnChange " + Combo.Text()); };
    List.OnClick = [this](TObject*) { seen.push_back("List.OnClick"); };
    Track.OnChange = [this](TObject*) { seen.push_back("Track.OnChange " + std::to_string(Track.Position())); };
    Up.OnClick = [this](TObject*, TUDBtnType b) { seen.push_back(b == btNext ? "Up.OnClick(next)" : "Up.OnClick(prev)"); };
    Pages.OnChange = [this](TObject*) { seen.push_back("Pages.OnChange"); };
  }
  TGroupBox Group{this, "Group"};
  TCheckBox Check{&Group, "Check"};
  TRadioButton RadioA{&Group, "RadioA"};
  TRadioButton RadioB{&Group, "RadioB"};
  TButton Button{&Group, "Button"};
  TEdit Edit{&Group, "Edit"};
  TComboBox Combo{&Group, "Combo"};
  TListBox List{&Group, "List"};
  TTrackBar Track{&Group, "Track"};
  TProgressBar Progress{&Group, "Progress"};
  TUpDown Up{&Group, "Up"};
  TPanel Panel{this, "Panel"};
  TStaticText Text{&Panel, "Text"};
  TCGauge Gauge{this, "Gauge"};
  TImage Picture{this, "Picture"};
  TPageControl Pages{this, "Pages"};
  TTabSheet PageOne{&Pages, "PageOne"};
  TTabSheet PageTwo{&Pages, "PageTwo"};
  std::vector<std::string> seen;
};

TEST_F(Rendering, OperatorInputReachesTheModelAsItsCalls) {
  SampleForm f;
  QWidget* window = renderer().WindowOf(&f);
  window->resize(400, 300);
  window->show();
  Settle();
  auto widget = [&](TControl& c) { return renderer().WidgetOf(&c); };

  struct Case {
    const char* what;
    std::function<void()> act;
    std::function<bool()> modelAfter;
    std::vector<std::string> seen;
  };
  auto* list = qobject_cast<QListWidget*>(widget(f.List));
  auto itemAt = [&](int row) { return list->visualItemRect(list->item(row)).center(); };
  const std::vector<Case> cases = {
      {"left click toggles the box, then its mouse-up",
       [&] { QTest::mouseClick(widget(f.Check), Qt::LeftButton); }, [&] { return f.Check.Checked(); },
       {"Check.OnClick", "Check.MouseUp(left)"}},
      {"right click only runs the mouse-up", [&] { QTest::mouseClick(widget(f.Check), Qt::RightButton); },
       [&] { return f.Check.Checked(); }, {"Check.MouseUp(right)"}},
      {"the space bar toggles without a mouse event", [&] { QTest::keyClick(widget(f.Check), Qt::Key_Space); },
       [&] { return !f.Check.Checked(); }, {"Check.OnClick"}},
      {"a radio button turns on and its sibling off",
       [&] {
         f.RadioA.SetChecked(true);
         QTest::mouseClick(widget(f.RadioB), Qt::LeftButton);
       },
       [&] { return f.RadioB.Checked() && !f.RadioA.Checked(); }, {"RadioB.OnClick"}},
      {"a button click", [&] { QTest::mouseClick(widget(f.Button), Qt::LeftButton); }, [] { return true; },
       {"Button.OnClick"}},
      {"typing goes through the edit's case and length",
       [&] { QTest::keyClicks(widget(f.Edit), "ab"); }, [&] { return f.Edit.Text() == "AB"; },
       {"Edit.OnChange A", "Edit.OnChange AB"}},
      {"choosing from the combo", [&] { QTest::keyClick(widget(f.Combo), Qt::Key_Down); },
       [&] { return f.Combo.ItemIndex() == 1; }, {"Combo.OnChange 8MB"}},
      {"a click selects a list item, Ctrl adds one",
       [&] {
         QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, itemAt(0));
         QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ControlModifier, itemAt(2));
       },
       [&] { return f.List.Selected(0) && !f.List.Selected(1) && f.List.Selected(2); },
       {"List.OnClick", "List.OnClick"}},
      {"dragging the track bar", [&] { qobject_cast<QSlider*>(widget(f.Track))->setValue(64); },
       [&] { return f.Track.Position() == 64; }, {"Track.OnChange 64"}},
      {"the up-down arrows",
       [&] { QTest::mouseClick(widget(f.Up)->findChildren<QToolButton*>()[0], Qt::LeftButton); },
       [&] { return f.Up.Position() == 1; }, {"Up.OnClick(next)"}},
      {"a tab", [&] {
         auto* tabs = qobject_cast<QTabWidget*>(widget(f.Pages));
         QTest::mouseClick(tabs->tabBar(), Qt::LeftButton, {}, tabs->tabBar()->tabRect(1).center());
       },
       [&] { return f.Pages.ActivePage() == &f.PageTwo; }, {"Pages.OnChange"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    f.seen.clear();
    c.act();
    Settle();
    EXPECT_TRUE(c.modelAfter());
    EXPECT_EQ(f.seen, c.seen);
  }
  // The widgets show what the model holds.
  EXPECT_FALSE(qobject_cast<QCheckBox*>(widget(f.Check))->isChecked());
  EXPECT_EQ(qobject_cast<QLineEdit*>(widget(f.Edit))->text(), "AB");
  EXPECT_TRUE(list->item(2)->isSelected());
  QTest::keyClick(list, Qt::Key_A, Qt::ControlModifier);  // the view selects nothing by itself
  EXPECT_EQ(list->selectedItems().size(), 2);
  EXPECT_FALSE(qobject_cast<QProgressBar*>(widget(f.Progress))->isTextVisible());  // a busy bar, no measure

  // A disabled group takes no input, whether or not its widget has caught up
  // yet; once it has, its controls look disabled, coloured text included.
  f.Check.SetFontColor(clRed);
  for (bool caughtUp : {false, true}) {
    SCOPED_TRACE(caughtUp ? "widget disabled" : "model disabled only");
    f.Group.SetEnabled(false);
    if (caughtUp) {
      Settle();
      const std::pair<TControl*, QPalette::ColorRole> texts[] = {
          {&f.Check, QPalette::WindowText}, {&f.Button, QPalette::ButtonText}, {&f.Edit, QPalette::Text},
          {&f.List, QPalette::Text}, {&f.Combo, QPalette::ButtonText}};
      for (auto [control, role] : texts) {
        SCOPED_TRACE(control->Name());
        EXPECT_FALSE(widget(*control)->isEnabled());
        const QPalette palette = widget(*control)->palette();
        EXPECT_NE(palette.color(QPalette::Disabled, role), palette.color(QPalette::Active, role));
      }
      EXPECT_EQ(widget(f.Check)->palette().color(QPalette::Active, QPalette::WindowText), QColor(Qt::red));
    }
    f.seen.clear();
    QTest::mouseClick(widget(f.Check), Qt::LeftButton);
    QTest::mouseClick(widget(f.Button), Qt::LeftButton);
    QTest::keyClick(widget(f.Check), Qt::Key_Space);
    EXPECT_TRUE(f.seen.empty());
    EXPECT_FALSE(f.Check.Checked());
    f.Group.SetEnabled(true);
    Settle();
  }
}

TEST_F(Rendering, ClosingTheMainWindowWaitsForTheRunsThenSaves) {
  // The operator closes the window while a run still writes its slot: the
  // window keeps being served while it waits, saying so in its language over
  // the slots and in its title; the run ends, then the settings are saved and
  // the station ends.
  ASSERT_TRUE(console::RegWriteInteger(console::kStationKey, "LanguageID", 3));  // Traditional Chinese
  Start();
  QWidget* window = renderer().WindowOf(console::Form1);
  auto* slotGroup = qobject_cast<QGroupBox*>(renderer().WidgetOf(&console::Form1->grpProcessStatus));
  ASSERT_NE(slotGroup, nullptr);
  Settle();
  struct Run : TThread {
    std::atomic<bool> release{false};
    void Execute() override {
      while (!release.load()) std::this_thread::yield();
      console::Form1->D1infoStr.SetCaption("successful");
      Synchronize([] { console::Form1->D1infoStr.SetFontColor(clBlue); });
    }
  } run;
  run.Resume();
  // Acts from inside the wait, once the window shows why it waits (or after
  // enough turns of the loop, so that a fault fails instead of hanging).
  const std::string notice = "正在關閉：等待 1 個執行中的作業結束";
  std::string titleWhileWaiting, slotsWhileWaiting;
  bool savedWhileWaiting = true;
  int turns = 0;
  QTimer watcher;
  watcher.setInterval(0);
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    renderer().Flush();
    titleWhileWaiting = window->windowTitle().toStdString();
    slotsWhileWaiting = slotGroup->title().toStdString();
    if (slotsWhileWaiting != notice && ++turns < 1000) return;
    savedWhileWaiting = fs::exists(misc() / "prefer.ini");
    run.release = true;
    watcher.stop();
  });
  watcher.start();
  window->close();
  EXPECT_EQ(slotsWhileWaiting, notice);
  EXPECT_EQ(titleWhileWaiting, notice);
  EXPECT_FALSE(savedWhileWaiting);
  EXPECT_EQ(run.WaitFor(), 0);
  EXPECT_EQ(console::Form1->D1infoStr.FontColor(), clBlue);  // its Synchronize was served during the wait
  EXPECT_TRUE(fs::exists(misc() / "prefer.ini"));
  EXPECT_TRUE(Application->Terminated());
}

TEST_F(RendererConcurrency, PropertiesWrittenByWorkersShowAfterTheQtLoopRuns) {
  Start();  // binds the slots
  TForm1& f = *console::Form1;
  QWidget* window = renderer().WindowOf(&f);
  auto* status = qobject_cast<QLabel*>(renderer().WidgetOf(&f.D1infoStr));
  f.D1infoStr.SetCaption("idle");
  Settle();

  // Eight workers write their slots while the Qt thread keeps drawing.
  std::atomic<int> running{8};
  std::vector<std::thread> workers;
  for (int k = 0; k < 8; ++k) {
    workers.emplace_back([&, k] {
      TStaticText& text = *f.Slots[k].statusText;
      TCGauge& gauge = *f.Slots[k].gauge;
      gauge.SetVisible(true);
      for (int i = 0; i <= 100; ++i) {
        text.SetCaption("Blanking Check... " + std::to_string(i));
        text.SetFontColor(i % 2 ? clRed : clWindowText);
        gauge.SetProgress(i);
      }
      text.SetCaption(k == 0 ? "successful" : "fail");
      text.SetFontColor(k == 0 ? clBlue : clRed);
      --running;
    });
  }
  while (running.load() > 0) QCoreApplication::processEvents(QEventLoop::AllEvents);
  for (auto& w : workers) w.join();
  Settle();
  EXPECT_EQ(status->text(), "successful");
  EXPECT_EQ(status->palette().color(QPalette::WindowText), QColor(0, 0, 255));
  auto* second = qobject_cast<QLabel*>(renderer().WidgetOf(&f.D2infoStr));
  EXPECT_EQ(second->text(), "fail");
  EXPECT_EQ(second->palette().color(QPalette::WindowText), QColor(255, 0, 0));
  // A change reaches the widget only when the loop runs.
  f.D2infoStr.SetCaption("removed");
  EXPECT_EQ(second->text(), "fail");
  Settle();
  EXPECT_EQ(second->text(), "removed");
  EXPECT_TRUE(renderer().WidgetOf(&f.ProgressBar8)->isVisibleTo(window));

  // The application's queue is served from Qt's own loop: a worker's
  // Synchronize and Post run while the Qt thread only runs Qt's events.
  std::thread::id ranOn;
  bool posted = false;
  std::thread worker([&] {
    Application->Synchronize([&] { ranOn = std::this_thread::get_id(); });
    Application->Post([&] { posted = true; });
  });
  while (!posted) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  worker.join();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

}  // namespace
}  // namespace gui::testing
