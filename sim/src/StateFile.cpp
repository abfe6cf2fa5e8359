#include "readersim/StateFile.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <cmath>

namespace readersim {
namespace {
// A clock offset past this many seconds (some 3,000 years) is no reader's clock.
constexpr double kMaxClockOffset = 1e11;

// "2025-01-06 07:30:00 2 5 0012345678": date, time, card type, event, card ID
QString RecordLine(const Record& r) {
    return r.date.toString("yyyy-MM-dd") + ' ' + r.time.toString("HH:mm:ss") + ' ' + QChar(r.type) +
           ' ' + QChar(r.event) + ' ' + QString::fromStdString(r.card);
}

bool ParseRecordLine(const QString& line, Record& r) {
    QStringList f = line.split(' ', Qt::SkipEmptyParts);
    if (f.size() != 5 || f[2].size() != 1 || f[3].size() != 1) return false;
    r.date = QDate::fromString(f[0], "yyyy-MM-dd");
    r.time = QTime::fromString(f[1], "HH:mm:ss");
    r.type = f[2][0].toLatin1();
    r.event = f[3][0].toLatin1();
    r.card = f[4].toStdString();
    bool typeOk = (r.type >= '1' && r.type <= '9') || r.type == 'A';
    bool cardOk = !r.card.empty() && r.card.size() <= 32 &&
                  r.card.find_first_not_of("0123456789ABCDEF") == std::string::npos;
    return r.date.isValid() && r.time.isValid() && typeOk && r.event >= '0' && r.event <= '9' &&
           cardOk;
}

QJsonArray RecordArray(const std::vector<Record>& recs) {
    QJsonArray a;
    for (const Record& r : recs)
        a.append(RecordLine(r));
    return a;
}

bool ReadRecords(const QJsonValue& v, std::vector<Record>& out, QString* error) {
    std::vector<Record> recs;
    for (const QJsonValue& e : v.toArray()) {
        Record r;
        if (!ParseRecordLine(e.toString(), r)) {
            if (error) *error = "bad record: " + e.toString();
            return false;
        }
        recs.push_back(r);
    }
    out = std::move(recs);
    return true;
}

bool ReadHexByte(const QString& s, uint8_t& out) {
    bool ok = false;
    uint v = s.toUInt(&ok, 16);
    if (!ok || v > 255 || s.isEmpty() || s.size() > 2) return false;
    out = uint8_t(v);
    return true;
}

} // namespace

QByteArray StateToJson(const ReaderState& st) {
    QJsonObject o;
    o["loginId"] = QString::fromStdString(st.loginId);
    o["locked"] = st.locked;
    o["firmware"] = QString::fromStdString(st.firmware);
    o["machineId"] = QString::asprintf("%02X", st.machineId);
    o["userName"] = QString::fromLatin1(st.UserName().c_str());
    o["clockOffset"] = double(st.clockOffset);
    // sixteen rows of sixteen registers, two hexadecimal digits each
    QJsonArray regs;
    for (int row = 0; row < 16; ++row) {
        QString line;
        for (int i = 0; i < 16; ++i)
            line += QString::asprintf("%02X", st.registers[size_t(row * 16 + i)]);
        regs.append(line);
    }
    o["registers"] = regs;
    o["records"] = RecordArray(st.records);
    o["erased"] = RecordArray(st.erased);
    QJsonObject files;
    for (const auto& [path, data] : st.files)
        files[QString::fromStdString(path)] =
            QString::fromLatin1(QByteArray::fromStdString(data).toBase64());
    o["files"] = files;
    QJsonArray dirs;
    for (const auto& d : st.dirs)
        dirs.append(QString::fromStdString(d));
    o["dirs"] = dirs;
    QJsonObject line;
    line["baud"] = st.line.baud;
    line["flow"] = st.line.flow;
    line["parity"] = st.line.parity;
    line["dataBits"] = st.line.dataBits;
    o["deviceServer"] = line;
    return QJsonDocument(o).toJson(QJsonDocument::Indented);
}

bool StateFromJson(const QByteArray& json, ReaderState& st, QString* error) {
    QJsonParseError pe{};
    QJsonDocument doc = QJsonDocument::fromJson(json, &pe);
    if (!doc.isObject()) {
        if (error) *error = "not a JSON object: " + pe.errorString();
        return false;
    }
    QJsonObject o = doc.object();
    ReaderState s = st;
    auto fail = [&](const QString& what) {
        if (error) *error = what;
        return false;
    };
    if (o.contains("loginId")) {
        QString id = o["loginId"].toString();
        if (id.size() != 4 ||
            id.toStdString().find_first_not_of("0123456789ABCDEF") != std::string::npos)
            return fail("bad loginId: " + id);
        s.loginId = id.toStdString();
    }
    if (o.contains("locked")) s.locked = o["locked"].toBool(true);
    if (o.contains("firmware")) s.firmware = o["firmware"].toString().toStdString();
    if (o.contains("machineId") && !ReadHexByte(o["machineId"].toString(), s.machineId))
        return fail("bad machineId");
    if (o.contains("clockOffset")) {
        // Whole seconds, at most some thousands of years either way (the clock stays a date).
        const QJsonValue v = o["clockOffset"];
        const double d = v.toDouble(0.5);
        if (!v.isDouble() || !(std::fabs(d) <= kMaxClockOffset) || d != std::trunc(d))
            return fail("bad clockOffset");
        s.clockOffset = int64_t(d);
    }
    if (o.contains("registers")) {
        QJsonValue r = o["registers"];
        if (r.isArray()) {
            QJsonArray rows = r.toArray();
            for (int row = 0; row < rows.size() && row < 16; ++row) {
                QString line = rows[row].toString();
                if (line.size() != 32) return fail("bad register row " + QString::number(row));
                for (int i = 0; i < 16; ++i)
                    if (!ReadHexByte(line.mid(i * 2, 2), s.registers[size_t(row * 16 + i)]))
                        return fail("bad register row " + QString::number(row));
            }
        } else if (r.isObject()) { // {"1A": "FF", ...} for hand-written files
            QJsonObject ro = r.toObject();
            for (auto it = ro.begin(); it != ro.end(); ++it) {
                uint8_t addr = 0, val = 0;
                if (!ReadHexByte(it.key(), addr) || !ReadHexByte(it.value().toString(), val))
                    return fail("bad register " + it.key());
                s.registers[addr] = val;
            }
        } else
            return fail("bad registers");
    }
    // The user name is kept in registers 32..47; the readable copy wins when both are given.
    // The written copy leaves out the bytes 0x00 and 0xFF, so one that still matches the
    // registers is no edit and leaves them as they are.
    if (o.contains("userName")) {
        const std::string name = o["userName"].toString().toLatin1().toStdString();
        if (name != s.UserName()) s.SetUserName(name);
    }
    if (o.contains("records") && !ReadRecords(o["records"], s.records, error)) return false;
    if (o.contains("erased") && !ReadRecords(o["erased"], s.erased, error)) return false;
    if (o.contains("dirs")) {
        s.dirs.clear();
        for (const QJsonValue& d : o["dirs"].toArray()) {
            std::string p = Reader::NormalPath(d.toString().toStdString());
            if (!p.empty()) s.dirs.insert(p);
        }
    }
    if (o.contains("files")) {
        s.files.clear();
        QJsonObject fo = o["files"].toObject();
        for (auto it = fo.begin(); it != fo.end(); ++it) {
            std::string p = Reader::NormalPath(it.key().toStdString());
            if (p.empty()) return fail("bad file name");
            s.files[p] = QByteArray::fromBase64(it.value().toString().toLatin1()).toStdString();
        }
    }
    if (o.contains("deviceServer")) {
        QJsonObject l = o["deviceServer"].toObject();
        s.line.baud = l["baud"].toInt(s.line.baud);
        s.line.flow = l["flow"].toInt(s.line.flow);
        s.line.parity = l["parity"].toInt(s.line.parity);
        s.line.dataBits = l["dataBits"].toInt(s.line.dataBits);
    }
    st = std::move(s);
    return true;
}

bool LoadState(const QString& path, ReaderState& state, QString* error) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (error) *error = path + ": " + f.errorString();
        return false;
    }
    return StateFromJson(f.readAll(), state, error);
}

bool SaveState(const QString& path, const ReaderState& state, QString* error) {
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(StateToJson(state)) < 0 || !f.commit()) {
        if (error) *error = path + ": " + f.errorString();
        return false;
    }
    return true;
}

} // namespace readersim
