// The language build: the chosen language's texts into the user-interface
// strings and the main window's captions.
#pragma once

namespace console {

class TForm1;

void BuildLanguage(TForm1& form);

}  // namespace console
