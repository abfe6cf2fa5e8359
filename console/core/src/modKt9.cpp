#include "pelmar/core/modKt9.h"

#include "AnsiCodePage.h"
#include "pelmar/core/clsTimeout.h"

#include "dorlin/Rnet.h"
#include "dorlin/TickSource.h"

namespace pelmar {
namespace {
constexpr int kAttempts = 3;

int32_t HexValue(const QString& digits) {
    QByteArray b = digits.toLatin1();
    return rnet::HexReading(std::string_view(b.constData(), size_t(b.size())));
}

bool StartsWithA(const QString& s) {
    return s.startsWith(QLatin1Char('A'));
}

// The reply of "N" carries four digits after the "A". Some readers add the reply checksum
// the link control's own record-count method expects; it is removed when it matches.
QString StripOptionalChecksum(const QString& reply) {
    if (reply.size() != 7 || !StartsWithA(reply)) return reply;
    std::string s = reply.toLatin1().toStdString();
    if (rnet::StripReplyChecksum(s)) return QString::fromLatin1(s.data(), qsizetype(s.size()));
    return reply;
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
        QString reply = s_.Link()->GetRegister(reg);
        if (StartsWithA(reply)) {
            value = HexValue(reply.mid(1));
            return true;
        }
    }
    return false;
}

bool modKt9::WriteReg(short reg, int value) {
    QString text = RegText(value);
    for (int i = 0; i < kAttempts; ++i)
        if (s_.Link()->SetRegister(reg, text)) return true;
    return false;
}

int32_t modKt9::GetSimple(short reg) {
    LastCallOK = false;
    s_.LinkTimedOut = false;
    if (!Open()) return 0;
    int32_t v = 0;
    if (!ReadReg(reg, v)) return 0;
    LastCallOK = true;
    return v;
}

int32_t modKt9::GetPowerMode() {
    LastCallOK = false;
    s_.LinkTimedOut = false;
    if (!Open()) return 0;
    int32_t v = 0;
    if (!ReadReg(kt9reg::PowerMode, v)) return -1;
    LastCallOK = true;
    return v;
}

bool modKt9::SetPowerMode(int32_t mode) {
    // A mode that failed to read (-1) is never written back.
    if (!Open() || mode == -1) return false;
    return WriteReg(kt9reg::PowerMode, mode);
}

int32_t modKt9::GetPowerOffTime() {
    LastCallOK = false;
    s_.LinkTimedOut = false;
    if (!Open()) return 0;
    int32_t lo = 0, hi = 0;
    if (!ReadReg(kt9reg::PowerOffTimeLow, lo) || !ReadReg(kt9reg::PowerOffTimeHigh, hi)) return 0;
    LastCallOK = true;
    return (lo & 0xFF) + 256 * (hi & 0xFF);
}

bool modKt9::SetPowerOffTime(int16_t seconds) {
    if (!Open()) return false;
    uint16_t v = uint16_t(seconds);
    return WriteReg(kt9reg::PowerOffTimeLow, v & 0xFF) &&
           WriteReg(kt9reg::PowerOffTimeHigh, v >> 8);
}

int32_t modKt9::GetLCDOffTime() {
    return GetSimple(kt9reg::LCDOffTime);
}
bool modKt9::SetLCDOffTime(int32_t seconds) {
    return Open() && WriteReg(kt9reg::LCDOffTime, seconds);
}

bool modKt9::GetBeep() {
    return GetSimple(kt9reg::Beep) != 0;
}
bool modKt9::SetBeep(bool on) {
    return Open() && WriteReg(kt9reg::Beep, on ? 0xFF : 0x00);
}

int32_t modKt9::GetDateMode() {
    return GetSimple(kt9reg::DateMode);
}
bool modKt9::SetDateMode(int16_t mode) {
    return Open() && WriteReg(kt9reg::DateMode, mode);
}

bool modKt9::GetLargeFonts() {
    return GetSimple(kt9reg::LargeFonts) != 0;
}
bool modKt9::SetLargeFonts(bool on) {
    return Open() && WriteReg(kt9reg::LargeFonts, on ? 0xFF : 0x00);
}

uint8_t modKt9::GetRFIDScanTime() {
    uint8_t v = uint8_t(GetSimple(kt9reg::RFIDScanTime));
    return v == 255 ? 10 : v;
}
bool modKt9::SetRFIDScanTime(uint8_t value) {
    return Open() && WriteReg(kt9reg::RFIDScanTime, value == 10 ? 255 : value);
}

uint8_t modKt9::GetNumberOfEvent() {
    return uint8_t(GetSimple(kt9reg::NumberOfEvent));
}
bool modKt9::SetNumberOfEvent(uint8_t value) {
    return Open() && WriteReg(kt9reg::NumberOfEvent, value);
}

uint8_t modKt9::GetScanMode() {
    return uint8_t(GetSimple(kt9reg::ScanMode));
}
bool modKt9::SetScanMode(uint8_t value) {
    return Open() && WriteReg(kt9reg::ScanMode, value);
}

bool modKt9::GetLockDateTime() {
    LastCallOK = false;
    s_.LinkTimedOut = false;
    if (!Open()) return false;
    int32_t v = 0;
    if (!ReadReg(kt9reg::LockDateTime, v)) return false;
    LastCallOK = true;
    return (v & 0xFF) != 255;
}
bool modKt9::SetLockDateTime(bool locked) {
    return Open() && WriteReg(kt9reg::LockDateTime, locked ? 0x00 : 0xFF);
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
            if (!ReadReg(short(kt9reg::UserNameFirst + i), v)) {
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
            if (!ReadReg(short(kt9reg::UserNameFirst + i), v)) {
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
            ok = s_.Link()->SetRegister(short(kt9reg::UserNameFirst + i), RegText(uint8_t(b[i])));
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
    QString reply = s_.Link()->SendRnetCmd(QStringLiteral("I"), false, false);
    if (!StartsWithA(reply)) return QString();
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
    bool ok = StartsWithA(s_.Link()->SendRnetCmd(QStringLiteral("J") + v, false, false));
    LastCallOK = ok;
    return ok;
}

int32_t modKt9::ReadRecordCount() {
    LastCallOK = false;
    s_.LinkTimedOut = false;
    if (!Open()) return 0;
    QString reply;
    for (int i = 0; i < kAttempts; ++i) {
        reply = StripOptionalChecksum(s_.Link()->SendRnetCmd(QStringLiteral("N"), false, false));
        if (reply.size() == 5) break;
        dorlin::Sleep(1);
    }
    if (!StartsWithA(reply)) return 0;
    // Four hexadecimal digits, read as the link control reads them: the reader numbers
    // records up to 32767, beyond four decimal digits.
    int32_t n = HexValue(reply.mid(1, 4));
    LastCallOK = true;
    s_.LinkTimedOut = false;
    return n;
}

QDateTime modKt9::ReadDeviceTime() {
    LastCallOK = false;
    s_.LinkTimedOut = false;
    if (!Open()) return ZeroDate();
    QString reply;
    bool got = false;
    for (int i = 0; i < kAttempts && !got; ++i) {
        reply = s_.Link()->SendRnetCmd(QStringLiteral("T"), false, false);
        got = StartsWithA(reply) && reply.size() >= 15;
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
        if (StartsWithA(s_.Link()->SendRnetCmd(cmd, false, false))) {
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
    QByteArray input;
    bool decided = false, result = false;
    clsTimeout timer;
    for (int attempt = 0; attempt < 2 && !decided; ++attempt) {
        timer.SetTimeout(250);
        link->SetText(frame);
        while (!decided && !timer.WaitTimeout(true)) {
            if (link->RxCount() < 1) continue;
            input.append(link->Text().toLatin1());
            // Decide once a frame is complete: an STX with a CR somewhere after it. A stray
            // CR ahead of the reply does not count against a reader that answers.
            qsizetype stx = input.indexOf(rnet::STX);
            if (stx < 0 || input.indexOf(rnet::CR, stx) < 0) continue;
            decided = true;
            result = access ? input.contains(QByteArray("\x02"
                                                        "A"))
                            : true;
        }
    }
    // A late reply must not reach the next command.
    timer.SetTimeout(50);
    while (!timer.WaitTimeout(false)) {
    }
    if (link->RxCount() >= 1) link->ClearRxBuffer();
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
