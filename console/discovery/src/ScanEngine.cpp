#include "pelmar/discovery/ScanEngine.h"

#include "ScanRules.h"

#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <dorlin/CDorlinCtrl.h>
#include <dorlin/PortWatcher.h>

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
    CDorlinCtrl* ctrl = nullptr;
    std::unique_ptr<CDorlinCtrl> owned;
    QMetaObject::Connection onComm;

    QString buffer;       // bytes since the reply's STX
    bool sawData = false; // a reply began (STX) at some point
    bool done = false;
    bool found = false;
    bool opened = false; // we opened it and it was open
    bool probePending = false;
    bool removed = false;
};

ScanEngine::ScanEngine(const ScanParams& params, QObject* parent, TextLookup text)
    : QObject(parent), params_(params), text_(text ? std::move(text) : TextLookup(EnglishText)) {
    probeFrame_ = QChar(0x02) + params_.probeCommand + QChar(0x0D);
    bauds_ = ParseBaudList(params_.baudList);
    if (bauds_.isEmpty()) bauds_ << kDefaultBaud;
    dorlin0_ = std::make_unique<CDorlinCtrl>(nullptr, false);
    timer_.setInterval(kTickMs);
    connect(&timer_, &QTimer::timeout, this, &ScanEngine::Tick);
    probeTimer_.setSingleShot(true);
    connect(&probeTimer_, &QTimer::timeout, this, [this] {
        if (shuttingDown_) return;
        for (int i = 0; i < Count(); ++i)
            if (cands_[size_t(i)]->probePending && !cands_[size_t(i)]->done) SendProbe(i);
    });
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
CDorlinCtrl* ScanEngine::Control(int i) const {
    return i >= 0 && i < Count() ? cands_[size_t(i)]->ctrl : nullptr;
}

// ---- candidate list ------------------------------------------------------------------------

void ScanEngine::ReleaseInstances() {
    for (auto& c : cands_) {
        QObject::disconnect(c->onComm);
        if (c->ctrl && c->ctrl->PortOpen()) {
            c->ctrl->SetPortOpen(false);
            c->ctrl->ClareTxBuffer();
            c->ctrl->ClearRxBuffer();
        }
    }
    cands_.clear();
    if (dorlin0_ && dorlin0_->PortOpen()) dorlin0_->SetPortOpen(false);
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
    bool anyWasOpen = dorlin0_->PortOpen();
    for (auto& c : cands_)
        anyWasOpen = anyWasOpen || (c->ctrl && c->ctrl->PortOpen());
    ReleaseInstances();

    // Serial candidates in the order the control's EnumCommPort lists them. One listing
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
    for (size_t i = 0; i < cands_.size(); ++i) {
        Candidate& c = *cands_[i];
        if (i == 0) {
            c.ctrl = dorlin0_.get();
        } else {
            c.owned = std::make_unique<CDorlinCtrl>(nullptr, false);
            c.ctrl = c.owned.get();
        }
        if (c.network) {
            c.ctrl->SetCommPort(0);
            c.ctrl->SetiAddress(c.address);
            c.ctrl->SetiPort(short(kNetworkPort));
        } else {
            c.ctrl->SetCommPort(short(c.number));
        }
        c.ctrl->SetEventMask(dorlin::EVENT_RXCHAR);
        const int index = int(i);
        c.onComm = connect(c.ctrl, &CDorlinCtrl::OnComm, this, [this, index] {
            if (shuttingDown_ || index >= Count()) return;
            Candidate& cc = *cands_[size_t(index)];
            cc.ctrl->CommEvent(); // taken, so the next notification reports new events only
            OnDataReceive(index);
        });
    }
    emit ListReset();
    ResetScan();
    // Ports that were open get a moment before they are opened again.
    if (anyWasOpen) holdUntil_ = clock_.elapsed() + kResetPauseMs;
    lastTick_ = clock_.elapsed();
    timer_.start();
}

void ScanEngine::ResetScan() {
    for (auto& c : cands_) {
        c->buffer.clear();
        c->done = c->found = c->sawData = c->probePending = false;
    }
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
            if (!c->network && c->opened && !c->removed && !c->ctrl->PortOpen()) removed_ << c->row;
        HandleRemovals();
        if (now >= holdUntil_ && !complete_) {
            // Data of network instances raises no line event; serial data normally does, but
            // looking costs nothing and a missed notification cannot stall a row.
            for (int i = 0; i < Count(); ++i)
                OnDataReceive(i);

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
        if (c.ctrl->BaudRate() != rate) c.ctrl->SetBaudRate(rate);
        if (c.ctrl->PortOpen()) {
            if (c.buffer.isEmpty() && !c.probePending) SendProbe(i);
        } else if (c.network) {
            network.push_back(i); // connecting waits; the serial ports go first
        } else {
            c.ctrl->SetPortOpen(true);
            if (c.ctrl->PortOpen()) {
                c.opened = true;
                c.probePending = true;
                opened = true;
            } else if (c.ctrl->PortErrorCode() == EBUSY) {
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
        c.ctrl->SetPortOpen(true);
        if (c.ctrl->PortOpen()) {
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
    if (!c.ctrl->PortOpen()) return; // gone meanwhile: the removal check reports it
    c.ctrl->SetText(probeFrame_);
    SetStatus(i, FillIn(Text("AUTOSCAN012", "Check in %dbps"), QString::number(CurrentBaud())));
}

void ScanEngine::OnDataReceive(int i) {
    Candidate& c = *cands_[size_t(i)];
    if (c.ctrl->RxCount() < 1) return;
    // Data keeps the window open for a while, but never shortens it.
    windowLeft_ = std::max(windowLeft_, kRearmMs);
    const QString data = c.ctrl->Text();
    if (c.done) return;
    const qsizetype stx = data.indexOf(QChar(0x02));
    if (stx >= 0)
        c.buffer = data.mid(stx);
    else if (!c.buffer.isEmpty())
        c.buffer += data;
    else
        return;
    c.sawData = true;
    const qsizetype cr = c.buffer.indexOf(QChar(0x0D));
    if (cr < 0) return;
    const QString reply = c.buffer.mid(1, cr - 1);
    const ReplyVerdict v = EvaluateReply(reply, params_, c.ctrl->BaudRate(), text_);
    Finish(i, v.status, v.found);
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
        c.ctrl->SetPortOpen(false); // also releases the descriptor of a vanished device
        Finish(i, FillIn(Text("AUTOSCAN011", "COM%d is removed!"), QString::number(c.number)));
    }
    removed_.clear();
}

void ScanEngine::EndOfBaudRate() {
    if (baudIndex_ + 1 >= int(bauds_.size())) {
        timer_.stop();
        for (int i = 0; i < Count(); ++i)
            OnDataReceive(i);
        for (int i = 0; i < Count(); ++i) {
            Candidate& c = *cands_[size_t(i)];
            if (c.done) continue;
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
    // A stray STX at the wrong speed must not keep the probe from going out at the next one.
    for (auto& c : cands_)
        if (!c->done) c->buffer.clear();
}

void ScanEngine::Complete() {
    if (complete_) return;
    complete_ = true;
    timer_.stop();
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
    noneTimer_.stop();
    probeTimer_.stop();
    bool anyOpen = false;
    for (auto& c : cands_)
        if (c->ctrl->PortOpen()) {
            c->ctrl->ClareTxBuffer();
            c->ctrl->ClearRxBuffer();
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
