#include "pelmar/core/ReaderSession.h"

#include "pelmar/core/clsTimeout.h"

#include "dorlin/Rnet.h"
#include "dorlin/TickSource.h"

namespace pelmar {

void IReaderLink::WaitForRx(uint32_t ms) {
    dorlin::Sleep(ms);
}

namespace {
struct BusyGuard {
    explicit BusyGuard(int& n) : n_(n) { ++n_; }
    ~BusyGuard() { --n_; }
    int& n_;
};

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}
} // namespace

ReaderSession::ReaderSession(IReaderLink* link) : link_(link) {
    if (link_)
        link_->SetMonitor(
            [this](short index, const QString& message) { OnRnetMonitor(index, message); });
}

ReaderSession::~ReaderSession() {
    if (link_) link_->SetMonitor(nullptr);
}

void ReaderSession::OnRnetMonitor(short index, const QString& message) {
    if (index == 0 && message == QLatin1String("$TIMEOUT")) {
        blnTimeout = true;
        LinkTimedOut = true;
    }
}

uint8_t ReaderSession::CalcChkSum(const QString& szData, long lLength) {
    QByteArray bytes = szData.toLatin1();
    qsizetype n = lLength < 1 ? bytes.size() : std::min<qsizetype>(lLength, bytes.size());
    uint8_t sum = 0;
    for (qsizetype i = 0; i < n; ++i)
        sum = uint8_t(sum + uint8_t(bytes[i]));
    return sum;
}

bool ReaderSession::Exchange(const QString& szCMD, bool bTxChkSum, bool bRxChkSum,
                             long lSkipSTXCount, long lTimeout, QByteArray& reply) {
    blnTimeout = false;
    BusyGuard busy(iCmdBusy);
    reply.clear();
    if (!link_ || !link_->PortOpen()) return false;

    link_->ClearRxBuffer();
    QByteArray cmd = szCMD.toLatin1();
    std::string frame =
        rnet::BuildFrame(std::string_view(cmd.constData(), size_t(cmd.size())), bTxChkSum);
    link_->SetText(QString::fromLatin1(frame.data(), qsizetype(frame.size())));

    clsTimeout timer;
    timer.SetSleeper([this](uint32_t ms) { link_->WaitForRx(ms); });
    timer.SetTimeout(int32_t(lTimeout != 0 ? lTimeout : link_->RnetTimeout()));
    bool started = false, complete = false, expired = false;
    while (!complete) {
        if (timer.WaitTimeout(true)) {
            expired = true;
            break;
        }
        if (link_->RxCount() <= 0) continue;
        QByteArray got = link_->Text().toLatin1();
        for (char c : got) {
            if (c == rnet::STX) {
                if (!started) {
                    started = true;
                    reply.clear();
                } else if (lSkipSTXCount > 0) {
                    reply.append(c);
                } else {
                    reply.clear();
                }
            } else if (c == rnet::CR) {
                if (started) {
                    // Bytes behind the CR belong to nobody; the next exchange clears them.
                    complete = true;
                    break;
                }
            } else {
                reply.append(c);
            }
        }
    }

    if (complete && bRxChkSum) {
        if (reply.size() < 3) {
            reply.clear();
        } else {
            int hi = HexDigit(reply[reply.size() - 2]), lo = HexDigit(reply[reply.size() - 1]);
            uint8_t want =
                rnet::CheckSum(std::string_view(reply.constData(), size_t(reply.size() - 2)));
            if (hi >= 0 && lo >= 0 && uint8_t(hi * 16 + lo) == want)
                reply.chop(2);
            else
                reply.clear();
        }
    }
    if (complete && !reply.isEmpty()) {
        blnTimeout = false;
        return true;
    }
    reply.clear();
    blnTimeout = expired;
    return false;
}

QString ReaderSession::SendRnetCmd(const QString& szCMD, bool bTxChkSum, bool bRxChkSum,
                                   long lSkipSTXCount, long lTimeout) {
    QByteArray reply;
    Exchange(szCMD, bTxChkSum, bRxChkSum, lSkipSTXCount, lTimeout, reply);
    return QString::fromLatin1(reply);
}

QByteArray ReaderSession::SendRnetCmdEx(const QString& szCMD, bool bTxChkSum, bool bRxChkSum,
                                        long lSkipSTXCount) {
    QByteArray reply;
    Exchange(szCMD, bTxChkSum, bRxChkSum, lSkipSTXCount, 0, reply);
    return reply;
}

bool ReaderSession::SetPassword(const QString& szPassword) {
    return SendRnetCmd(QStringLiteral("P") + szPassword, false, false, 0, 0)
        .startsWith(QLatin1Char('A'));
}

} // namespace pelmar
