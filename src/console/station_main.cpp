// The station program. "--home DIR" names the program folder (misc/, flash/,
// log/); without it the folder of the executable is used.
#include "console/startup.h"

int main(int argc, char** argv) { return console::StationMain(argc, argv); }
