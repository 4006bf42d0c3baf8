// Fitting a designed layout to its content: what grows, what moves on and
// what the container becomes.
#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "gui/layout_fit.h"

namespace gui {
namespace {

struct Child {
  QRect design;
  QSize need;
  QRect fitted;  // expected
};

struct Case {
  const char* what;
  QRect container;
  QMargins inset;
  std::vector<Child> children;
  QSize size;  // expected
};

TEST(LayoutFit, ControlsGrowAndWhatComesAfterThemMovesOnByAsMuch) {
  const Case cases[] = {
      {"nothing needs more: the design stands", QRect(0, 0, 200, 100), {},
       {{QRect(10, 10, 50, 20), QSize(40, 16), QRect(10, 10, 50, 20)}}, QSize(200, 100)},
      {"a wider text pushes its right neighbour and the container, gaps kept", QRect(0, 0, 130, 40), {},
       {{QRect(10, 10, 50, 20), QSize(70, 0), QRect(10, 10, 70, 20)},
        {QRect(70, 10, 50, 20), {}, QRect(90, 10, 50, 20)}},
       QSize(150, 40)},
      {"columns stay lined up: a control in another row moves with the column", QRect(0, 0, 130, 70), {},
       {{QRect(10, 10, 50, 20), QSize(70, 0), QRect(10, 10, 70, 20)},
        {QRect(10, 40, 50, 20), {}, QRect(10, 40, 50, 20)},
        {QRect(70, 40, 50, 20), {}, QRect(90, 40, 50, 20)}},
       QSize(150, 70)},
      {"growth within the container's margin leaves the container as it is", QRect(0, 0, 200, 70), {},
       {{QRect(10, 10, 50, 20), QSize(70, 0), QRect(10, 10, 70, 20)},
        {QRect(10, 40, 150, 20), {}, QRect(10, 40, 150, 20)}},
       QSize(200, 70)},
      {"a group's title: its content moves below it, the group grows by as much", QRect(0, 0, 100, 44), {3, 22, 3, 3},
       {{QRect(8, 16, 80, 24), {}, QRect(8, 22, 80, 24)}}, QSize(100, 50)},
      {"a control designed across the container's edge is taken inside it", QRect(0, 0, 100, 40), {3, 3, 3, 3},
       {{QRect(50, 10, 60, 20), {}, QRect(50, 10, 60, 20)}}, QSize(113, 40)},
      {"controls designed on top of each other (shown in turn) stay together", QRect(0, 0, 100, 100), {},
       {{QRect(10, 10, 80, 60), QSize(0, 70), QRect(10, 10, 80, 70)},
        {QRect(10, 10, 80, 30), {}, QRect(10, 10, 80, 30)},
        {QRect(10, 80, 80, 10), {}, QRect(10, 90, 80, 10)}},
       QSize(100, 110)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::deque<FitBox> boxes;
    FitBox& container = boxes.emplace_back();
    container.design = c.container;
    container.inset = c.inset;
    for (const Child& child : c.children) {
      FitBox& box = boxes.emplace_back();
      box.design = child.design;
      box.need = child.need;
      container.children.push_back(&box);
    }
    EXPECT_EQ(FitLayout(container), c.size);
    for (std::size_t i = 0; i < c.children.size(); ++i)
      EXPECT_EQ(container.children[i]->fitted, c.children[i].fitted) << i;
  }
}

}  // namespace
}  // namespace gui
