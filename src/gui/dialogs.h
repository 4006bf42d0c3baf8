// The dialog service of the rendered window: message boxes, the error
// display, file and folder dialogs as Qt dialogs, and modal forms as their
// rendered windows. A request from a worker thread is shown on the Qt thread
// (Synchronize) while the worker waits.
#pragma once

#include <QStringList>
#include <string>

#include "platform/ui/dialogs.h"

namespace gui {

class QtDialogs : public platform::ui::DialogService {
 public:
  platform::ui::DialogAnswer Ask(const platform::ui::DialogRequest& request) override;
};

// "Image File *.IMG|*.IMG|All|*.*" as Qt name filters: "Image File *.IMG (*.IMG)", "All (*.*)".
QStringList NameFilters(const std::string& filter);

}  // namespace gui
