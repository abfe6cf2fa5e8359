// The pure parts of a scan: address and baud-rate lists, reply evaluation.
#include "ScanRules.h"

#include "pelmar/discovery/ScanEngine.h"

#include <QSet>

namespace pelmar::discovery {

QString EnglishText(const QString& /*id*/, const QString& fallback) {
    return fallback;
}

QString FillIn(const QString& text, const QString& arg) {
    QString s = text;
    const qsizetype d = s.indexOf(QLatin1String("%d"));
    const qsizetype t = s.indexOf(QLatin1String("%s"));
    qsizetype at = d < 0 ? t : (t < 0 ? d : std::min(d, t));
    if (at >= 0) s.replace(at, 2, arg);
    return s;
}

namespace {

// A field of a dotted address: decimal digits only, 0..255.
bool AddressField(const QString& field, int& value) {
    const QString f = field.trimmed();
    if (f.isEmpty()) return false;
    for (QChar c : f)
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
    // Leading zeros are allowed ("010"), so only the significant digits are bounded.
    qsizetype lead = 0;
    while (lead < f.size() - 1 && f[lead] == QLatin1Char('0'))
        ++lead;
    const QString digits = f.mid(lead);
    if (digits.size() > 3) return false;
    value = digits.toInt();
    return value <= 255;
}

} // namespace

QStringList ParseIpList(const QString& ipList) {
    QStringList out;
    QSet<QString> seen;
    for (const QString& entry : ipList.split(QLatin1Char(','))) {
        const QStringList fields = entry.trimmed().split(QLatin1Char('.'));
        if (fields.size() != 4) continue;
        QStringList numbers;
        bool ok = true;
        for (const QString& f : fields) {
            int v = 0;
            if (!AddressField(f, v)) {
                ok = false;
                break;
            }
            numbers << QString::number(v);
        }
        if (!ok) continue;
        const QString address = numbers.join(QLatin1Char('.'));
        if (address == QLatin1String("0.0.0.0") || address == QLatin1String("255.255.255.255"))
            continue;
        // The same device server twice would answer on one of the two connections only.
        if (seen.contains(address)) continue;
        seen.insert(address);
        out << address;
    }
    return out;
}

QList<long> ParseBaudList(const QString& baudList) {
    QList<long> out;
    for (const QString& entry : baudList.split(QLatin1Char(','))) {
        bool ok = false;
        const long v = entry.trimmed().toLong(&ok);
        if (ok && v > 0) out << v;
    }
    return out;
}

ReplyVerdict EvaluateReply(const QString& reply, const ScanParams& params, long baudRate,
                           const TextLookup& text) {
    ReplyVerdict v;
    const QChar first = reply.isEmpty() ? QChar() : reply[0];
    if (first == QLatin1Char('N')) {
        v.status = text(QStringLiteral("AUTOSCAN009"), QStringLiteral("Error")) +
                   QStringLiteral(": 0x") + reply.mid(1);
        return v;
    }
    if (first != QLatin1Char('A')) {
        v.status = text(QStringLiteral("AUTOSCAN010"), QStringLiteral("Unknown")) +
                   QStringLiteral(": ") + reply + QLatin1Char('(') + QString::number(baudRate) +
                   QStringLiteral("bps)");
        return v;
    }
    const QString rest = reply.mid(1);
    const QStringList ids = params.firmwareList.contains(QChar(0))
                                ? params.firmwareList.split(QChar(0))
                                : QStringList{params.firmwareList};
    for (const QString& id : ids)
        // An empty identifier (a trailing NUL) would match every reader.
        if (!id.isEmpty() && reply.contains(id, Qt::CaseSensitive)) v.found = true;
    if (v.found) {
        QString version = rest;
        if (!params.deviceLabel.isEmpty() && !params.firmwareList.isEmpty())
            version.replace(params.firmwareList, params.deviceLabel);
        v.status = FoundMarker(text) + QLatin1Char(' ') + version;
    } else {
        v.status = text(QStringLiteral("AUTOSCAN008"), QStringLiteral("Other")) +
                   QStringLiteral(": ") + rest;
    }
    return v;
}

QString FoundMarker(const TextLookup& text) {
    return text(QStringLiteral("AUTOSCAN007"), QStringLiteral("Found")) + QLatin1Char(':');
}

} // namespace pelmar::discovery
