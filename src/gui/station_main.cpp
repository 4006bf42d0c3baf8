// The station program with its window: see gui::StationMain.
#include "gui/session.h"

int main(int argc, char** argv) { return gui::StationMain(argc, argv); }
