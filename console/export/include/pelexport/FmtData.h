// modFmtData: the output-format template language of "Format.ini". A template such as
// "{MachineID},{CardID,'&8Z'},{Event,0=IN,1=OUT},{Date,'YYYY/MM/DD'}" is parsed once per save
// and then turns every record (its field values joined by NUL) into one output line.
#pragma once
#include <QChar>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

namespace pelmar {

struct DatePattern; // a date pattern compiled into its letters and literals

// The field list the record writers hand to ParseFormat, in record order.
inline constexpr const char* kFmtFieldList =
    "CardID&,CardType,Event%,Date#,Time#,RecordNo%,MachineID&,UserName";

// The template used when "Format.ini" names no template for the chosen format.
inline constexpr const char* kDefaultFormat =
    "{MachineID},{CardID},{Event},{Date,'YYYY/MM/DD'},{Time,'hh:nn:ss'}";

// Widths and blank/zero runs in a template are capped at this many characters, so that a
// template like "{CardID,'&99999999S'}" cannot make a line of a hundred million blanks.
inline constexpr int kFmtMaxWidth = 1024;
// Longer templates are refused (a profile value never gets near this).
inline constexpr int kFmtMaxTemplate = 65536;

class FmtData {
public:
    enum class FieldType { String, Integer, Long, Date };
    enum class ItemKind { Plain, Pattern, ToHex, ToDecimal, Map, List };

    struct Field {
        QString szName; // upper-cased
        FieldType type = FieldType::String;
    };
    struct Item {
        QString szLiteral; // text written before the field (escapes already resolved)
        int iField = -1;   // index into the field list, -1 when the name is unknown/absent
        ItemKind kind = ItemKind::Plain;
        QString szPattern;    // pattern kinds: the pattern after marker processing
        int iWidth = 0;       // to-hex/to-decimal width, 0 = none
        QStringList entries;  // list kind: the entries
        QStringList mapCodes; // map kind: the codes (blanks trimmed) ...
        QStringList mapTexts; // ... and their texts, in template order
        std::shared_ptr<const DatePattern> datePattern; // date fields with a pattern
    };

    // Parses szFormat against szFieldList ("Name&,Name%,Name#,Name", the last character gives
    // the type). The separator is the character between field values in a record; open and
    // close delimit a field item. Returns whether the template names at least one known field.
    bool ParseFormat(const QString& szFormat, const QString& szFieldList = kFmtFieldList,
                     QChar separator = QChar(0), QChar open = QLatin1Char('{'),
                     QChar close = QLatin1Char('}'));

    // One output line for a record of separator-joined values. A record that does not have
    // exactly one value per field, or any record while the template is invalid, comes back
    // unchanged.
    QString ApplyFormat(const QString& szRecord) const;
    // The same for the values already split (what the record writers hold).
    QString ApplyFormat(const QStringList& values) const;

    bool IsValid() const { return bValid_; }
    const std::vector<Item>& items() const { return items_; }
    const std::vector<Field>& fields() const { return fields_; }
    // Whether a valid template uses the field of that (upper-case) name.
    bool UsesField(const QString& szName) const;

private:
    QString applyItem(const Item& item, const QString& v) const;

    bool bValid_ = false;
    QChar separator_ = QChar(0);
    std::vector<Field> fields_;
    std::vector<Item> items_;
};

// Date and time texts of the record table are read in their fixed forms "YYYY/MM/DD",
// "hh:mm:ss" or "YYYY/MM/DD hh:mm:ss" (anything after them, like a weekday, is ignored).
struct FmtDateTime {
    bool bHasDate = false;
    bool bHasTime = false;
    int year = 1899, month = 12, day = 30; // the day that date serial 0 stands for
    int hour = 0, minute = 0, second = 0;
};
bool ParseRecordDateTime(const QString& szText, FmtDateTime* out);

// Formats a date with the usual pattern letters: YYYY YY, M MM MMM MMMM, D DD DDD DDDD,
// h hh, n nn (m/mm after an hour or before seconds also mean minutes), s ss, AM/PM am/pm A/P;
// a backslash writes the next character as it is. Month and day names are English.
QString FormatRecordDate(const FmtDateTime& dt, const QString& szPattern);

// Exact conversions of any length; an empty text or a digit outside the base gives "".
QString FmtHexToDec(const QString& szValue);
QString FmtDecToHex(const QString& szValue);

} // namespace pelmar
