// The station's language in what Qt draws by itself: Qt's own texts (the
// buttons of message boxes, file dialogs, an edit's context menu), the
// locale of numbers, sizes and dates, and the face of the CJK font, whose
// Traditional and Simplified faces draw many characters in different forms.
#pragma once

#include <QDateTime>
#include <QLocale>
#include <QStringList>

namespace gui {

// The language index: 0 English, 1 Traditional Chinese, 2 Simplified Chinese
// (any other value reads as English).
QLocale LanguageLocale(int languageIndex);
// The application font's families for the language, best first.
QStringList FontFamilies(int languageIndex);

// Makes the language Qt's: installs its translations of Qt's own texts (none
// for English; where they are not installed, says so once on standard error),
// sets the default locale and the application font. Returns whether anything
// changed, so that the caller redraws the windows in the new font. Qt thread.
bool UseLanguage(int languageIndex);

// A date and time as the file dialogs show it, in `locale`'s short form.
QString DateTimeText(const QLocale& locale, const QDateTime& when);

}  // namespace gui
