// The station program. "--home DIR" names the program folder (misc/, flash/,
// log/); without it the folder of the executable is used.
#include "console/startup.h"
#include "platform/paths/paths.h"

int main(int argc, char** argv) {
  platform::ApplyHomeOption(argc, argv);
  return console::WinMain();
}
