// The handlers that keep the main window's options consistent while the
// operator clicks them.
#include <gtest/gtest.h>

#include "console/firmware_files.h"
#include "station_fixture.h"

namespace console::testing {
namespace {

using namespace platform::ui;
using OptionHandlers = StationTest;

// Each handler refreshes the system-area summary: the test grows the
// program file between two actions and looks whether the summary followed.
TEST_F(OptionHandlers, SystemAreaAndIsoChangesRefreshTheSummary) {
  const fs::path program = home_ / "player.bin";
  WriteBytes(program, std::string(1024, 'x'));
  Start();
  TForm1& f = *Form1;
  f.TntSelectFileList2.Items.Assign({program.string()});
  f.SystemAreachk.UserClick();  // on
  ASSERT_TRUE(f.SystemAreachk.Checked());
  ASSERT_TRUE(f.SystemAreaComBo.Enabled());
  ASSERT_TRUE(f.SystemAreaComBo.UserSelect(5));
  const std::string small = f.labSystemArea.Caption();
  EXPECT_EQ(small, "System Area Size: 4MB");

  struct Action {
    const char* what;
    std::function<void()> act;
  };
  const Action actions[] = {
      {"size choice", [&] { f.SystemAreaComBo.UserSelect(6); }},
      {"system area off", [&] { f.SystemAreachk.UserClick(); }},
      {"system area on", [&] { f.SystemAreachk.UserClick(); }},
      {"virtual CD-ROM", [&] { f.chkISOupgrade.UserClick(); }},
  };
  std::uint64_t size = 3 * 1048576;
  for (const Action& a : actions) {
    WriteBytes(program, std::string(size, 'x'));
    a.act();
    EXPECT_NE(f.labSystemArea.Caption(), small) << a.what;
    WriteBytes(program, std::string(1024, 'x'));
    RefreshFileList(f);
  }
  // Off: the choice is disabled but keeps its item.
  f.SystemAreachk.UserClick();
  EXPECT_FALSE(f.SystemAreachk.Checked());
  EXPECT_FALSE(f.SystemAreaComBo.Enabled());
  EXPECT_EQ(f.SystemAreaComBo.ItemIndex(), 6);
  EXPECT_FALSE(f.SystemAreaComBo.UserSelect(2)) << "a disabled choice takes no input";
}

}  // namespace
}  // namespace console::testing
