#include "pelmar/discovery/ScanEngine.h"

#include "ScanRules.h"

#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <dorlin/PortWatcher.h>
#include <dorlin/RnetLink.h>

namespace pelmar::discovery {

namespace {
constexpr int kNetworkPort = 1001; // the device server's data port
constexpr long kDefaultBaud = 19200;
} // namespace

struct ScanEngine::Candidate {
    QString row;
    QString status;
    bool network = false;
    int number = 0;   // COM number (serial)
    QString address;  // dotted address (network)
    QString path;     // device path as the port list names it
    QString resolved; // the device behind it, for removal notices by node
    std::unique_ptr<dorlin::RnetLink> link;

    bool sawData = false; // a reply began (STX) at some point
    bool done = false;
    bool found = false;
    bool opened = false; // we opened it and it was open
    bool probePending = false;
    bool removed = false;
};

ScanEngine::ScanEngine(const ScanParams& params, QObject* parent, TextLookup text)
    : QObject(parent), params_(params), text_(text ? std::move(text) : TextLookup(EnglishText)) {
    bauds_ = ParseBaudList(params_.baudList);
    if (bauds_.isEmpty()) bauds_ << kDefaultBaud;
    timer_.setInterval(kTickMs);
    connect(&timer_, &QTimer::timeout, this, &ScanEngine::Tick);
    probeTimer_.setSingleShot(true);
    connect(&probeTimer_, &QTimer::timeout, this, [this] {
        if (shuttingDown_) return;
        for (int i = 0; i < Count(); ++i)
            if (cands_[size_t(i)]->probePending && !cands_[size_t(i)]->done) SendProbe(i);
    });
    replyTimer_.setInterval(kReplyPollMs);
    connect(&replyTimer_, &QTimer::timeout, this, &ScanEngine::TakeReplies);
    noneTimer_.setSingleShot(true);
    connect(&noneTimer_, &QTimer::timeout, this, [this] {
        if (!shuttingDown_) Cancel();
    });
    watcher_ = std::make_unique<dorlin::PortWatcher>();
    connect(watcher_.get(), &dorlin::PortWatcher::PortArrived, this, &ScanEngine::PortArrived);
    connect(watcher_.get(), &dorlin::PortWatcher::PortRemoved, this, &ScanEngine::PortRemoved);
    clock_.start();
}

ScanEngine::~ScanEngine() {
    timer_.stop();
    replyTimer_.stop();
    noneTimer_.stop();
    shuttingDown_ = true;
    ReleaseInstances();
}

QString ScanEngine::Text(const char* id, const char* fallback) const {
    return text_(QString::fromLatin1(id), QString::fromUtf8(fallback));
}

QString ScanEngine::FoundMarker() const {
    return discovery::FoundMarker(text_);
}

long ScanEngine::CurrentBaud() const {
    return bauds_.value(std::clamp(baudIndex_, 0, int(bauds_.size()) - 1));
}

QString ScanEngine::RowText(int i) const {
    return i >= 0 && i < Count() ? cands_[size_t(i)]->row : QString();
}
QString ScanEngine::Status(int i) const {
    return i >= 0 && i < Count() ? cands_[size_t(i)]->status : QString();
}
bool ScanEngine::IsFound(int i) const {
    return i >= 0 && i < Count() && cands_[size_t(i)]->found;
}
bool ScanEngine::IsDone(int i) const {
    return i >= 0 && i < Count() && cands_[size_t(i)]->done;
}
dorlin::RnetLink* ScanEngine::Link(int i) const {
    return i >= 0 && i < Count() ? cands_[size_t(i)]->link.get() : nullptr;
}

// ---- candidate list ------------------------------------------------------------------------

void ScanEngine::ReleaseInstances() {
    for (auto& c : cands_)
        if (c->link) c->link->Close();
    cands_.clear();
}

void ScanEngine::Refresh() {
    if (shuttingDown_) return;
    if (busyDepth_ > 0) {
        // A port is being opened right now; its instance must stay until that returns.
        refreshRequested_ = true;
        if (!timer_.isActive()) timer_.start();
        return;
    }
    ++busyDepth_;
    RefreshNow();
    --busyDepth_;
}

void ScanEngine::RefreshNow() {
    timer_.stop();
    noneTimer_.stop();
    complete_ = false;
    result_.clear(); // a fresh scan has no choice yet
    hasResult_ = false;
    bool anyWasOpen = false;
    for (auto& c : cands_)
        anyWasOpen = anyWasOpen || (c->link && c->link->IsOpen());
    ReleaseInstances();

    // Serial candidates in the order the port list names them. One listing
    // gives names and device paths together; asking index by index would walk the system's
    // devices once per index.
    QStringList serial;
    QHash<int, QString> paths;
    for (const dorlin::PortInfo& p : dorlin::SerialPorts()) {
        if (!p.name.startsWith(QLatin1String("COM"), Qt::CaseInsensitive)) continue;
        serial << p.name;
        const int n = p.name.mid(3).toInt();
        if (n > 0) paths[n] = p.path;
    }

    for (const QString& name : serial) {
        bool ok = false;
        const int n = name.mid(3).toInt(&ok);
        if (!ok || n <= 0 || n > 32767) continue; // COM0 is the network path
        auto c = std::make_unique<Candidate>();
        c->number = n;
        c->row = QStringLiteral("COM%1").arg(n);
        c->status = QStringLiteral("Checking...");
        c->path = paths.value(n);
        if (!c->path.isEmpty()) c->resolved = QFileInfo(c->path).canonicalFilePath();
        cands_.push_back(std::move(c));
    }
    for (const QString& address : ParseIpList(params_.ipList)) {
        auto c = std::make_unique<Candidate>();
        c->network = true;
        c->address = address;
        c->row = QStringLiteral("IP:%1:%2").arg(address).arg(kNetworkPort);
        c->status = Text("AUTOSCAN006", "Checking...");
        cands_.push_back(std::move(c));
    }
    for (auto& c : cands_) {
        // The link control's line: no parity, 8 data bits, 1 stop bit. Its bytes are looked
        // at on every tick; the link posts no notifications.
        c->link = std::make_unique<dorlin::RnetLink>();
        c->link->SetLine(0, 8, 1);
        if (c->network) c->link->SetTarget(c->address, kNetworkPort);
    }
    emit ListReset();
    ResetScan();
    // Ports that were open get a moment before they are opened again.
    if (anyWasOpen) holdUntil_ = clock_.elapsed() + kResetPauseMs;
    lastTick_ = clock_.elapsed();
    timer_.start();
    replyTimer_.start();
}

void ScanEngine::ResetScan() {
    for (auto& c : cands_)
        c->done = c->found = c->sawData = c->probePending = false;
    foundCount_ = 0;
    baudIndex_ = 0;
    bursts_ = 0;
    burstWait_ = 0;
    windowLeft_ = kWindowMs;
    probeTimer_.stop();
    holdUntil_ = 0;
    removed_.clear();
}

// ---- the tick ------------------------------------------------------------------------------

void ScanEngine::Tick() {
    if (inTick_ || shuttingDown_) return;
    inTick_ = true;
    ++busyDepth_;
    const qint64 now = clock_.elapsed();
    const int elapsed = int(std::max<qint64>(0, now - lastTick_));

    if (refreshRequested_) {
        refreshRequested_ = false;
        RefreshNow();
    } else {
        // A serial port whose device went away reads closed: treat it like a removal notice.
        for (auto& c : cands_)
            if (!c->network && c->opened && !c->removed && !c->link->IsOpen()) removed_ << c->row;
        HandleRemovals();
        if (now >= holdUntil_ && !complete_) {
            // What arrived since the last tick, on every port.
            for (int i = 0; i < Count(); ++i)
                TakeReply(i);

            burstWait_ -= elapsed;
            bool ended = false;
            if (burstWait_ <= 0 && bursts_ < kBursts) {
                bool anyUndone = false;
                SendBurst(anyUndone);
                if (!anyUndone) {
                    Complete();
                    ended = true;
                }
            }
            if (!ended && !shuttingDown_) {
                windowLeft_ -= elapsed;
                if (windowLeft_ <= 0) {
                    EndOfBaudRate();
                } else {
                    bool allDone = Count() > 0;
                    for (auto& c : cands_)
                        allDone = allDone && c->done;
                    if (allDone) Complete();
                }
            }
        }
    }

    lastTick_ = clock_.elapsed(); // time spent inside the tick (a connect) does not count
    if (complete_) timer_.stop(); // it may have run only to deliver a deferred close
    --busyDepth_;
    inTick_ = false;
    if (closeRequested_ && busyDepth_ == 0) {
        closeRequested_ = false;
        emit CloseRequested();
    }
}

void ScanEngine::SendBurst(bool& anyUndone) {
    const long rate = CurrentBaud();
    anyUndone = false;
    std::vector<int> network;
    bool opened = false;
    for (int i = 0; i < Count(); ++i) {
        Candidate& c = *cands_[size_t(i)];
        if (c.done) continue;
        anyUndone = true;
        if (c.link->Baud() != rate) c.link->SetBaud(rate);
        if (c.link->IsOpen()) {
            // A reply on its way is awaited; otherwise the probe goes out again.
            if (!c.link->ReplyBegun() && !c.probePending) SendProbe(i);
        } else if (c.network) {
            network.push_back(i); // connecting waits; the serial ports go first
        } else {
            c.link->Open(QStringLiteral("COM%1").arg(c.number));
            if (c.link->IsOpen()) {
                c.opened = true;
                c.probePending = true;
                opened = true;
            } else if (c.link->OpenErrorCode() == EBUSY) {
                // Another program (or window) holds the port: no reader can be asked there.
                Finish(i,
                       FillIn(Text("AUTOSCAN017", "COM%d is in use"), QString::number(c.number)));
            } else {
                Finish(i,
                       FillIn(Text("AUTOSCAN014", "Can't open COM%d"), QString::number(c.number)));
            }
        }
    }
    // Freshly opened ports all get their probe together after one short pause; the timer
    // also runs while a device server is being connected below.
    if (opened) probeTimer_.start(kOpenPauseMs);
    opened = false;
    for (int i : network) {
        if (shuttingDown_ || refreshRequested_) break;
        Candidate& c = *cands_[size_t(i)];
        c.link->Open(QStringLiteral("COM0")); // the device server set by SetTarget
        if (c.link->IsOpen()) {
            c.opened = true;
            c.probePending = true;
            opened = true;
        } else {
            Finish(i, FillIn(Text("AUTOSCAN013", "Can't open IP: %s"),
                             c.address + QLatin1Char(':') + QString::number(kNetworkPort)));
        }
    }
    if (opened) probeTimer_.start(kOpenPauseMs);
    burstWait_ = kBurstGapMs;
    ++bursts_;
}

void ScanEngine::SendProbe(int i) {
    Candidate& c = *cands_[size_t(i)];
    c.probePending = false;
    if (!c.link->IsOpen()) return; // gone meanwhile: the removal check reports it
    if (c.link->Pending()) {
        // The same request again, for a reader that missed the frame: a reply to either
        // copy answers it.
        c.link->Repeat();
    } else {
        // The probe is framed as STX + command + CR, without a checksum; a CR before the
        // reply's STX is noise. The scan's window, not the exchange, bounds the wait.
        const QByteArray command = params_.probeCommand.toLatin1();
        dorlin::RnetRequest request;
        request.text.assign(command.constData(), size_t(command.size()));
        request.crBeforeStxEnds = false;
        request.timeoutMs = -1;
        c.link->Start(request);
    }
    SetStatus(i, FillIn(Text("AUTOSCAN012", "Check in %dbps"), QString::number(CurrentBaud())));
}

void ScanEngine::TakeReplies() {
    if (shuttingDown_ || complete_ || clock_.elapsed() < holdUntil_) return;
    ++busyDepth_; // a close asked meanwhile waits for the tick
    for (int i = 0; i < Count(); ++i)
        TakeReply(i);
    --busyDepth_;
}

void ScanEngine::TakeReply(int i) {
    Candidate& c = *cands_[size_t(i)];
    dorlin::RnetLink& link = *c.link;
    if (c.done || !link.Pending()) {
        // Replies to the surplus probes of a row that has its answer are read and dropped;
        // data keeps the window open for a while all the same.
        if (link.IsOpen() && link.Available() > 0) {
            windowLeft_ = std::max(windowLeft_, kRearmMs);
            link.ReadAvailable();
        }
        return;
    }
    int got = 0;
    const bool ended = link.Poll(&got);
    // Data keeps the window open for a while, but never shortens it.
    if (got > 0) windowLeft_ = std::max(windowLeft_, kRearmMs);
    if (link.ReplyBegun()) c.sawData = true;
    if (!ended) return;
    const dorlin::RnetResult r = link.Finish();
    switch (r.reason) {
    case dorlin::RnetReason::Answered:
    case dorlin::RnetReason::Refused:
    case dorlin::RnetReason::TimedOut: { // without a wait limit: a reply with no text
        c.sawData = true;
        const QString reply = QString::fromLatin1(r.text.data(), qsizetype(r.text.size()));
        const ReplyVerdict v = EvaluateReply(reply, params_, link.Baud(), text_);
        Finish(i, v.status, v.found);
        break;
    }
    case dorlin::RnetReason::Overflow:
        // Bytes were lost: what came cannot be read as a reply.
        Finish(i, Text("AUTOSCAN016", "Unknown Error"));
        break;
    default:
        // The line went away: the removal check (serial) reports it, or the next burst
        // connects again (network).
        break;
    }
}

void ScanEngine::Finish(int i, const QString& status, bool found) {
    Candidate& c = *cands_[size_t(i)];
    c.done = true;
    c.probePending = false;
    if (found && !c.found) {
        c.found = true;
        ++foundCount_;
    }
    SetStatus(i, status);
}

void ScanEngine::SetStatus(int i, const QString& status) {
    cands_[size_t(i)]->status = status;
    emit RowChanged(i);
}

void ScanEngine::HandleRemovals() {
    if (removed_.isEmpty()) return;
    for (int i = 0; i < Count(); ++i) {
        Candidate& c = *cands_[size_t(i)];
        if (c.network || c.removed || !removed_.contains(c.row, Qt::CaseInsensitive)) continue;
        c.removed = true;
        c.opened = false;
        if (c.found) {
            // A reader that is gone can no longer be chosen.
            c.found = false;
            --foundCount_;
        }
        c.link->Close(); // also releases the descriptor of a vanished device
        Finish(i, FillIn(Text("AUTOSCAN011", "COM%d is removed!"), QString::number(c.number)));
    }
    removed_.clear();
}

void ScanEngine::EndOfBaudRate() {
    if (baudIndex_ + 1 >= int(bauds_.size())) {
        timer_.stop();
        for (int i = 0; i < Count(); ++i)
            TakeReply(i);
        for (int i = 0; i < Count(); ++i) {
            Candidate& c = *cands_[size_t(i)];
            if (c.done) continue;
            if (c.link->Pending()) c.link->Finish(); // its reply is owed until the port closes
            Finish(i, c.sawData ? Text("AUTOSCAN016", "Unknown Error")
                                : Text("AUTOSCAN015", "Timeout"));
        }
        Complete();
        return;
    }
    ++baudIndex_;
    bursts_ = 0;
    burstWait_ = 0;
    windowLeft_ = kWindowMs;
    // The probe goes out afresh at the next speed: a stray STX at the wrong speed must not
    // keep it back, and a reply still owed at the old speed could not be read whole at the
    // new one, so the line owes none.
    for (auto& c : cands_)
        if (!c->done && c->link->Pending()) {
            c->link->Finish();
            c->link->Forget();
        }
}

void ScanEngine::Complete() {
    if (complete_) return;
    complete_ = true;
    timer_.stop();
    replyTimer_.stop();
    emit ScanComplete(foundCount_);
    if (closeRequested_) return; // the user already chose or cancelled during the scan
    if (foundCount_ == 0)
        noneTimer_.start(kNoneCloseMs);
    else if (foundCount_ == 1)
        Select(-1);
}

// ---- choosing and closing ------------------------------------------------------------------

bool ScanEngine::CanSelect(int row) const {
    return IsFound(row);
}

bool ScanEngine::Select(int row) {
    int chosen = -1;
    if (IsFound(row)) {
        chosen = row;
    } else if (foundCount_ == 1) {
        for (int i = 0; i < Count() && chosen < 0; ++i)
            if (cands_[size_t(i)]->found) chosen = i;
    }
    if (chosen < 0) return false;
    result_ = cands_[size_t(chosen)]->row;
    hasResult_ = true;
    RequestClose();
    return true;
}

void ScanEngine::Cancel() {
    result_.clear();
    hasResult_ = false;
    RequestClose();
}

bool ScanEngine::RequestClose() {
    if (busyDepth_ > 0) {
        closeRequested_ = true; // done at the end of the running tick
        if (!inTick_ && !timer_.isActive()) timer_.start();
        return false;
    }
    emit CloseRequested();
    return true;
}

void ScanEngine::Shutdown() {
    if (shuttingDown_) return;
    shuttingDown_ = true;
    timer_.stop();
    replyTimer_.stop();
    noneTimer_.stop();
    probeTimer_.stop();
    bool anyOpen = false;
    for (auto& c : cands_)
        if (c->link->IsOpen()) {
            c->link->ClearRx();
            anyOpen = true;
        }
    if (!anyOpen) {
        ReleaseInstances();
        QTimer::singleShot(0, this, &ScanEngine::Closed);
        return;
    }
    // One pause for all ports before and after closing, so that adapters can let go.
    QTimer::singleShot(50, this, [this] {
        ReleaseInstances();
        QTimer::singleShot(100, this, &ScanEngine::Closed);
    });
}

// ---- port notices --------------------------------------------------------------------------

void ScanEngine::PortArrived(const QString& /*pathOrName*/) {
    if (shuttingDown_ || timer_.isActive()) return; // a running scan finishes first
    refreshRequested_ = true;
    timer_.start();
}

void ScanEngine::PortRemoved(const QString& pathOrName) {
    if (pathOrName.startsWith(QLatin1String("COM"), Qt::CaseInsensitive)) {
        removed_ << pathOrName.toUpper();
    } else {
        for (auto& c : cands_) {
            if (c->network) continue;
            if ((!c->path.isEmpty() && c->path == pathOrName) ||
                (!c->resolved.isEmpty() && c->resolved == pathOrName))
                removed_ << c->row;
        }
    }
    // After the scan no tick runs any more: show the removal at once.
    if (!timer_.isActive() && busyDepth_ == 0 && !shuttingDown_) HandleRemovals();
}

} // namespace pelmar::discovery
