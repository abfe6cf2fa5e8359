#include "pelmar/core/modKt9.h"

#include "AnsiCodePage.h"
#include "pelmar/core/clsTimeout.h"

#include "dorlin/Rnet.h"
#include "dorlin/TickSource.h"

#include <iterator>

namespace pelmar {
namespace {
constexpr int kAttempts = 3;

int32_t HexValue(const QString& digits) {
    QByteArray b = digits.toLatin1();
    return rnet::HexReading(std::string_view(b.constData(), size_t(b.size())));
}
} // namespace

QString modKt9::RegText(int value) {
    return QString::asprintf("%02X", unsigned(value + 256) & 0xFFu);
}

QDateTime modKt9::ZeroDate() {
    return QDateTime(QDate(1899, 12, 30), QTime(0, 0, 0));
}

bool modKt9::Open() {
    return s_.Link() && s_.Link()->PortOpen();
}

bool modKt9::ReadReg(short reg, int32_t& value) {
    for (int i = 0; i < kAttempts; ++i) {
        // "A" + two hexadecimal digits; anything else is not this register's value.
        QString reply = s_.Ask([&] { return s_.Link()->GetRegister(reg); }, shape::Register);
        if (shape::Register(reply)) {
            value = HexValue(reply.mid(1));
            return true;
        }
    }
    return false;
}

bool modKt9::WriteReg(short reg, int value) {
    return WriteRegText(reg, RegText(value));
}

bool modKt9::WriteRegText(short reg, const QString& text) {
    // The link control's SetRegister frame, asked for its reply so that a late "A" to an
    // earlier command is not taken as this write's.
    const QString cmd = QStringLiteral("C") + RegText(reg) + QLatin1Char(',') + text;
    for (int i = 0; i < kAttempts; ++i) {
        QString reply =
            s_.Ask([&] { return s_.Link()->SendRnetCmd(cmd, true, false); }, shape::Accepted);
        if (shape::Accepted(reply)) return true;
    }
    return false;
}

namespace {
// How a setting sits in its register (or registers).
enum class Encoding {
    Byte,     // the value as it is, one register
    Word,     // 16 bits: the low byte in the register, the high byte in the next
    Flag,     // written 0xFF (on) or 0x00 (off); any value but 0 reads as on
    Unlocked, // the clock lock: 0xFF is unlocked, any other value locked; written 0x00 / 0xFF
    TenAs255, // the scan time: 10 is stored as 255
};

// The reader's register map: one row per setting, in the order of modKt9::Setting.
struct Register {
    modKt9::Setting setting;
    short reg; // the register (the low one of a Word)
    Encoding encoding;
    int32_t unread; // what the getter gives when the register could not be read; a
                    // negative one is never written back
};

constexpr Register kRegisters[] = {
    {modKt9::Setting::PowerMode, 18, Encoding::Byte, -1},
    {modKt9::Setting::PowerOffTime, 16, Encoding::Word, 0},
    {modKt9::Setting::LCDOffTime, 24, Encoding::Byte, 0},
    {modKt9::Setting::Beep, 25, Encoding::Flag, 0},
    {modKt9::Setting::DateMode, 26, Encoding::Byte, 0},
    {modKt9::Setting::LargeFonts, 28, Encoding::Flag, 0},
    {modKt9::Setting::RFIDScanTime, 29, Encoding::TenAs255, 0},
    {modKt9::Setting::NumberOfEvent, 30, Encoding::Byte, 0},
    {modKt9::Setting::ScanMode, 31, Encoding::Byte, 0},
    {modKt9::Setting::LockDateTime, 80, Encoding::Unlocked, 0},
};

constexpr bool InSettingOrder() {
    for (size_t i = 0; i < std::size(kRegisters); ++i)
        if (size_t(kRegisters[i].setting) != i) return false;
    return std::size(kRegisters) == size_t(modKt9::Setting::Count);
}
static_assert(InSettingOrder(), "one row per setting, in the order of modKt9::Setting");

const Register& RowOf(modKt9::Setting s) {
    return kRegisters[size_t(s)];
}

// The user name's 16 registers.
constexpr short kUserNameFirst = 32;
} // namespace

int32_t modKt9::Get(Setting setting) {
    const Register& r = RowOf(setting);
    LastCallOK = false;
    s_.LinkTimedOut = false;
    if (!Open()) return 0;
    int32_t v = 0, high = 0;
    if (!ReadReg(r.reg, v)) return r.unread;
    if (r.encoding == Encoding::Word && !ReadReg(short(r.reg + 1), high)) return r.unread;
    LastCallOK = true;
    switch (r.encoding) {
    case Encoding::Byte:
        return v;
    case Encoding::Word:
        return (v & 0xFF) + 256 * (high & 0xFF);
    case Encoding::Flag:
        return v != 0 ? 1 : 0;
    case Encoding::Unlocked:
        return (v & 0xFF) != 255 ? 1 : 0;
    case Encoding::TenAs255:
        return uint8_t(v) == 255 ? 10 : v;
    }
    return v;
}

bool modKt9::Set(Setting setting, int32_t value) {
    const Register& r = RowOf(setting);
    // A value that failed to read is never written back.
    if (!Open() || (r.unread < 0 && value == r.unread)) return false;
    switch (r.encoding) {
    case Encoding::Byte:
        return WriteReg(r.reg, value);
    case Encoding::Word: {
        const uint16_t v = uint16_t(value);
        return WriteReg(r.reg, v & 0xFF) && WriteReg(short(r.reg + 1), v >> 8);
    }
    case Encoding::Flag:
        return WriteReg(r.reg, value ? 0xFF : 0x00);
    case Encoding::Unlocked:
        return WriteReg(r.reg, value ? 0x00 : 0xFF);
    case Encoding::TenAs255:
        return WriteReg(r.reg, value == 10 ? 255 : value);
    }
    return false;
}

QString modKt9::GetKt9UserName() {
    LastCallOK = false;
    s_.LinkTimedOut = false;
    if (!Open()) return QString();
    for (int pass = 0; pass < kAttempts; ++pass) {
        QByteArray b(16, '\0');
        int count = 0;
        bool failed = false;
        for (int i = 15; i >= 0; --i) {
            int32_t v = 0;
            if (!ReadReg(short(kUserNameFirst + i), v)) {
                failed = true;
                break;
            }
            uint8_t byte = uint8_t(v);
            b[i] = char(byte);
            if (byte == 0x00 || byte == 0xFF) break;
            ++count;
            clsTimeout::RunEvents();
        }
        if (failed) continue;
        LastCallOK = true;
        return FromAnsi(b.right(count));
    }
    return QString();
}

QString modKt9::GetUserNameEx() {
    LastCallOK = false;
    s_.LinkTimedOut = false;
    if (!Open()) return QString();
    for (int pass = 0; pass < kAttempts; ++pass) {
        QByteArray name;
        bool paddingSeen = false, failed = false;
        for (int i = 0; i < 16; ++i) {
            int32_t v = 0;
            if (!ReadReg(short(kUserNameFirst + i), v)) {
                failed = true;
                break;
            }
            uint8_t byte = uint8_t(v);
            bool stop = false;
            if (byte != 0x00 && byte != 0xFF) {
                name.append(char(byte));
            } else if (!name.isEmpty() && paddingSeen) {
                stop = true;
            } else {
                paddingSeen = true;
            }
            clsTimeout::RunEvents();
            if (stop) break;
        }
        if (failed) continue;
        LastCallOK = true;
        return FromAnsi(name);
    }
    return QString();
}

bool modKt9::SetUserName(const QString& name) {
    if (!Open()) return false;
    QString field = (QString(16, QChar(0)) + name.trimmed()).right(16);
    QByteArray b = ToAnsi(field).left(16);
    if (b.size() < 16) b = QByteArray(16 - b.size(), '\0') + b;
    for (int pass = 0; pass < kAttempts; ++pass) {
        bool ok = true;
        for (int i = 0; i < 16 && ok; ++i) {
            ok = WriteRegText(short(kUserNameFirst + i), RegText(uint8_t(b[i])));
            if (ok) {
                clsTimeout::RunEvents();
                dorlin::Sleep(20);
            }
        }
        if (ok) return true;
    }
    return false;
}

QString modKt9::GetMacID() {
    LastCallOK = false;
    s_.LinkTimedOut = false;
    if (!Open()) return QString();
    QString reply =
        s_.Ask([&] { return s_.Link()->SendRnetCmd(QStringLiteral("I"), false, false); },
               shape::MachineId);
    if (!shape::MachineId(reply)) return QString();
    QString id = reply.mid(1);
    if (id.size() == 1 && QStringLiteral("0123456789ABCDEF").contains(id)) id.prepend('0');
    LastCallOK = true;
    return id;
}

bool modKt9::SetMacID(const QString& id) {
    LastCallOK = false;
    s_.LinkTimedOut = false;
    if (!Open()) return false;
    QString v = id;
    if (v.size() == 1 && QStringLiteral("0123456789ABCDEF").contains(v)) v.prepend('0');
    bool ok = shape::Accepted(
        s_.Ask([&] { return s_.Link()->SendRnetCmd(QStringLiteral("J") + v, false, false); },
               shape::Accepted));
    LastCallOK = ok;
    return ok;
}

int32_t modKt9::ReadRecordCount() {
    LastCallOK = false;
    s_.LinkTimedOut = false;
    if (!Open()) return 0;
    QString reply;
    for (int i = 0; i < kAttempts; ++i) {
        reply = s_.Ask([&] { return s_.Link()->SendRnetCmd(QStringLiteral("N"), false, false); },
                       shape::RecordCount);
        if (shape::RecordCount(reply)) break;
        dorlin::Sleep(1);
    }
    // The same reading as the link control's GetRecordCount.
    lastCountReply = reply;
    QByteArray b = reply.toLatin1();
    auto n = rnet::RecordCountFromReply(std::string_view(b.constData(), size_t(b.size())));
    if (!n) return 0;
    LastCallOK = true;
    s_.LinkTimedOut = false;
    return int32_t(*n);
}

QDateTime modKt9::ReadDeviceTime() {
    LastCallOK = false;
    s_.LinkTimedOut = false;
    if (!Open()) return ZeroDate();
    QString reply;
    bool got = false;
    for (int i = 0; i < kAttempts && !got; ++i) {
        reply = s_.Ask([&] { return s_.Link()->SendRnetCmd(QStringLiteral("T"), false, false); },
                       shape::Clock);
        got = shape::Clock(reply);
    }
    if (!got) return ZeroDate();
    auto num = [&](int pos, int len, bool& ok) {
        QString part = reply.mid(pos, len);
        for (QChar c : part)
            if (!c.isDigit() || c.unicode() > '9') ok = false;
        return part.toInt();
    };
    bool ok = true;
    int y = num(1, 4, ok), mo = num(5, 2, ok), d = num(7, 2, ok);
    int h = num(9, 2, ok), mi = num(11, 2, ok), se = num(13, 2, ok);
    QDate date(y, mo, d);
    QTime time(h, mi, se);
    if (!ok || !date.isValid() || !time.isValid()) {
        s_.LinkTimedOut = false;
        return QDateTime::currentDateTime();
    }
    LastCallOK = true;
    s_.LinkTimedOut = false;
    return QDateTime(date, time);
}

bool modKt9::WriteDeviceTime(const QDateTime& when) {
    LastCallOK = false;
    s_.LinkTimedOut = false;
    if (!Open()) return false;
    QString cmd = QStringLiteral("S") + when.toString(QStringLiteral("yyyyMMddHHmmss")) +
                  QString::number(when.date().dayOfWeek() % 7);
    for (int i = 0; i < kAttempts; ++i) {
        if (shape::Accepted(s_.Ask([&] { return s_.Link()->SendRnetCmd(cmd, false, false); },
                                   shape::Accepted))) {
            LastCallOK = true;
            s_.LinkTimedOut = false;
            return true;
        }
    }
    return false;
}

bool modKt9::Probe(const QString& frame, bool access) {
    IReaderLink* link = s_.Link();
    link->ClearRxBuffer();
    // A CR ahead of the reply does not count against a reader that answers.
    rnet::CollectorOptions options;
    options.crBeforeStxEnds = false;
    rnet::ReplyCollector collector(options);
    bool decided = false, result = false;
    int sent = 0, answered = 0;
    auto take = [&] {
        if (link->RxCount() < 1) return;
        for (char c : link->Text().toLatin1()) {
            if (!collector.Feed(c) || !collector.Complete()) continue;
            ++answered;
            if (!decided) {
                decided = true;
                result = access ? collector.Text().rfind('A', 0) == 0 : true;
            }
        }
    };
    // The first frame gets 250 ms, or longer for a reader seen to answer more slowly; one
    // that has not answered by then is asked once more and given the link's whole reply
    // time, so a slow reader is not sent a frame after frame.
    const int32_t full = int32_t(std::max<long>(link->RnetTimeout(), 250));
    const uint32_t seen = s_.ReplyLatency();
    const int32_t waits[2] = {
        std::min<int32_t>(full, int32_t(std::max<uint32_t>(250, seen + seen / 4 + 50))), full};
    clsTimeout timer;
    timer.SetSleeper([link](uint32_t ms) { link->WaitForRx(ms); });
    const uint32_t firstSent = dorlin::GetTickCount();
    for (int attempt = 0; attempt < 2 && !decided; ++attempt) {
        timer.SetTimeout(waits[attempt]);
        link->SetText(frame);
        ++sent;
        while (!decided && !timer.WaitTimeout(true))
            take();
    }
    if (decided) s_.NoteLatency(dorlin::GetTickCount() - firstSent);
    // A late reply must not reach the next command: wait for the answer to every frame
    // sent, or until the line is quiet.
    if (sent > answered && decided)
        s_.DrainUntilQuiet();
    else {
        timer.SetTimeout(50);
        while (!timer.WaitTimeout(false)) {
        }
        if (link->RxCount() >= 1) link->ClearRxBuffer();
    }
    return result;
}

bool modKt9::CheckReader() {
    if (!Open()) return false;
    return Probe(QStringLiteral("\x02"
                                "f\r\n"),
                 false);
}

bool modKt9::CheckAccess() {
    if (!Open()) return false;
    return Probe(QStringLiteral("\x02"
                                "B00\r\n"),
                 true);
}

} // namespace pelmar
