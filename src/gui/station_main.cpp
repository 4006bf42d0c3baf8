// The station program with its window: gui::StationMain wraps the console's
// own program, whose main is compiled under this name (see CMakeLists.txt).
#include "console/main_window.h"
#include "gui/session.h"

int ConsoleStationMain(int argc, char** argv);

int main(int argc, char** argv) {
  return gui::StationMain(argc, argv, &ConsoleStationMain,
                          [] { return console::Form1 ? console::Form1->LanguageIndex.load() : 0; });
}
