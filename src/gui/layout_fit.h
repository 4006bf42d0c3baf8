// Fits a window's designed layout to the texts and fonts it is drawn with.
//
// The forms give every control a rectangle in design units, made for another
// font; drawn here, a text may need more room than its control has, and a
// group box keeps its title above its frame, so its content starts lower. The
// fit keeps the design's arrangement: a control grows to what its content
// needs, and everything designed after it (to its right, or below it) moves
// on by as much as it grew, so that columns and rows stay lined up and the
// designed gaps stay as they were. A container grows to hold its content
// inside its own margins. The result is in pixels at the base font; the
// window scales it as a whole.
#pragma once

#include <QMargins>
#include <QRect>
#include <QSize>
#include <vector>

namespace gui {

struct FitBox {
  QRect design;             // as designed, in the parent's coordinates
  QSize need;               // the least size its own content needs (0: the design decides)
  QMargins inset;           // a container: the margins its content keeps from its edges
  bool pages = false;       // a page control: each child is a page filling the same area
  QSize chrome;             // a page control: the room its tabs and frame take
  std::vector<FitBox*> children;
  QRect fitted;             // the result, in the parent's coordinates
};

// Fits `box` and everything in it; returns the size `box` needs. The children's
// fitted rectangles are set; `box.fitted` is left to the caller (a window
// keeps its own origin).
QSize FitLayout(FitBox& box);

}  // namespace gui
