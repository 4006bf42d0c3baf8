// Not built yet: the language build and the language radio buttons' handler
// keep their place in the show sequence and do nothing until written.
#include "console/languages.h"

#include "console/main_window.h"

namespace console {

void BuildLanguage(TForm1&) {}

void TForm1::TntRdoLangAutoClick(TObject*) {}

}  // namespace console
