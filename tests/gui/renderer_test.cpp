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
#include <QGlyphRun>
#include <QLibraryInfo>
#include <QMenu>
#include <QRawFont>
#include <QTest>
#include <QTextLayout>
#include <QTranslator>
#include <QToolButton>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "console/message_table.h"
#include "console/ui_strings.h"
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
    Edit.OnClick = [this](TObject*) { seen.push_back("Edit.OnClick"); };
    Panel.OnClick = [this](TObject*) { seen.push_back("Panel.OnClick"); };
    Text.OnClick = [this](TObject*) { seen.push_back("Text.OnClick"); };
    Picture.OnMouseUp = [this](TObject*, TMouseButton b, int, int) {
      seen.push_back(b == mbLeft ? "Picture.MouseUp(left)" : "Picture.MouseUp(right)");
    };
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
      {"a click into the edit is its click, once",
       [&] { QTest::mouseClick(widget(f.Edit), Qt::LeftButton); }, [] { return true; }, {"Edit.OnClick"}},
      {"a click on a text in a panel is the text's, not the panel's",
       [&] { QTest::mouseClick(widget(f.Text), Qt::LeftButton); }, [] { return true; }, {"Text.OnClick"}},
      {"a click on the panel beside the text is the panel's",
       [&] { QTest::mouseClick(widget(f.Panel), Qt::LeftButton, {}, QPoint(widget(f.Panel)->width() - 4, 4)); },
       [] { return true; }, {"Panel.OnClick"}},
      {"a right click on a picture runs its mouse-up",
       [&] { QTest::mouseClick(widget(f.Picture), Qt::RightButton); }, [] { return true; },
       {"Picture.MouseUp(right)"}},
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

// Where the slots' controls are drawn, slot by slot.
std::vector<QRect> SlotGrid(Renderer& renderer, const TForm1& f) {
  std::vector<QRect> places;
  for (const console::DeviceSlot& slot : f.Slots)
    for (const TControl* c : std::initializer_list<const TControl*>{slot.statusText, slot.gauge, slot.image,
                                                                     slot.textP, slot.textF})
      places.push_back(renderer.WidgetOf(c)->geometry());
  return places;
}

// Writes the slots' status texts from a thread of its own, as workers do.
void WriteStatuses(TForm1& f, const std::vector<std::string>& texts) {
  std::thread([&] {
    for (std::size_t k = 0; k < texts.size(); ++k) f.Slots[k].statusText->SetCaption(texts[k]);
  }).join();
}

TEST_F(Rendering, ARunsStatusOfAnyLengthLeavesTheSlotGridWhereItIs) {
  fs::copy_file(fs::path(STATION_SOURCE_DIR) / "support/misc/lang.ini", misc() / "lang.ini");
  Start();
  TForm1& f = *console::Form1;
  QWidget* window = renderer().WindowOf(&f);
  window->setWindowState(Qt::WindowNoState);
  window->resize(1024, 700);
  Settle();
  const std::vector<QRect> grid = SlotGrid(renderer(), f);
  const std::string failed = std::string(console::MessageText(42, 0)) + " " + console::FailMsg.Get();
  const std::string longer = "Program Writing Retry 9 " + failed + " " + failed;
  WriteStatuses(f, {failed, longer, "FSM Writing"});
  Settle();
  EXPECT_EQ(SlotGrid(renderer(), f), grid);
  for (int k : {0, 1}) {
    SCOPED_TRACE(k);
    auto* status = qobject_cast<QLabel*>(renderer().WidgetOf(f.Slots[k].statusText));
    const std::string whole = f.Slots[k].statusText->Caption();
    EXPECT_LE(status->fontMetrics().horizontalAdvance(status->text()), status->width());
    if (status->text().toStdString() != whole) {
      // Elided in the middle: its start and its result stay in view, the whole is its tip.
      EXPECT_TRUE(status->text().contains(QChar(0x2026)));
      EXPECT_TRUE(status->text().startsWith("No Support") || status->text().startsWith("Program Writing"));
      EXPECT_TRUE(status->text().endsWith("fail"));
      EXPECT_EQ(status->toolTip().toStdString(), whole);
    }
  }
  EXPECT_NE(qobject_cast<QLabel*>(renderer().WidgetOf(f.Slots[1].statusText))->text().toStdString(), longer);
  // Short again: nothing moves back either, as nothing moved.
  WriteStatuses(f, {"successful", "fail"});
  Settle();
  EXPECT_EQ(SlotGrid(renderer(), f), grid);
  EXPECT_TRUE(qobject_cast<QLabel*>(renderer().WidgetOf(f.Slots[1].statusText))->toolTip().isEmpty());

  // A language change lays the window out for its captions; a run's long
  // status written right after it moves nothing either.
  QTest::mouseClick(renderer().WidgetOf(&f.TntRdoLangTC), Qt::LeftButton);
  Settle();
  const std::vector<QRect> translated = SlotGrid(renderer(), f);
  WriteStatuses(f, {longer, longer, longer, longer});
  QTest::mouseClick(renderer().WidgetOf(&f.TntRdoLangSC), Qt::LeftButton);
  QTest::mouseClick(renderer().WidgetOf(&f.TntRdoLangTC), Qt::LeftButton);
  WriteStatuses(f, {longer, longer, longer, longer, longer, longer, longer, longer});
  Settle();
  EXPECT_EQ(SlotGrid(renderer(), f), translated);
}

TEST_F(Rendering, TheResultPicturesShowAtTheirOwnSizeAndReadAtAGlance) {
  const struct {
    const char* file;
    std::function<bool(QColor)> ink;  // the disc's colour
  } pictures[] = {
      {"success.bmp", [](QColor c) { return c.green() > 120 && c.red() < 90 && c.blue() < 110; }},
      {"fail.bmp", [](QColor c) { return c.red() > 170 && c.green() < 90 && c.blue() < 90; }},
  };
  for (const auto& picture : pictures)
    fs::copy_file(fs::path(STATION_SOURCE_DIR) / "support/misc" / picture.file, misc() / picture.file);
  Start();
  TForm1& f = *console::Form1;
  std::thread([&] {
    for (int k = 0; k < 2; ++k) {
      f.Slots[k].image->LoadPictureFromFile((misc() / pictures[k].file).string());
      f.Slots[k].image->SetVisible(true);
    }
  }).join();
  for (const QSize screen : {QSize(1280, 800), QSize(1920, 1080), QSize(1024, 768)}) {
    Render(&f, screen.width(), screen.height());
    for (int k = 0; k < 2; ++k) {
      SCOPED_TRACE(::testing::Message() << pictures[k].file << " at " << screen.width() << "x" << screen.height());
      QWidget* box = renderer().WidgetOf(f.Slots[k].image);
      const QImage drawn = box->grab().toImage().convertToFormat(QImage::Format_RGB32);
      const QColor ground = drawn.pixelColor(0, 0);
      QRect marked;
      int ink = 0, white = 0;
      for (int y = 0; y < drawn.height(); ++y)
        for (int x = 0; x < drawn.width(); ++x) {
          const QColor c = drawn.pixelColor(x, y);
          if (c == ground) continue;
          marked |= QRect(x, y, 1, 1);
          ink += pictures[k].ink(c);
          white += c.red() > 240 && c.green() > 240 && c.blue() > 240;
        }
      // Drawn at its own size (28 x 28, its faint rim aside) in the middle of its box.
      EXPECT_GE(marked.width(), 27);
      EXPECT_LE(marked.width(), 28);
      EXPECT_EQ(marked.width(), marked.height()) << "in a box of " << box->width() << "x" << box->height();
      EXPECT_LE(std::abs(marked.center().x() - box->rect().center().x()), 1);
      EXPECT_LE(std::abs(marked.center().y() - box->rect().center().y()), 1);
      // A disc of strong colour with a thick white mark on it.
      EXPECT_GT(ink, 28 * 28 * 45 / 100);
      EXPECT_GT(white, 28 * 28 * 6 / 100);
    }
  }
}

// Qt's own texts, the locale and the CJK face change with the language
// buttons themselves, before any dialog opens, and back again.
TEST_F(Rendering, QtFollowsTheStationsLanguageAsItChanges) {
  fs::copy_file(fs::path(STATION_SOURCE_DIR) / "support/misc/lang.ini", misc() / "lang.ini");
  Start();
  TForm1& f = *console::Form1;
  renderer().WindowOf(&f);
  Settle();
  const struct {
    TRadioButton TForm1::*button;
    const char* locale;
    const char* face;  // the face that draws the slots' idle text
  } cases[] = {
      {&TForm1::TntRdoLangTC, "zh_TW", "Noto Sans CJK TC"},
      {&TForm1::TntRdoLangSC, "zh_CN", "Noto Sans CJK SC"},
      {&TForm1::TntRdoLangEng, "en_US", nullptr},
      {&TForm1::TntRdoLangTC, "zh_TW", "Noto Sans CJK TC"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.locale);
    QTest::mouseClick(renderer().WidgetOf(&(f.*c.button)), Qt::LeftButton);
    Settle();
    EXPECT_EQ(QLocale().name().toStdString(), c.locale);
    // An edit's context menu in the language, as Qt's translation file has it.
    QTranslator qt;
    QString undo = "&Undo";
    if (c.face) {
      ASSERT_TRUE(qt.load(QLibraryInfo::path(QLibraryInfo::TranslationsPath) + "/qtbase_" + c.locale + ".qm"));
      undo = qt.translate("QLineEdit", "&Undo");
      ASSERT_FALSE(undo.isEmpty());
    }
    auto* edit = qobject_cast<QLineEdit*>(renderer().WidgetOf(&f.LabelEdit));
    std::unique_ptr<QMenu> menu(edit->createStandardContextMenu());
    EXPECT_EQ(menu->actions().first()->text().section('\t', 0, 0), undo);
    if (!c.face) continue;
    // The slot's text drawn by the language's own face of the CJK font.
    auto* status = qobject_cast<QLabel*>(renderer().WidgetOf(f.Slots[0].statusText));
    QTextLayout layout(status->text(), status->font());
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    const QList<QGlyphRun> runs = layout.glyphRuns();
    ASSERT_FALSE(runs.isEmpty());
    EXPECT_EQ(runs.first().rawFont().familyName().toStdString(), c.face);
  }
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
