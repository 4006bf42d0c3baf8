// The system area size from the image sizes or the operator's fixed choice.
#include "production_fixture.h"

namespace production_test {
namespace {

struct SystemAreaTest : ProductionTest {};

TEST_F(SystemAreaTest, SizeFromImagesOrFixedChoice) {
  window.uiTexts["SystemAreaSizeStr"] = "System area";
  struct Case {
    const char* what;
    int program, prefer, telbook, iso;
    bool isoChecked;
    bool fixed;
    int comboIndex;
    int blockSize;
    std::string label;
    int result;
    bool warned;
  };
  constexpr int k128 = 128 * 1024;
  const std::vector<Case> cases = {
      {"no images", 0, 0, 0, 0, false, false, 0, k128, "System area: 4MB", 1, false},
      {"one byte takes a block", 1, 0, 0, 0, false, false, 0, k128, "System area: 4MB", 1, false},
      // (3 + 4 blocks of 1 MiB) x 2 = 14 MiB -> 16 MiB
      {"large blocks", 1, 1, 1, 0, false, false, 0, 1 << 20, "System area: 16MB", 4, false},
      {"ISO counts only when checked", 0, 0, 0, 9 << 20, false, false, 0, k128, "System area: 4MB", 1, false},
      {"ISO checked", 0, 0, 0, 9 << 20, true, false, 0, k128, "System area: 20MB", 5, false},
      {"fixed and large enough", 0, 0, 0, 0, false, true, 2, k128, "System area: 12MB", 3, false},
      {"fixed too small warns", 0, 0, 0, 9 << 20, true, true, 0, k128, "System area: 4MB", 1, true},
      {"no combo choice counts as the first", 0, 0, 0, 0, false, true, -1, k128, "System area: 4MB", 1, false},
      {"sums beyond 32 bits", 0x7FFFFFFF, 0x7FFFFFFF, 0, 0, false, false, 0, k128, "System area: 8196MB", 0, true},
      {"255 units is the most", 0, 0, 0, 0, false, true, 254, k128, "System area: 1020MB", 255, false},
  };
  for (const auto& c : cases) {
    ProductThread& w = Worker('E', 0, false);
    w.BlockSize = c.blockSize;
    window.inspection.iProgramSize = c.program;
    window.inspection.iPreferSize = c.prefer;
    window.inspection.iTelbookSize = c.telbook;
    window.inspection.iIsoSize = c.iso;
    window.chkISOupgrade.SetChecked(c.isoChecked);
    window.SystemAreachk.SetChecked(c.fixed);
    while (window.SystemAreaComBo.Items.Count() < 300) window.SystemAreaComBo.Items.Add("x");
    window.SystemAreaComBo.SetItemIndex(c.comboIndex);
    const std::size_t boxes = app.dialogs().Count();
    EXPECT_EQ(w.GetSystemAreaSize(), c.result) << c.what;
    EXPECT_EQ(window.labSystemArea.Caption(), c.label) << c.what;
    EXPECT_EQ(app.dialogs().Count() - boxes, c.warned ? 1u : 0u) << c.what;
    if (c.warned) {
      EXPECT_EQ(app.dialogs().Last().request.caption, "Warning");
      EXPECT_EQ(app.dialogs().Last().request.flags, 0x30u);
    }
  }
}

}  // namespace
}  // namespace production_test
