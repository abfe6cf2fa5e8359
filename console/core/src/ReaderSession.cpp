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

constexpr uint32_t kMinQuietMs = 100;

bool AllDigits(const QString& s) {
    for (QChar c : s)
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
    return true;
}
bool AllHex(const QString& s) {
    for (QChar c : s)
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
              (c >= QLatin1Char('A') && c <= QLatin1Char('F'))))
            return false;
    return true;
}
} // namespace

namespace shape {
bool Accepted(const QString& r) {
    return r == QLatin1String("A");
}
bool Version(const QString& r) {
    return r.size() >= 2 && r[0] == QLatin1Char('A');
}
bool Register(const QString& r) {
    return r.size() == 3 && r[0] == QLatin1Char('A') && AllHex(r.mid(1));
}
bool Clock(const QString& r) {
    return r.size() >= 15 && r[0] == QLatin1Char('A') && AllDigits(r.mid(1, 14));
}
bool MachineId(const QString& r) {
    return (r.size() == 2 || r.size() == 3) && r[0] == QLatin1Char('A') && AllHex(r.mid(1));
}
bool RecordCount(const QString& r) {
    QByteArray b = r.toLatin1();
    return rnet::RecordCountFromReply(std::string_view(b.constData(), size_t(b.size())))
        .has_value();
}
bool Record(const QString& r) {
    return r.size() >= 19 && r[0] == QLatin1Char('A') && AllDigits(r.mid(1, 14)) &&
           r[15] == QLatin1Char(' ');
}
bool Refusal(const QString& r) {
    return !r.isEmpty() && (r[0] == QLatin1Char('N') || r[0] == QLatin1Char('I'));
}
} // namespace shape

ReaderSession::ReaderSession(IReaderLink* link) : link_(link) {
    if (link_)
        link_->SetMonitor(
            [this](short index, const QString& message) { OnRnetMonitor(index, message); });
}

ReaderSession::~ReaderSession() {
    if (link_) link_->SetMonitor(nullptr);
}

void ReaderSession::OnRnetMonitor(short index, const QString& message) {
    // A port that closed or a connection that ended before the reply is no answer either.
    if (index == 0 &&
        (message == QLatin1String("$TIMEOUT") || message == QLatin1String("$PORT CLOSED") ||
         message == QLatin1String("$CONNECTION RESET"))) {
        blnTimeout = true;
        LinkTimedOut = true;
    }
}

bool ReaderSession::Exchange(const QString& szCMD, bool bTxChkSum, bool bRxChkSum,
                             long lSkipSTXCount, long lTimeout, QByteArray& reply) {
    blnTimeout = false;
    BusyGuard busy(iCmdBusy);
    reply.clear();
    lastReason = dorlin::RnetReason::LinkLost;
    if (!link_ || !link_->PortOpen()) return false;

    // The console's reading of a reply: a CR before the STX is noise, an STX inside the
    // reply is data on request, and a reply checked for its checksum must carry one.
    const QByteArray cmd = szCMD.toLatin1();
    dorlin::RnetRequest req;
    req.text.assign(cmd.constData(), size_t(cmd.size()));
    req.txChecksum = bTxChkSum;
    req.rxChecksum = bRxChkSum;
    req.checksumOnAcceptedOnly = false;
    req.crBeforeStxEnds = false;
    req.keepInnerStx = lSkipSTXCount > 0;
    req.timeoutMs = int(lTimeout != 0 ? lTimeout : link_->RnetTimeout());
    const dorlin::RnetResult res = link_->Exchange(req);
    lastReason = res.reason;
    if (res.Replied() || res.reason == dorlin::RnetReason::ChecksumError)
        NoteLatency(res.elapsedMs);
    reply = QByteArray(res.text.data(), qsizetype(res.text.size()));
    if (!reply.isEmpty()) return true;
    blnTimeout = res.reason == dorlin::RnetReason::TimedOut;
    return false;
}

void ReaderSession::NoteLatency(uint32_t ms) {
    latency_ = std::max(latency_, ms);
}

void ReaderSession::DrainUntilQuiet() {
    if (!link_ || !link_->PortOpen()) return;
    // A reply still owed to a request that timed out is the link's to wait for: it notes
    // how late it came and follows the reader.
    link_->Settle();
    const uint32_t quiet = std::max<uint32_t>(kMinQuietMs, latency_ + latency_ / 4 + 20);
    const uint32_t limit = uint32_t(std::max<long>(link_->RnetTimeout(), 0)) + quiet;
    const uint32_t start = dorlin::GetTickCount();
    uint32_t last = start;
    for (;;) {
        const uint32_t now = dorlin::GetTickCount();
        if (now - last >= quiet || now - start >= limit) break;
        if (link_->RxCount() > 0) {
            link_->Text();
            last = dorlin::GetTickCount();
            continue;
        }
        link_->WaitForRx(5);
    }
    link_->ClearRxBuffer();
}

QString ReaderSession::Ask(const std::function<QString()>& send, const Shape& answer,
                           int attempts) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (!link_ || !link_->PortOpen()) return QString();
        const uint32_t start = dorlin::GetTickCount();
        QString reply = send();
        if (answer(reply) || shape::Refusal(reply)) {
            NoteLatency(dorlin::GetTickCount() - start);
            return reply;
        }
        // No reply, a damaged one or one that answers something else: whatever is still on
        // its way must not answer the next command.
        DrainUntilQuiet();
        if (reply.isEmpty()) return QString();
    }
    return QString();
}

QString ReaderSession::SendRnetCmd(const QString& szCMD, bool bTxChkSum, bool bRxChkSum,
                                   long lSkipSTXCount, long lTimeout) {
    QByteArray reply;
    Exchange(szCMD, bTxChkSum, bRxChkSum, lSkipSTXCount, lTimeout, reply);
    return QString::fromLatin1(reply);
}

bool ReaderSession::SetPassword(const QString& szPassword) {
    return SendRnetCmd(QStringLiteral("P") + szPassword, false, false, 0, 0)
        .startsWith(QLatin1Char('A'));
}

} // namespace pelmar
