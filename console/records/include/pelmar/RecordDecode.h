// Decoding of one record reply of the reader ("G") into the console's normalised record
// text, which the record store keeps, the table shows and the file writers read:
//   "A0000," 0x01 <body> 0x04 <date> " " <hh:mm:ss>
// The body is the text after the reply's first blank: weekday digit, card-type digit,
// event character, card ID.
#pragma once
#include <QString>

namespace pelmar {

// Value of the reader's date-format register that means year-first dates (YYYY/MM/DD).
constexpr int kDateModeYearFirst = 255;
// Month-first dates (MM/DD/YYYY); every other value except 255 means day-first (DD/MM/YYYY).
constexpr int kDateModeMonthFirst = 0;

// Field order of a date reading of eight digits.
enum class DateOrder { YearMonthDay, MonthDayYear, DayMonthYear };

// Turns one "G" reply (checksum already removed) into the normalised record text.
//  - reply not beginning with "A" (refusal, no reply): returns false, recordText = reply,
//    *error tells why;
//  - "A" without any blank: returns true, recordText = reply unchanged;
//  - otherwise: returns true and the normalised text. Positions 2-9 are read as a
//    year-first and a year-last date; dateMode (the date-format register) picks which one
//    is tried first, and the other is taken when it is a real date whose year lies
//    closer to the current year (see ChooseRecordDate).
// currentYear 0 means the year of the system clock; tests pass a fixed year.
// Never fails on malformed input: short replies simply give short (invalid) dates.
bool DecodeKt9Record(const QString& reply, int dateMode, QString& recordText,
                     QString* error = nullptr, int currentYear = 0);

// True when text is exactly the digits of a real calendar date in the given order:
// 4-digit year 0001-9999, 2-digit month 01-12 and 2-digit day within the month (leap years
// by the Gregorian rule). Separators "/" between the parts are required when withSlashes.
bool IsValidDateReading(const QString& text, DateOrder order, bool withSlashes = true);

// Picks the date text of a record from its eight date digits (may be shorter or hold
// anything; never fails) as the download does: the primary reading stays unless the
// alternative reading is a real date and (primary valid) its year is strictly closer to
// currentYear, or (primary invalid) its year is within 3 of currentYear.
QString ChooseRecordDate(const QString& eightDigits, int dateMode, int currentYear);

// Text shown for a card-type digit: "1" -> "1K" ... "A" -> "HID37"; any other -> itself.
QString CardTypeText(QChar digit);

} // namespace pelmar
