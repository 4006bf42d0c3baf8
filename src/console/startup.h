// The program's start: the application object, the five windows in their
// order, the message loop, and the clean-up at exit.
#pragma once

namespace console {

// Creates the five windows in order (main window first, which becomes the
// application's main form) and stores them in their global pointers.
void CreateForms();
// Destroys them in reverse order and clears the pointers.
void DestroyForms();

// The program: texts, application title, windows, message loop. An error that
// escapes start-up or the loop is shown by the application. Returns 0.
int WinMain();

// The station program as started from the command line: "--home DIR" checked
// and applied (a missing value or folder: a message on standard error and
// the result 2), SIGINT and SIGTERM close the main window as the operator
// would (FormClose: the runs are waited for, the settings and lists saved),
// one line at start names the program folder and says that the station waits
// for devices; then WinMain.
int StationMain(int argc, const char* const* argv);

}  // namespace console
