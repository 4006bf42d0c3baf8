// The headless stand-in for the desktop class library: controls, forms, the
// application object with its message loop and dialog service, and threads.
#pragma once

#include "platform/ui/application.h"
#include "platform/ui/controls.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/forms.h"
#include "platform/ui/thread.h"
#include "platform/ui/types.h"
