#include "pelexport/FmtData.h"

#include <pelmar/NumberConvert.h>

#include <QDate>
#include <QHash>
#include <algorithm>
#include <memory>

namespace pelmar {

namespace {

// "\T" and "\t" become a TAB, "\\" one backslash; any other backslash stays.
QString UnescapeLiteral(QStringView s) {
    QString out;
    out.reserve(s.size());
    for (qsizetype i = 0; i < s.size(); ++i) {
        const QChar c = s[i];
        if (c == QLatin1Char('\\') && i + 1 < s.size()) {
            const QChar n = s[i + 1];
            if (n == QLatin1Char('T') || n == QLatin1Char('t')) {
                out += QLatin1Char('\t');
                ++i;
                continue;
            }
            if (n == QLatin1Char('\\')) {
                out += QLatin1Char('\\');
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

// Reads decimal digits from s at *pos, capped at kFmtMaxWidth; returns -1 when none.
int ReadWidth(const QString& s, qsizetype* pos) {
    qsizetype j = *pos;
    int n = 0;
    bool any = false;
    while (j < s.size() && s[j].isDigit() && s[j].unicode() < 128) {
        any = true;
        n = std::min(kFmtMaxWidth, n * 10 + (s[j].unicode() - '0'));
        ++j;
    }
    *pos = j;
    return any ? n : -1;
}

// Replaces every "&" n "S" by n blanks and "&" n "Z" by n zeros; "&S"/"&Z" vanish.
QString ExpandFills(const QString& pattern) {
    QString out;
    for (qsizetype i = 0; i < pattern.size();) {
        if (pattern[i] == QLatin1Char('&')) {
            qsizetype j = i + 1;
            const int n = ReadWidth(pattern, &j);
            if (j < pattern.size()) {
                const QChar l = pattern[j].toUpper();
                if (l == QLatin1Char('S') || l == QLatin1Char('Z')) {
                    const int count =
                        std::min<qsizetype>(std::max(n, 0), kFmtMaxWidth - out.size());
                    if (count > 0)
                        out += QString(count,
                                       l == QLatin1Char('S') ? QLatin1Char(' ') : QLatin1Char('0'));
                    i = j + 1;
                    continue;
                }
            }
        }
        if (out.size() < kFmtMaxWidth) out += pattern[i];
        ++i;
    }
    return out;
}

// The value's leading number (blanks, sign, digits) modulo count, in 0 .. count-1;
// text without a number counts as 0. Works on any number of digits.
int ValueModulo(const QString& v, int count) {
    qsizetype i = 0;
    while (i < v.size() && (v[i] == QLatin1Char(' ') || v[i] == QLatin1Char('\t')))
        ++i;
    bool negative = false;
    if (i < v.size() && (v[i] == QLatin1Char('-') || v[i] == QLatin1Char('+'))) {
        negative = v[i] == QLatin1Char('-');
        ++i;
    }
    long long m = 0;
    for (; i < v.size() && v[i].unicode() >= '0' && v[i].unicode() <= '9'; ++i)
        m = (m * 10 + (v[i].unicode() - '0')) % count;
    if (negative) m = (count - m) % count;
    return static_cast<int>(m);
}

const char* const kMonthNames[] = {"January",   "February", "March",    "April",
                                   "May",       "June",     "July",     "August",
                                   "September", "October",  "November", "December"};
const char* const kDayNames[] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                 "Friday", "Saturday", "Sunday"};

bool IsAsciiDigits(QStringView s) {
    for (QChar c : s)
        if (c.unicode() < '0' || c.unicode() > '9') return false;
    return true;
}

bool ParseTimeAt(const QString& s, qsizetype at, FmtDateTime* dt) {
    if (s.size() < at + 8) return false;
    const QStringView t = QStringView(s).mid(at, 8);
    if (t[2] != QLatin1Char(':') || t[5] != QLatin1Char(':')) return false;
    if (!IsAsciiDigits(t.mid(0, 2)) || !IsAsciiDigits(t.mid(3, 2)) || !IsAsciiDigits(t.mid(6, 2)))
        return false;
    const int h = t.mid(0, 2).toInt(), n = t.mid(3, 2).toInt(), sec = t.mid(6, 2).toInt();
    if (h > 23 || n > 59 || sec > 59) return false;
    dt->hour = h;
    dt->minute = n;
    dt->second = sec;
    dt->bHasTime = true;
    return true;
}

} // namespace

bool ParseRecordDateTime(const QString& szText, FmtDateTime* out) {
    FmtDateTime dt;
    qsizetype start = 0;
    while (start < szText.size() && szText[start] == QLatin1Char(' '))
        ++start;
    const QString s = szText.mid(start);
    if (s.size() >= 10 && s[4] == QLatin1Char('/') && s[7] == QLatin1Char('/') &&
        IsAsciiDigits(QStringView(s).mid(0, 4)) && IsAsciiDigits(QStringView(s).mid(5, 2)) &&
        IsAsciiDigits(QStringView(s).mid(8, 2))) {
        const int y = QStringView(s).mid(0, 4).toInt();
        const int m = QStringView(s).mid(5, 2).toInt();
        const int d = QStringView(s).mid(8, 2).toInt();
        if (!QDate::isValid(y, m, d)) return false;
        dt.year = y;
        dt.month = m;
        dt.day = d;
        dt.bHasDate = true;
        if (s.size() >= 19 && s[10] == QLatin1Char(' ')) ParseTimeAt(s, 11, &dt);
    } else if (!ParseTimeAt(s, 0, &dt)) {
        return false;
    }
    *out = dt;
    return true;
}

struct DatePattern {
    enum Kind {
        Literal,
        Year4,
        Year2,
        Month1,
        Month2,
        MonthAbbr,
        MonthName,
        Day1,
        Day2,
        DayAbbr,
        DayName,
        Hour1,
        Hour2,
        Minute1,
        Minute2,
        Second1,
        Second2,
        AmPm,
        AmPmLower,
        AP,
        APLower
    };
    struct Token {
        Kind kind;
        QString text; // literal text
    };
    std::vector<Token> tokens;
    bool twelveHour = false;
};

static std::shared_ptr<const DatePattern> CompileDatePattern(const QString& p) {
    auto out = std::make_shared<DatePattern>();
    auto add = [&](DatePattern::Kind k) { out->tokens.push_back({k, QString()}); };
    auto addLiteral = [&](QChar c) {
        if (out->tokens.empty() || out->tokens.back().kind != DatePattern::Literal)
            out->tokens.push_back({DatePattern::Literal, QString()});
        out->tokens.back().text += c;
    };
    auto runLength = [&](qsizetype i, QChar letter) {
        qsizetype n = 0;
        while (i + n < p.size() && p[i + n].toUpper() == letter)
            ++n;
        return n;
    };
    auto startsWithCI = [&](qsizetype i, QLatin1String w) {
        return QStringView(p).mid(i, w.size()).compare(w, Qt::CaseInsensitive) == 0;
    };
    // Whether the next pattern letter after i (skipping separators) is a seconds letter.
    auto secondsFollow = [&](qsizetype i) {
        for (; i < p.size(); ++i)
            if (p[i].isLetter()) return p[i].toUpper() == QLatin1Char('S');
        return false;
    };
    out->twelveHour = p.contains(QLatin1String("AM/PM"), Qt::CaseInsensitive) ||
                      p.contains(QLatin1String("A/P"), Qt::CaseInsensitive);
    bool afterHour = false;
    for (qsizetype i = 0; i < p.size();) {
        const QChar c = p[i].toUpper();
        if (p[i] == QLatin1Char('\\')) {
            if (i + 1 < p.size()) addLiteral(p[i + 1]);
            i += 2;
            continue;
        }
        if (startsWithCI(i, QLatin1String("AM/PM"))) {
            add(p[i].isLower() ? DatePattern::AmPmLower : DatePattern::AmPm);
            i += 5;
            continue;
        }
        if (startsWithCI(i, QLatin1String("A/P"))) {
            add(p[i].isLower() ? DatePattern::APLower : DatePattern::AP);
            i += 3;
            continue;
        }
        if (c == QLatin1Char('Y')) {
            const qsizetype n = runLength(i, c);
            if (n >= 4) {
                add(DatePattern::Year4);
                i += 4;
            } else if (n >= 2) {
                add(DatePattern::Year2);
                i += 2;
            } else {
                addLiteral(p[i]);
                i += 1;
            }
            afterHour = false;
            continue;
        }
        if (c == QLatin1Char('M')) {
            const qsizetype n = std::min<qsizetype>(runLength(i, c), 4);
            if (n <= 2 && (afterHour || secondsFollow(i + n)))
                add(n == 2 ? DatePattern::Minute2 : DatePattern::Minute1);
            else
                add(n == 1   ? DatePattern::Month1
                    : n == 2 ? DatePattern::Month2
                    : n == 3 ? DatePattern::MonthAbbr
                             : DatePattern::MonthName);
            i += n;
            afterHour = false;
            continue;
        }
        if (c == QLatin1Char('D')) {
            const qsizetype n = std::min<qsizetype>(runLength(i, c), 4);
            add(n == 1   ? DatePattern::Day1
                : n == 2 ? DatePattern::Day2
                : n == 3 ? DatePattern::DayAbbr
                         : DatePattern::DayName);
            i += n;
            afterHour = false;
            continue;
        }
        if (c == QLatin1Char('H') || c == QLatin1Char('N') || c == QLatin1Char('S')) {
            const bool two = runLength(i, c) >= 2;
            if (c == QLatin1Char('H'))
                add(two ? DatePattern::Hour2 : DatePattern::Hour1);
            else if (c == QLatin1Char('N'))
                add(two ? DatePattern::Minute2 : DatePattern::Minute1);
            else
                add(two ? DatePattern::Second2 : DatePattern::Second1);
            i += two ? 2 : 1;
            afterHour = c == QLatin1Char('H');
            continue;
        }
        addLiteral(p[i]);
        ++i;
    }
    return out;
}

static QString RenderDate(const FmtDateTime& dt, const DatePattern& pattern) {
    QString out;
    auto two = [&out](int v) {
        out += QLatin1Char(static_cast<char>('0' + (v / 10) % 10));
        out += QLatin1Char(static_cast<char>('0' + v % 10));
    };
    int dow = 0; // computed on first use
    auto dayName = [&]() {
        if (!dow) {
            const QDate date(dt.year, dt.month, dt.day);
            dow = date.isValid() ? date.dayOfWeek() : 1;
        }
        return QLatin1String(kDayNames[dow - 1]);
    };
    int hour = dt.hour;
    if (pattern.twelveHour) {
        hour %= 12;
        if (hour == 0) hour = 12;
    }
    for (const DatePattern::Token& t : pattern.tokens) {
        switch (t.kind) {
        case DatePattern::Literal:
            out += t.text;
            break;
        case DatePattern::Year4:
            out += QString::number(dt.year).rightJustified(4, QLatin1Char('0'));
            break;
        case DatePattern::Year2:
            two(dt.year % 100);
            break;
        case DatePattern::Month1:
            out += QString::number(dt.month);
            break;
        case DatePattern::Month2:
            two(dt.month);
            break;
        case DatePattern::MonthAbbr:
            out += QLatin1String(kMonthNames[dt.month - 1]).left(3);
            break;
        case DatePattern::MonthName:
            out += QLatin1String(kMonthNames[dt.month - 1]);
            break;
        case DatePattern::Day1:
            out += QString::number(dt.day);
            break;
        case DatePattern::Day2:
            two(dt.day);
            break;
        case DatePattern::DayAbbr:
            out += dayName().left(3);
            break;
        case DatePattern::DayName:
            out += dayName();
            break;
        case DatePattern::Hour1:
            out += QString::number(hour);
            break;
        case DatePattern::Hour2:
            two(hour);
            break;
        case DatePattern::Minute1:
            out += QString::number(dt.minute);
            break;
        case DatePattern::Minute2:
            two(dt.minute);
            break;
        case DatePattern::Second1:
            out += QString::number(dt.second);
            break;
        case DatePattern::Second2:
            two(dt.second);
            break;
        case DatePattern::AmPm:
            out += dt.hour >= 12 ? QLatin1String("PM") : QLatin1String("AM");
            break;
        case DatePattern::AmPmLower:
            out += dt.hour >= 12 ? QLatin1String("pm") : QLatin1String("am");
            break;
        case DatePattern::AP:
            out += dt.hour >= 12 ? QLatin1Char('P') : QLatin1Char('A');
            break;
        case DatePattern::APLower:
            out += dt.hour >= 12 ? QLatin1Char('p') : QLatin1Char('a');
            break;
        }
    }
    return out;
}

QString FormatRecordDate(const FmtDateTime& dt, const QString& p) {
    return RenderDate(dt, *CompileDatePattern(p));
}

// The template's conversions are the card-ID conversions of the record table.
QString FmtHexToDec(const QString& szValue) {
    return HexToDec(szValue);
}

QString FmtDecToHex(const QString& szValue) {
    return DecToHex(szValue);
}

bool FmtData::ParseFormat(const QString& szFormat, const QString& szFieldList, QChar separator,
                          QChar open, QChar close) {
    bValid_ = false;
    fields_.clear();
    items_.clear();
    separator_ = separator;
    if (szFormat.trimmed().isEmpty() || szFieldList.trimmed().isEmpty() ||
        !szFormat.contains(close) || szFormat.size() > kFmtMaxTemplate ||
        szFieldList.size() > kFmtMaxTemplate)
        return false;

    QHash<QString, int> index;
    for (const QString& entry : szFieldList.split(QLatin1Char(','))) {
        Field f;
        QString name = entry;
        if (entry.endsWith(QLatin1Char('#'))) {
            f.type = FieldType::Date;
            name.chop(1);
        } else if (entry.endsWith(QLatin1Char('%'))) {
            f.type = FieldType::Integer;
            name.chop(1);
        } else if (entry.endsWith(QLatin1Char('&'))) {
            f.type = FieldType::Long;
            name.chop(1);
        }
        f.szName = name.trimmed().toUpper();
        if (!f.szName.isEmpty() && !index.contains(f.szName))
            index.insert(f.szName, static_cast<int>(fields_.size()));
        fields_.push_back(f);
    }

    bool anyKnown = false;
    for (const QString& piece : szFormat.split(close)) {
        const qsizetype opens = piece.count(open);
        if (opens > 1) {
            items_.clear();
            return false;
        }
        Item item;
        if (opens == 0) {
            if (piece.isEmpty()) continue;
            item.szLiteral = UnescapeLiteral(piece);
            items_.push_back(std::move(item));
            continue;
        }
        const qsizetype at = piece.indexOf(open);
        item.szLiteral = UnescapeLiteral(QStringView(piece).left(at));
        const QString body = piece.mid(at + 1);
        const qsizetype comma = body.indexOf(QLatin1Char(','));
        const QString name = (comma < 0 ? body : body.left(comma)).trimmed().toUpper();
        item.iField = index.value(name, -1);
        if (item.iField >= 0) {
            anyKnown = true;
            if (comma >= 0) {
                const QString option = body.mid(comma + 1);
                const FieldType type = fields_[item.iField].type;
                QString noBlanks = option;
                noBlanks.remove(QLatin1Char(' '));
                if (option.contains(QLatin1Char('"')) || option.contains(QLatin1Char('\''))) {
                    const QChar q =
                        option.contains(QLatin1Char('"')) ? QLatin1Char('"') : QLatin1Char('\'');
                    const qsizetype a = option.indexOf(q);
                    const qsizetype b = option.indexOf(q, a + 1);
                    if (b > a + 1) {
                        item.kind = ItemKind::Pattern;
                        QString pattern = option.mid(a + 1, b - a - 1);
                        if (type != FieldType::Date) {
                            for (qsizetype i = pattern.indexOf(QLatin1Char('&')); i >= 0;
                                 i = pattern.indexOf(QLatin1Char('&'), i + 1)) {
                                qsizetype j = i + 1;
                                const int width = ReadWidth(pattern, &j);
                                if (j >= pattern.size()) break;
                                const QChar l = pattern[j].toUpper();
                                if (l == QLatin1Char('H') || l == QLatin1Char('D')) {
                                    item.kind = l == QLatin1Char('H') ? ItemKind::ToHex
                                                                      : ItemKind::ToDecimal;
                                    item.iWidth = std::max(width, 0);
                                    pattern = pattern.mid(j + 1);
                                    break;
                                }
                            }
                            pattern = ExpandFills(pattern);
                        }
                        item.szPattern = pattern;
                        if (type == FieldType::Date) item.datePattern = CompileDatePattern(pattern);
                    }
                } else if (option.contains(QLatin1Char('='))) {
                    if (!option.startsWith(QLatin1Char('=')) &&
                        !noBlanks.contains(QLatin1String("=,"))) {
                        item.kind = ItemKind::Map;
                        for (const QString& entry : option.split(QLatin1Char(','))) {
                            const qsizetype eq = entry.indexOf(QLatin1Char('='));
                            if (eq < 0) continue;
                            item.mapCodes << entry.left(eq).trimmed();
                            item.mapTexts << entry.mid(eq + 1);
                        }
                    }
                } else if (option.contains(QLatin1Char(','))) {
                    if (!option.startsWith(QLatin1Char(',')) &&
                        !noBlanks.split(QLatin1Char(',')).contains(QString())) {
                        item.kind = ItemKind::List;
                        item.entries = option.split(QLatin1Char(','));
                    }
                }
            }
        }
        items_.push_back(std::move(item));
    }
    bValid_ = anyKnown;
    if (!bValid_) items_.clear();
    return bValid_;
}

bool FmtData::UsesField(const QString& szName) const {
    for (const Item& item : items_)
        if (item.iField >= 0 && fields_[item.iField].szName == szName) return true;
    return false;
}

QString FmtData::applyItem(const Item& item, const QString& v) const {
    const FieldType type = fields_[item.iField].type;
    switch (item.kind) {
    case ItemKind::Plain:
        return v;
    case ItemKind::List:
        return item.entries[ValueModulo(v, static_cast<int>(item.entries.size()))];
    case ItemKind::Map:
        // A whole code matches: "1" finds "1=OUT", never the "11=..." entry.
        for (qsizetype i = 0; i < item.mapCodes.size(); ++i)
            if (item.mapCodes[i].compare(v, Qt::CaseInsensitive) == 0) return item.mapTexts[i];
        return QString();
    case ItemKind::Pattern:
    case ItemKind::ToHex:
    case ItemKind::ToDecimal:
        break;
    }
    const QString& pattern = item.szPattern;
    if (type == FieldType::String) {
        if (pattern.isEmpty()) return v;
        QString out = pattern;
        const qsizetype n = std::min(v.size(), pattern.size());
        out.replace(0, n, v.left(n));
        return out;
    }
    if (type == FieldType::Date) {
        FmtDateTime dt;
        if (!ParseRecordDateTime(v, &dt)) return v;
        if (pattern.isEmpty() || !item.datePattern) {
            QString out;
            if (dt.bHasDate) out = FormatRecordDate(dt, QStringLiteral("YYYY/MM/DD"));
            if (dt.bHasTime) {
                if (!out.isEmpty()) out += QLatin1Char(' ');
                out += FormatRecordDate(dt, QStringLiteral("hh:nn:ss"));
            }
            return out;
        }
        return RenderDate(dt, *item.datePattern);
    }
    QString s = v;
    // Numbers longer than any width are left as they are rather than converted digit by digit.
    if (v.size() <= kFmtMaxWidth) {
        QString converted;
        if (item.kind == ItemKind::ToHex && type == FieldType::Integer)
            converted = FmtDecToHex(v.trimmed());
        else if (item.kind == ItemKind::ToDecimal && type == FieldType::Long)
            converted = FmtHexToDec(v.trimmed());
        if (!converted.isEmpty()) s = converted;
    }
    if (item.iWidth > 0) {
        if (s.size() > item.iWidth)
            s = s.right(item.iWidth);
        else
            s = QString(item.iWidth - s.size(), QLatin1Char('0')) + s;
    }
    if (!pattern.isEmpty()) {
        const qsizetype l = pattern.size();
        if (s.size() < l)
            s = pattern.left(l - s.size()) + s;
        else if (s.size() > l)
            s = s.right(l);
    }
    return s;
}

QString FmtData::ApplyFormat(const QString& szRecord) const {
    if (!bValid_) return szRecord;
    const QStringList values = szRecord.split(separator_);
    if (values.size() != static_cast<qsizetype>(fields_.size())) return szRecord;
    return ApplyFormat(values);
}

QString FmtData::ApplyFormat(const QStringList& values) const {
    if (!bValid_ || values.size() != static_cast<qsizetype>(fields_.size()))
        return values.join(separator_);
    QString out;
    for (const Item& item : items_) {
        out += item.szLiteral;
        if (item.iField >= 0) out += applyItem(item, values[item.iField]);
    }
    return out;
}

} // namespace pelmar
