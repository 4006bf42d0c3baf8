#include "gui/layout_fit.h"

#include <algorithm>

namespace gui {

namespace {

// One axis of the children of a container: where each starts and how long
// it is, as designed, and how long it has become.
struct Span {
  int start = 0;
  int length = 0;
  int grown = 0;  // the fitted length
  int placed = 0;  // the fitted start
};

// Places the spans along one axis: each starts no earlier than its design
// start plus `lead` (what the container's margin asks for), and no earlier
// than the designed gap after every span that was designed to end before it.
// Returns the least length of the container.
int PlaceAxis(std::vector<Span>& spans, int designLength, int marginStart, int marginEnd, int needLength) {
  if (spans.empty()) return std::max(designLength, needLength);
  int firstStart = spans.front().start, designEnd = 0;
  for (const Span& s : spans) {
    firstStart = std::min(firstStart, s.start);
    designEnd = std::max(designEnd, s.start + s.length);
  }
  const int lead = std::max(0, marginStart - firstStart);
  std::vector<std::size_t> order(spans.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return spans[a].start < spans[b].start; });
  for (std::size_t k = 0; k < order.size(); ++k) {
    Span& s = spans[order[k]];
    int shift = lead;
    for (std::size_t j = 0; j < k; ++j) {
      const Span& before = spans[order[j]];
      if (before.start + before.length > s.start) continue;  // side by side, not one after the other
      shift = std::max(shift, before.placed - before.start + before.grown - before.length);
    }
    s.placed = s.start + shift;
  }
  int end = 0;
  for (const Span& s : spans) end = std::max(end, s.placed + s.grown);
  // The designed margin after the last control is kept, up to the one before
  // the first (beyond that it was room to spare, not a margin).
  const int trailing = std::max(marginEnd, std::min(designLength - designEnd, firstStart));
  return std::max({designLength, needLength, end + trailing});
}

}  // namespace

QSize FitLayout(FitBox& box) {
  const QSize designed = box.design.size();
  if (box.children.empty()) return designed.expandedTo(box.need);
  if (box.pages) {
    QSize area;
    for (FitBox* page : box.children) area = area.expandedTo(FitLayout(*page));
    for (FitBox* page : box.children) page->fitted = QRect(QPoint(0, 0), area);
    return designed.expandedTo(box.need).expandedTo(area + box.chrome);
  }
  std::vector<Span> across, down;
  for (FitBox* child : box.children) {
    const QSize size = FitLayout(*child);
    across.push_back({child->design.x(), child->design.width(), size.width()});
    down.push_back({child->design.y(), child->design.height(), size.height()});
  }
  const int width = PlaceAxis(across, designed.width(), box.inset.left(), box.inset.right(), box.need.width());
  const int height = PlaceAxis(down, designed.height(), box.inset.top(), box.inset.bottom(), box.need.height());
  for (std::size_t i = 0; i < box.children.size(); ++i)
    box.children[i]->fitted = QRect(across[i].placed, down[i].placed, across[i].grown, down[i].grown);
  return {width, height};
}

}  // namespace gui
