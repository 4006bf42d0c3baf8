#include "platform/ui/types.h"

namespace platform::ui {

TColor ColorToRGB(TColor color) {
  if ((color & clSystemColor) == 0) return color & 0xFFFFFF;
  switch (color & 0xFF) {
    case 5: return clWhite;       // window
    case 8: return clBlack;       // window text
    case 13: return 0xD77800;     // highlight
    case 14: return clWhite;      // highlight text
    case 15: return 0xF0F0F0;     // button face
    case 17: return 0x6D6D6D;     // grey text
    case 18: return clBlack;      // button text
    default: return 0xF0F0F0;
  }
}

int DefaultMessageBoxAnswer(unsigned flags) {
  static const int kButtons[][3] = {
      {IDOK, 0, 0},                      // MB_OK
      {IDOK, IDCANCEL, 0},               // MB_OKCANCEL
      {IDABORT, IDRETRY, IDIGNORE},      // MB_ABORTRETRYIGNORE
      {IDYES, IDNO, IDCANCEL},           // MB_YESNOCANCEL
      {IDYES, IDNO, 0},                  // MB_YESNO
      {IDRETRY, IDCANCEL, 0},            // MB_RETRYCANCEL
      {IDCANCEL, IDTRYAGAIN, IDCONTINUE} // MB_CANCELTRYCONTINUE
  };
  unsigned type = flags & MB_TYPEMASK;
  if (type > MB_CANCELTRYCONTINUE) type = MB_OK;
  unsigned def = (flags & MB_DEFMASK) >> 8;
  if (def > 2 || kButtons[type][def] == 0) def = 0;
  return kButtons[type][def];
}

}  // namespace platform::ui
