// The program's start: the application object, the five windows in their
// order, the message loop, and the clean-up at exit.
#pragma once

#include <functional>
#include <string>

namespace console {

// Creates the five windows in order (main window first, which becomes the
// application's main form) and stores them in their global pointers.
void CreateForms();
// Waits for the running workers, then destroys the windows in reverse order
// and clears the pointers.
void DestroyForms();

// What a caller may add around the windows' life: run once the five windows
// exist, before the loop; and once the loop has ended and every worker is
// over, before the windows are destroyed.
struct WindowHooks {
  std::function<void()> created;
  std::function<void()> ended;
};

// The program: texts, application title, windows, message loop. An error that
// escapes start-up or the loop is shown by the application. Returns 0.
int WinMain(const WindowHooks& hooks = {});

// A second station's word to the operator: a box, in the language its window
// would speak, saying that another station runs, with that station's program
// folder when it is known (`folder` not empty).
void TellEarlierStation(const std::string& folder);
std::string AnotherStationMessage(int languageIndex, const std::string& folder);

// Whether the main window's last close (since CreateForms) could not save
// everything: the close tries every save and shows each one that fails.
bool CloseLeftUnsaved();

}  // namespace console
