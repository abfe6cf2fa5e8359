// Record reply decoding: the normalised record text and the choice between the two date
// readings of a record.
#include "pelmar/RecordDecode.h"

#include <QDate>
#include <cstdlib>

namespace pelmar {
namespace {

// Value of a run of ASCII digits, or -1 when the run is empty or holds anything else.
int DigitsValue(QStringView s) {
    if (s.isEmpty()) return -1;
    int v = 0;
    for (QChar c : s) {
        if (c < u'0' || c > u'9') return -1;
        v = v * 10 + (c.unicode() - u'0');
    }
    return v;
}

bool IsRealDate(int year, int month, int day) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int last = (month == 2 && leap) ? 29 : kDays[month - 1];
    return day <= last;
}

// One of the two readings: the text as shown and the year, -1 when not a real date.
struct Reading {
    QString text;
    int year = -1;
};

Reading YearFirst(const QString& digits) {
    Reading r;
    r.text = digits.mid(0, 4) + u'/' + digits.mid(4, 2) + u'/' + digits.mid(6, 2);
    if (IsValidDateReading(r.text, DateOrder::YearMonthDay))
        r.year = DigitsValue(QStringView(r.text).left(4));
    return r;
}

// Year-last reading; the reader's register says whether the first part is the month or
// the day. When the register asks for year-first dates the order of a year-last record is
// unknown, so either order makes it a real date.
Reading YearLast(const QString& digits, int dateMode) {
    Reading r;
    r.text = digits.mid(0, 2) + u'/' + digits.mid(2, 2) + u'/' + digits.mid(4, 4);
    bool ok;
    if (dateMode == kDateModeMonthFirst)
        ok = IsValidDateReading(r.text, DateOrder::MonthDayYear);
    else if (dateMode == kDateModeYearFirst)
        ok = IsValidDateReading(r.text, DateOrder::MonthDayYear) ||
             IsValidDateReading(r.text, DateOrder::DayMonthYear);
    else
        ok = IsValidDateReading(r.text, DateOrder::DayMonthYear);
    if (ok) r.year = DigitsValue(QStringView(r.text).mid(6, 4));
    return r;
}

} // namespace

bool IsValidDateReading(const QString& text, DateOrder order, bool withSlashes) {
    const int sep = withSlashes ? 1 : 0;
    if (text.size() != 8 + 2 * sep) return false;
    const QStringView v(text);
    int year, month, day;
    if (order == DateOrder::YearMonthDay) {
        if (withSlashes && (v[4] != u'/' || v[7] != u'/')) return false;
        year = DigitsValue(v.mid(0, 4));
        month = DigitsValue(v.mid(4 + sep, 2));
        day = DigitsValue(v.mid(6 + 2 * sep, 2));
    } else {
        if (withSlashes && (v[2] != u'/' || v[5] != u'/')) return false;
        const int a = DigitsValue(v.mid(0, 2));
        const int b = DigitsValue(v.mid(2 + sep, 2));
        year = DigitsValue(v.mid(4 + 2 * sep, 4));
        month = order == DateOrder::MonthDayYear ? a : b;
        day = order == DateOrder::MonthDayYear ? b : a;
    }
    return IsRealDate(year, month, day);
}

QString ChooseRecordDate(const QString& eightDigits, int dateMode, int currentYear) {
    const Reading yearFirst = YearFirst(eightDigits);
    const Reading yearLast = YearLast(eightDigits, dateMode);
    const Reading& primary = dateMode == kDateModeYearFirst ? yearFirst : yearLast;
    const Reading& alternative = dateMode == kDateModeYearFirst ? yearLast : yearFirst;
    if (primary.year > 0) {
        if (alternative.year > 0 &&
            std::abs(alternative.year - currentYear) < std::abs(primary.year - currentYear))
            return alternative.text;
        return primary.text;
    }
    if (alternative.year > 0 && std::abs(alternative.year - currentYear) <= 3)
        return alternative.text;
    return primary.text;
}

QString CardTypeText(QChar digit) {
    static const char* const kTypes[10] = {"1K", "4K",    "UL",    "DS",    "EM",
                                           "FL", "HID26", "HID34", "HID35", "HID37"};
    const char16_t c = digit.unicode();
    if (c >= u'1' && c <= u'9') return QString::fromLatin1(kTypes[c - u'1']);
    if (c == u'A' || c == u'a') return QString::fromLatin1(kTypes[9]);
    return QString(digit);
}

bool DecodeKt9Record(const QString& reply, int dateMode, QString& recordText, QString* error,
                     int currentYear) {
    recordText = reply;
    if (!reply.startsWith(u'A')) {
        if (error)
            *error = reply.isEmpty() ? QStringLiteral("no record reply")
                                     : QStringLiteral("record refused: ") + reply;
        return false;
    }
    const qsizetype blank = reply.indexOf(u' ');
    if (blank < 0) return true;
    if (currentYear == 0) currentYear = QDate::currentDate().year();
    const QString date = ChooseRecordDate(reply.mid(1, 8), dateMode, currentYear);
    const QString time = reply.mid(9, 2) + u':' + reply.mid(11, 2) + u':' + reply.mid(13, 2);
    recordText = QStringLiteral("A0000,") + QChar(0x01) + reply.mid(blank + 1) + QChar(0x04) +
                 date + u' ' + time;
    return true;
}

} // namespace pelmar
