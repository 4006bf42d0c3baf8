// The station's message table: one row per message or caption, with its text
// in English, Traditional Chinese and Simplified Chinese side by side (UTF-8;
// converted to Big5 or GBK only where a code-page file needs it).
#pragma once

namespace console {

inline constexpr int kMessageRows = 99;
inline constexpr int kLanguageColumns = 3;  // 0 English, 1 Traditional, 2 Simplified

extern const char* const MessageTable[kMessageRows][kLanguageColumns];

// Row `row` in the column of `languageIndex`. An index outside 0..2 reads the
// English column and a row outside the table reads "", so a bad caller gets a
// wrong text instead of a crash.
const char* MessageText(int row, int languageIndex);

// A text of the station's own beside the table, in the same three columns:
// another station already runs. Its second line introduces the running
// station's program folder and is shown only when that folder is known.
const char* AnotherStationText(int languageIndex);

}  // namespace console
