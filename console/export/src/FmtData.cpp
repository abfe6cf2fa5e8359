#include "pelexport/FmtData.h"

#include <QDate>
#include <QHash>
#include <algorithm>
#include <cmath>

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

QString Pad2(int v) {
    return QString::number(v).rightJustified(2, QLatin1Char('0'));
}

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

QString FormatRecordDate(const FmtDateTime& dt, const QString& p) {
    const QDate date(dt.year, dt.month, dt.day);
    auto upper = [&](qsizetype i) { return i < p.size() ? p[i].toUpper() : QChar(); };
    auto runLength = [&](qsizetype i, QChar letter) {
        qsizetype n = 0;
        while (i + n < p.size() && p[i + n].toUpper() == letter)
            ++n;
        return n;
    };
    auto startsWithCI = [&](qsizetype i, const char* what) {
        const QString w = QLatin1String(what);
        return p.mid(i, w.size()).compare(w, Qt::CaseInsensitive) == 0;
    };
    const bool twelveHour = p.contains(QLatin1String("AM/PM"), Qt::CaseInsensitive) ||
                            p.contains(QLatin1String("A/P"), Qt::CaseInsensitive);
    // Whether the next pattern letter after i (skipping separators) is a seconds letter.
    auto secondsFollow = [&](qsizetype i) {
        for (; i < p.size(); ++i) {
            if (p[i].isLetter()) return p[i].toUpper() == QLatin1Char('S');
        }
        return false;
    };

    QString out;
    bool afterHour = false;
    for (qsizetype i = 0; i < p.size();) {
        const QChar c = upper(i);
        if (p[i] == QLatin1Char('\\')) {
            if (i + 1 < p.size()) out += p[i + 1];
            i += 2;
            continue;
        }
        if (startsWithCI(i, "AM/PM")) {
            const bool pm = dt.hour >= 12;
            const bool lower = p[i].isLower();
            QString t = pm ? QStringLiteral("PM") : QStringLiteral("AM");
            out += lower ? t.toLower() : t;
            i += 5;
            continue;
        }
        if (startsWithCI(i, "A/P")) {
            const bool lower = p[i].isLower();
            QString t = dt.hour >= 12 ? QStringLiteral("P") : QStringLiteral("A");
            out += lower ? t.toLower() : t;
            i += 3;
            continue;
        }
        if (c == QLatin1Char('Y')) {
            const qsizetype n = runLength(i, c);
            if (n >= 4) {
                out += QString::number(dt.year).rightJustified(4, QLatin1Char('0'));
                i += 4;
            } else if (n >= 2) {
                out += Pad2(dt.year % 100);
                i += 2;
            } else {
                out += p[i];
                i += 1;
            }
            afterHour = false;
            continue;
        }
        if (c == QLatin1Char('M')) {
            const qsizetype n = std::min<qsizetype>(runLength(i, c), 4);
            if (n <= 2 && (afterHour || secondsFollow(i + n))) {
                out += n == 2 ? Pad2(dt.minute) : QString::number(dt.minute);
            } else if (n == 1) {
                out += QString::number(dt.month);
            } else if (n == 2) {
                out += Pad2(dt.month);
            } else if (n == 3) {
                out += QLatin1String(kMonthNames[dt.month - 1]).left(3);
            } else {
                out += QLatin1String(kMonthNames[dt.month - 1]);
            }
            i += n;
            afterHour = false;
            continue;
        }
        if (c == QLatin1Char('D')) {
            const qsizetype n = std::min<qsizetype>(runLength(i, c), 4);
            const int dow = date.isValid() ? date.dayOfWeek() : 1;
            if (n == 1)
                out += QString::number(dt.day);
            else if (n == 2)
                out += Pad2(dt.day);
            else if (n == 3)
                out += QLatin1String(kDayNames[dow - 1]).left(3);
            else
                out += QLatin1String(kDayNames[dow - 1]);
            i += n;
            afterHour = false;
            continue;
        }
        if (c == QLatin1Char('H') || c == QLatin1Char('N') || c == QLatin1Char('S')) {
            const qsizetype n = std::min<qsizetype>(runLength(i, c), 2);
            int v = c == QLatin1Char('H') ? dt.hour : c == QLatin1Char('N') ? dt.minute : dt.second;
            if (c == QLatin1Char('H') && twelveHour) {
                v %= 12;
                if (v == 0) v = 12;
            }
            out += n == 2 ? Pad2(v) : QString::number(v);
            i += n;
            afterHour = c == QLatin1Char('H');
            continue;
        }
        out += p[i];
        ++i;
    }
    return out;
}

QString FmtHexToDec(const QString& szValue) {
    if (szValue.isEmpty()) return QString();
    QString s = szValue.toUpper();
    while (s.size() % 3)
        s.prepend(QLatin1Char('0'));
    std::vector<int> limbs; // base 100000, least significant first
    limbs.reserve(static_cast<size_t>(s.size() * std::log(16.0) / std::log(10.0) / 5) + 2);
    for (qsizetype i = 0; i < s.size(); i += 3) {
        int g = 0;
        for (qsizetype k = i; k < i + 3; ++k) {
            const char16_t ch = s[k].unicode();
            if (ch >= '0' && ch <= '9')
                g = g * 16 + (ch - '0');
            else if (ch >= 'A' && ch <= 'F')
                g = g * 16 + (ch - 'A' + 10);
            else
                return QString();
        }
        long long carry = g;
        for (int& limb : limbs) {
            const long long v = static_cast<long long>(limb) * 4096 + carry;
            carry = v / 100000;
            limb = static_cast<int>(v - carry * 100000);
        }
        while (carry > 0) {
            limbs.push_back(static_cast<int>(carry % 100000));
            carry /= 100000;
        }
    }
    if (limbs.empty()) return QStringLiteral("0");
    QString out = QString::number(limbs.back());
    for (auto it = limbs.rbegin() + 1; it != limbs.rend(); ++it)
        out += QString::number(*it).rightJustified(5, QLatin1Char('0'));
    return out;
}

QString FmtDecToHex(const QString& szValue) {
    if (szValue.isEmpty()) return QString();
    QString s = szValue.toUpper();
    while (s.size() % 4)
        s.prepend(QLatin1Char('0'));
    std::vector<int> limbs; // base 65536, least significant first
    for (qsizetype i = 0; i < s.size(); i += 4) {
        if (!IsAsciiDigits(QStringView(s).mid(i, 4))) return QString();
        long long carry = QStringView(s).mid(i, 4).toInt();
        for (int& limb : limbs) {
            const long long v = static_cast<long long>(limb) * 10000 + carry;
            carry = v / 65536;
            limb = static_cast<int>(v - carry * 65536);
        }
        while (carry > 0) {
            limbs.push_back(static_cast<int>(carry % 65536));
            carry /= 65536;
        }
    }
    if (limbs.empty()) return QStringLiteral("0");
    QString out = QString::number(limbs.back(), 16).toUpper();
    for (auto it = limbs.rbegin() + 1; it != limbs.rend(); ++it)
        out += QString::number(*it, 16).toUpper().rightJustified(4, QLatin1Char('0'));
    return out;
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
        if (pattern.isEmpty()) {
            QString out;
            if (dt.bHasDate) out = FormatRecordDate(dt, QStringLiteral("YYYY/MM/DD"));
            if (dt.bHasTime) {
                if (!out.isEmpty()) out += QLatin1Char(' ');
                out += FormatRecordDate(dt, QStringLiteral("hh:nn:ss"));
            }
            return out;
        }
        return FormatRecordDate(dt, pattern);
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
    QString out;
    for (const Item& item : items_) {
        out += item.szLiteral;
        if (item.iField >= 0) out += applyItem(item, values[item.iField]);
    }
    return out;
}

} // namespace pelmar
