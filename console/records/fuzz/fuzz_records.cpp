// Feeds arbitrary reader replies through the decoding and the row building under every
// display mode and ID conversion, and checks the conversions against each other.
#include "pelmar/NumberConvert.h"
#include "pelmar/RecordDecode.h"
#include "pelmar/RecordTableModel.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace pelmar;

namespace {

// The value written back without leading zeros, upper case; "0" for zero.
QString Canonical(const QString& digits) {
    QString s = digits.toUpper();
    qsizetype i = 0;
    while (i < s.size() - 1 && s[i] == u'0')
        ++i;
    return s.mid(i);
}

void Check(bool ok) {
    if (!ok) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t knobs = data[0];
    const uint8_t knobs2 = data[1];
    const QString reply = QString::fromLatin1(reinterpret_cast<const char*>(data + 2),
                                              static_cast<qsizetype>(size - 2));

    const int dateModes[4] = {255, 0, 1, 254};
    const int dateMode = dateModes[knobs & 3];
    const int year = 1990 + (knobs2 % 60);
    QString text;
    QString error;
    const bool ok = DecodeKt9Record(reply, dateMode, text, &error, year);
    Check(ok == reply.startsWith(u'A'));
    Check(ok || text == reply);
    if (ok && reply.contains(u' ')) Check(text.startsWith(QStringLiteral("A0000,") + QChar(0x01)));

    clsSaveOptions options;
    options.SetConvertIDMethod((knobs >> 2) & 3);
    options.SetEventNames((knobs >> 4) % 10, reply.left(12));
    RecordTableModel model;
    model.SetSaveOptions(options);
    model.SetTrackDecimal(knobs & 0x80);
    model.SetFieldOption(knobs2 % 3, false);
    model.AppendRecord(text);
    model.AppendRecord(reply); // raw bytes, control characters and all
    for (int mode = 0; mode < kDisplayModeCount; ++mode) {
        model.SetDisplayMode(mode);
        Check(model.rowCount() == 2);
        Check(model.Cell(1, RecordTableModel::ColNo) == QStringLiteral("2"));
        for (int c = 0; c < RecordTableModel::kColumns; ++c)
            (void)model.data(model.index(1, c));
    }

    const QString hexDec = HexToDec(reply);
    if (!hexDec.isEmpty()) Check(DecToHex(hexDec) == Canonical(reply));
    const QString decHex = DecToHex(reply);
    if (!decHex.isEmpty()) Check(HexToDec(decHex) == Canonical(reply));
    return 0;
}
