#include "dorlin/RnetLink.h"

#include "CJXmodem.h"
#include "CWinSock.h"
#include "dorlin/TickSource.h"

#include "platform/PortPermission.h"

#include <QStringList>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace dorlin {

namespace {
// The longest a wait sleeps between passes; bytes wake it at once.
constexpr int kWaitSliceMs = 2;
} // namespace

namespace {

// The system's reason for a failed serial open, with a hint where one helps.
QString SerialReason(const CJComm::OpenReport& r) {
    if (r.unknownName)
        return QStringLiteral("no such port on this system (`dorlin ports` lists the ports)");
    switch (r.err) {
    case EACCES:
    case EPERM: {
        // The group that owns the device and how to join it (usually "dialout").
        const std::string hint = dorlin::PortPermission(r.path.toStdString()).hint;
        if (hint.empty())
            return QStringLiteral("%1 (join the dialout group: sudo usermod -aG dialout $USER, "
                                  "then log in again)")
                .arg(QString::fromLocal8Bit(strerror(r.err)));
        return QStringLiteral("%1: %2").arg(QString::fromLocal8Bit(strerror(r.err)),
                                            QString::fromStdString(hint));
    }
    case EBUSY:
        return r.holders.isEmpty() ? QStringLiteral("port busy (another program holds it)")
                                   : QStringLiteral("port busy (held by %1)").arg(r.holders);
    case ENOTTY:
        return QStringLiteral("not a serial port");
    default:
        return QString::fromLocal8Bit(strerror(r.err));
    }
}

QString NetReason(int err, int waitMs) {
    switch (err) {
    case ETIMEDOUT:
        return QStringLiteral("no answer within %1 ms").arg(waitMs);
    case EHOSTUNREACH:
        return QStringLiteral("host not found or unreachable");
    case EADDRNOTAVAIL:
        return QStringLiteral("the configuration socket could not be opened");
    default:
        return QString::fromLocal8Bit(strerror(err));
    }
}

} // namespace

const char* RnetReasonText(RnetReason r) {
    switch (r) {
    case RnetReason::Answered:
        return "answered";
    case RnetReason::Refused:
        return "refused";
    case RnetReason::TimedOut:
        return "timed out";
    case RnetReason::ChecksumError:
        return "checksum error";
    case RnetReason::Overflow:
        return "overflow";
    case RnetReason::LinkLost:
        return "link lost";
    }
    return "?";
}

// The state of the exchange in flight (Start .. Finish).
struct RnetLink::PendingExchange {
    RnetRequest request;
    std::string frame;
    rnet::ReplyCollector collector;
    bool wasQuiet = false; // the channel's quiet mark before the exchange
    uint32_t drops = 0;    // the channel's drop count at the start
    uint32_t losses = 0;   // its loss count at the start
    uint32_t start = 0;    // when the (first) frame went out
    uint32_t lastSent = 0; // when the last copy went out
    int copies = 0;        // frames written (Repeat adds one)
    int written = 0;       // bytes of the first frame that went out
    int wait = 0;          // the longest wait; < 0: none of its own
    bool bareCr = false;   // a CR before any STX ended the wait
    bool timedOut = false; // the wait ran out
    bool Lost(CJXmodem& c) const { return c.LossCount() != losses || !c.IsOpen(); }
};

RnetLink::RnetLink() : channel_(std::make_unique<CJXmodem>()) {
    channel_->Init(nullptr, timeoutMs_);
}

RnetLink::~RnetLink() = default;

void RnetLink::DropPending() {
    // An exchange in flight ends with the line it ran on (its Finish says "link lost").
    if (!pending_) return;
    channel_->SetQuiet(pending_->wasQuiet);
    pending_.reset();
}

bool RnetLink::Open(const QString& name) {
    DropPending();
    Forget();
    openError_.clear();
    openWarning_.clear();
    openErrorCode_ = 0;
    const bool ok = channel_->Open(name);
    if (name == QLatin1String("COM0")) {
        const QString where = QStringLiteral("COM0 (device server %1:%2)")
                                  .arg(channel_->Net().address)
                                  .arg(channel_->Net().port);
        if (!ok) {
            openErrorCode_ = channel_->Net().connectResult ? channel_->Net().connectResult : EIO;
            openError_ = where + ": " + NetReason(openErrorCode_, 3000);
        }
        return ok;
    }
    const CJComm::OpenReport& r = channel_->LastOpen();
    const QString where =
        r.path.isEmpty() || r.path == name ? name : QStringLiteral("%1 (%2)").arg(name, r.path);
    if (!ok) {
        openErrorCode_ = r.err ? r.err : EIO;
        openError_ = where + ": " + SerialReason(r);
        return false;
    }
    QStringList notes;
    if (!r.sharedWith.isEmpty())
        notes << QStringLiteral("%1 is also open in %2, which may take replies meant for us")
                     .arg(where, r.sharedWith);
    if (channel_->RefusedFields())
        notes << QStringLiteral("%1 refused %2").arg(where, channel_->RefusedText());
    openWarning_ = notes.join('\n');
    return true;
}

void RnetLink::Close() {
    DropPending();
    channel_->CloseAny();
    Forget();
}

namespace {
// The monitor note for a port that closed or a connection that ended before the reply came
// (CJComm::LastLoss; 0 for a port the host closed or never opened).
std::string LossNote(int loss) {
    return loss == CJComm::LinkReset ? "$CONNECTION RESET" : "$PORT CLOSED";
}
} // namespace

bool RnetLink::IsOpen() const {
    return channel_->IsOpen();
}

void RnetLink::SetTarget(const QString& address, int port) {
    channel_->SetTarget(address, port);
}

void RnetLink::SetOwner(QObject* owner) {
    channel_->SetOwner(owner);
}

bool RnetLink::SetBaud(long rate) {
    return channel_->SetBaud(rate);
}

bool RnetLink::SetLine(int parity, int dataBits, int stopBits) {
    return channel_->SetLineParams(parity, dataBits, stopBits);
}

void RnetLink::SetRTS(bool on) {
    channel_->SetRTS(on);
}

void RnetLink::SetDTR(bool on) {
    channel_->SetDTR(on);
}

QString RnetLink::EnumPort(int index) {
    return channel_->EnumPort(index);
}

void RnetLink::WriteRaw(const std::string& bytes) {
    Settle();
    channel_->Write(reinterpret_cast<const uint8_t*>(bytes.data()), int(bytes.size()));
}

int RnetLink::Available() {
    // Network bytes wait in the socket until someone looks.
    if (channel_->InCount() == 0 && channel_->NetConnected()) channel_->PollNetwork(0);
    return channel_->InCount();
}

std::string RnetLink::ReadAvailable() {
    const int n = Available();
    if (n <= 0) return {};
    std::string b(size_t(n), '\0');
    const int got = channel_->Read(reinterpret_cast<uint8_t*>(b.data()), n);
    b.resize(size_t(std::max(got, 0)));
    return b;
}

void RnetLink::ClearRx() {
    channel_->ClearRx();
}

void RnetLink::WaitForBytes(int ms) {
    if (Available() > 0) return;
    channel_->WaitRx(channel_->RxSeq(), ms);
}

void RnetLink::SetTimeoutMs(int ms) {
    timeoutMs_ = ms;
    channel_->SetCommandTimeout(ms);
}

int RnetLink::WaitFor(int timeoutMs) const {
    const int wanted = timeoutMs > 0 ? timeoutMs : timeoutMs_;
    // A short wait asked on purpose (a probe) is widened as much as any other: a reader
    // that answers late answers late to everything.
    return std::max(wanted, widenedMs_);
}

void RnetLink::Forget() {
    owed_ = false;
    silent_ = false;
    widenedMs_ = 0;
}

void RnetLink::Owe(uint32_t sentAt) {
    owed_ = true;
    owedSince_ = sentAt;
}

void RnetLink::WaitBytes(uint64_t seenSeq, int ms) {
    channel_->WaitRx(seenSeq, ms);
}

void RnetLink::Settle() {
    if (!owed_) return;
    owed_ = false;
    if (!channel_->IsOpen()) return;
    // Listen for the late reply: once it is whole it is dropped and the reader's reply time
    // noted; nothing until the limit (or, on a line already seen dead, a short quiet time)
    // and the line counts as quiet.
    rnet::ReplyCollector collector(rnet::CollectorOptions{false, false, 0});
    const uint32_t losses = channel_->LossCount();
    const uint32_t start = GetTickCount();
    const uint32_t limit =
        silent_ ? uint32_t(kQuietMs)
                : uint32_t(std::max<int64_t>(0, int64_t(kLateReplyLimitMs) -
                                                    int64_t(uint32_t(start - owedSince_))));
    uint32_t lastFrame = 0;
    bool got = false;
    for (;;) {
        // What is already queued is looked at first: a late reply that came while nobody
        // asked is still a late reply, however long ago its request went out.
        if (channel_->InCount() == 0 && channel_->LossCount() != losses) return;
        const uint64_t seq = channel_->RxSeq();
        if (pump) pump();
        if (!channel_->IsOpen()) return;
        const int n = channel_->InCount();
        for (int i = 0; i < n; ++i) {
            uint8_t c = 0;
            if (channel_->Read(&c, 1) != 1) break;
            if (collector.Feed(char(c)) && collector.Complete()) {
                const uint32_t late = GetTickCount() - owedSince_;
                if (!got) {
                    widenedMs_ =
                        std::min(kMaxWaitMs, std::max(widenedMs_, int(late + late / 4 + 100)));
                    Note(0, "$LATE REPLY " + std::to_string(late) + " ms (discarded)");
                }
                got = true;
                lastFrame = GetTickCount();
                collector.Reset();
            }
        }
        const uint32_t now = GetTickCount();
        if (got ? now - lastFrame >= uint32_t(kQuietMs) / 2 : now - start >= limit) break;
        if (n <= 0) WaitBytes(seq, kWaitSliceMs);
    }
    // Quiet up to the limit: the line is dead (the next settle waits only a short while).
    // A limit already past when the settle began says nothing about the line.
    silent_ = !got && limit > 0;
    channel_->ClearRx();
}

RnetResult RnetLink::Exchange(const RnetRequest& request) {
    if (Start(request)) {
        while (!Poll()) {
            const uint64_t seq = channel_->RxSeq();
            if (pump) pump();
            if (channel_->InCount() == 0) WaitBytes(seq, kWaitSliceMs);
        }
    }
    return Finish();
}

bool RnetLink::Start(const RnetRequest& request) {
    if (pending_) Finish();
    auto p = std::make_unique<PendingExchange>();
    p->request = request;
    rnet::CollectorOptions options;
    options.crBeforeStxEnds = request.crBeforeStxEnds;
    options.keepInnerStx = request.keepInnerStx;
    p->collector = rnet::ReplyCollector(options);
    // A device server's reconnect waits while the exchange runs: made meanwhile, it would
    // empty the queue and lose a reply that came just before the old connection ended.
    p->wasQuiet = channel_->Quiet();
    channel_->SetQuiet(true);
    pending_ = std::move(p);
    PendingExchange& x = *pending_;
    Settle();
    x.frame = rnet::BuildFrame(request.text, request.txChecksum);
    x.wait = request.timeoutMs < 0 ? -1 : WaitFor(request.timeoutMs);
    // Nothing is sent on a closed line, and nothing is shown as sent.
    if (!channel_->IsOpen()) return false;
    channel_->ClearTx();
    channel_->ClearRx();
    x.drops = channel_->RxDrops();
    // A port that goes away during the exchange ends it at once: nothing can answer. The
    // monitor shows what really went out.
    x.losses = channel_->LossCount();
    x.written = x.Lost(*channel_)
                    ? 0
                    : channel_->Write(reinterpret_cast<const uint8_t*>(x.frame.data()),
                                      int(x.frame.size()));
    if (x.written > 0) {
        Note(1, x.frame.substr(0, size_t(x.written)));
        x.copies = 1;
    }
    x.start = x.lastSent = GetTickCount();
    return x.written > 0;
}

bool RnetLink::Repeat() {
    if (!pending_ || pending_->copies == 0 || pending_->collector.Complete()) return false;
    PendingExchange& x = *pending_;
    if (x.Lost(*channel_)) return false;
    const int n =
        channel_->Write(reinterpret_cast<const uint8_t*>(x.frame.data()), int(x.frame.size()));
    if (n <= 0) return false;
    Note(1, x.frame.substr(0, size_t(n)));
    ++x.copies;
    x.lastSent = GetTickCount();
    return true;
}

bool RnetLink::ReplyBegun() const {
    return pending_ && pending_->collector.SeenStx() && !pending_->collector.Complete();
}

bool RnetLink::Poll(int* newBytes) {
    if (newBytes) *newBytes = 0;
    if (!pending_) return true;
    PendingExchange& x = *pending_;
    if (x.copies == 0 || x.collector.Complete() || x.bareCr || x.timedOut) return true;
    // Looked at before anything else: a lost connection is not waited for while it is being
    // made again. Network bytes wait in the socket until someone looks.
    if (channel_->InCount() == 0 && channel_->NetConnected()) channel_->PollNetwork(0);
    if (channel_->InCount() == 0 && x.Lost(*channel_)) return true;
    const int n = channel_->InCount();
    bool lastWasCr = false;
    for (int i = 0; i < n; ++i) {
        uint8_t c = 0;
        if (channel_->Read(&c, 1) != 1) break;
        if (newBytes) ++*newBytes;
        lastWasCr = c == uint8_t(rnet::CR);
        x.collector.Feed(char(c));
        if (x.collector.Complete()) return true; // the rest stays queued
    }
    if (lastWasCr && x.request.crBeforeStxEnds) {
        x.bareCr = true;
        return true;
    }
    if (x.wait >= 0 && int32_t(GetTickCount() - x.start) >= int32_t(x.wait)) {
        x.timedOut = true;
        return true;
    }
    return false;
}

RnetResult RnetLink::Finish() {
    RnetResult res;
    if (!pending_) {
        res.reason = RnetReason::LinkLost;
        return res;
    }
    const std::unique_ptr<PendingExchange> p = std::move(pending_);
    PendingExchange& x = *p;
    channel_->SetQuiet(x.wasQuiet);
    if (x.copies == 0) {
        res.reason = RnetReason::LinkLost;
        Note(0, LossNote(channel_->LastLoss()));
        return res;
    }
    res.elapsedMs = GetTickCount() - x.start;
    const bool complete = x.collector.Complete();
    if (complete) {
        silent_ = false;
        // The replies to the other copies of a repeated request may still come.
        if (x.copies > 1) Owe(x.lastSent);
    } else if (!x.bareCr) {
        // The reply may still come: the next request waits for it first.
        Owe(x.lastSent);
    }
    const bool overrun = channel_->RxDrops() != x.drops || x.collector.Overflowed();
    if (!complete && x.Lost(*channel_)) {
        res.reason = RnetReason::LinkLost;
        Note(0, LossNote(channel_->LastLoss()));
        return res;
    }
    if (overrun) {
        // Bytes are missing; what was collected may be stitched from several frames.
        res.reason = RnetReason::Overflow;
        Note(0, "$OVERRUN");
        return res;
    }
    if (!complete || x.collector.Text().empty()) {
        res.reason = RnetReason::TimedOut;
        Note(0, "$TIMEOUT");
        return res;
    }
    res.raw = x.collector.Text();
    Note(2, res.raw);
    std::string text = res.raw;
    if (x.request.rxChecksum) {
        bool ok;
        if (x.request.checksumOnAcceptedOnly) {
            ok = rnet::StripReplyChecksum(text);
        } else {
            ok = rnet::TrailingChecksumOk(text, true);
            if (ok) text.resize(text.size() - 2);
        }
        if (!ok) {
            res.reason = RnetReason::ChecksumError;
            Note(0, "$CHKSUM ERROR");
            return res;
        }
    }
    res.text = std::move(text);
    res.reason =
        !res.text.empty() && res.text[0] == 'A' ? RnetReason::Answered : RnetReason::Refused;
    return res;
}

long RnetLink::Baud() const {
    return channel_->Baud();
}

} // namespace dorlin
