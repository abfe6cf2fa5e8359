#include "CJComm.h"

#include <QCoreApplication>
#include <QStringList>
#include <cerrno>
#include <chrono>
#include <vector>

#include "ChannelEvent.h"
#include "PortRegistry.h"
#include "dorlin/DispIds.h"
#include "platform/PortHolders.h"

using namespace dorlin;

namespace {
CJComm::DeviceFactory& Factory() {
    static CJComm::DeviceFactory f;
    return f;
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Milliseconds the transmitter needs for n bytes at this rate, with a generous margin.
int DrainBoundMs(long baud, int n) {
    long bitsPerMs = baud > 0 ? baud / 1000 : 1;
    if (bitsPerMs < 1) bitsPerMs = 1;
    return int(1000 + (long(n) * 12) / bitsPerMs);
}
} // namespace

void CJComm::SetDeviceFactory(DeviceFactory f) {
    Factory() = std::move(f);
}

CJComm::CJComm() {}

CJComm::~CJComm() {
    Close();
}

QString CJComm::EnumPort(int index) {
    const QList<PortEntry> ports = ListPorts();
    if (index < 0 || index >= ports.size()) return QString();
    return ports[index].name;
}

bool CJComm::SerialOpen() const {
    return dev_ && dev_->IsOpen() && !gone_.load();
}

bool CJComm::IsOpen() const {
    return SerialOpen();
}

long CJComm::Handle() const {
    return SerialOpen() ? dev_->Handle() : -1;
}

void CJComm::SetOwner(QObject* owner) {
    owner_.store(owner);
}

bool CJComm::SetLineParams(int parity, int dataBits, int stopBits) {
    LineConfig next = cfg_;
    next.parity = parity;
    next.dataBits = dataBits;
    next.stopBits = stopBits;
    cfg_ = next;
    if (!SerialOpen()) return false;
    return ApplyLine(LF_Parity | LF_DataBits | LF_StopBits);
}

bool CJComm::ApplyLine(int mine) {
    refused_ = dev_->ApplyFields(cfg_);
    return (refused_ & mine) == 0;
}

QString CJComm::RefusedText() const {
    QStringList parts;
    if (refused_ & LF_Baud) parts << QStringLiteral("speed %1").arg(cfg_.baud);
    if (refused_ & LF_Parity) parts << QStringLiteral("parity %1").arg(cfg_.parity);
    if (refused_ & LF_DataBits) parts << QStringLiteral("%1 data bits").arg(cfg_.dataBits);
    if (refused_ & LF_StopBits) parts << QStringLiteral("%1 stop bits").arg(cfg_.stopBits);
    if (refused_ & LF_Flow) parts << QStringLiteral("flow control %1").arg(handshake_);
    return parts.join(QStringLiteral(", "));
}

bool CJComm::SetBaud(long rate) {
    cfg_.baud = rate;
    if (!SerialOpen()) return false;
    return ApplyLine(LF_Baud);
}

bool CJComm::SetHandshaking(int flags) {
    handshake_ = flags;
    // DTR/DSR output flow control has no termios counterpart; the bit is kept and reported
    // back, and RS485 only changes how Write sends.
    cfg_.xonXoff = (flags & FC_XonXoff) != 0;
    cfg_.rtsCts = (flags & FC_RtsCts) != 0;
    if (!SerialOpen()) return false;
    return ApplyLine(LF_Flow);
}

bool CJComm::SetRxSize(int n) {
    rxSize_ = n;
    queue_.Resize(n);
    return queue_.Capacity() == n;
}

bool CJComm::SetTxSize(int n) {
    txSize_ = n;
    // The tty layer sizes its own buffers; the size only bounds TxSpace.
    return true;
}

void CJComm::SetEventMask(int mask) {
    eventMask_.store(mask);
}

void CJComm::BeginSend() {
    if (!SerialOpen()) return;
    dev_->SetRts(false);
    SleepMs(1);
}

void CJComm::EndSend() {
    if (!SerialOpen()) return;
    // Wait for the driver's transmit buffer to empty, bounded by the time the bytes need at
    // this rate, and give up as soon as the port goes away.
    const int bound = DrainBoundMs(cfg_.baud, txSize_);
    const auto start = std::chrono::steady_clock::now();
    while (SerialOpen() && dev_->OutQueue() > 0) {
        if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(bound)) break;
        SleepMs(1);
    }
    SleepMs(4); // the last character leaves the shift register
    events_.fetch_and(~EVENT_TXEMPTY);
    if (SerialOpen()) dev_->SetRts(true);
}

bool CJComm::Open(const QString& name) {
    return OpenSerial(name);
}

bool CJComm::OpenSerial(const QString& name) {
    Close();
    report_ = OpenReport{};
    report_.name = name;
    refused_ = 0;
    const QString path = ResolvePort(name);
    if (path.isEmpty()) {
        lastError_ = report_.err = ENOENT;
        report_.unknownName = true;
        return false;
    }
    report_.path = path;
    dev_ = Factory() ? Factory()() : CreateSerialDevice();
    int err = 0;
    if (!dev_->Open(path.toStdString(), &err)) {
        lastError_ = report_.err = err ? err : EIO;
        if (err == EBUSY) {
            // Whoever holds the lock (another Lorvane program, or this one); else a program
            // that set TIOCEXCL, found through the descriptors we may look at.
            std::string who = DescribeHolders(FindLockHolders(path.toStdString()), false);
            if (who.empty()) who = DescribeHolders(FindPortHolders(path.toStdString()), true);
            report_.holders = QString::fromStdString(who);
        }
        dev_.reset();
        return false;
    }
    // Opened and locked; a program that does not lock may still have the port open. One that
    // holds it in exclusive mode (TIOCEXCL alone) is refused like a lock, also to root, whom
    // the mode does not keep out: the mode says the port was taken, the descriptors under
    // /proc say that someone other than the far end of the line still has it.
    const std::string others =
        DescribeHolders(FindPortHolders(path.toStdString()), /*skipFarEnd=*/true);
    if (dev_->WasExclusive() && !others.empty()) {
        lastError_ = report_.err = EBUSY;
        report_.holders = QString::fromStdString(others);
        dev_->Close();
        dev_.reset();
        return false;
    }
    report_.sharedWith = QString::fromStdString(others);
    gone_ = false;
    ApplyLine(LF_All);
    ClearTx();
    // What the peer already sent stays for the first reader (see KeepUnasked); only what an
    // earlier port left in the queue goes.
    {
        std::lock_guard<std::mutex> lk(rxMu_);
        queue_.Clear();
    }
    KeepUnasked();
    dev_->SetBreak(false);
    dev_->SetDtr(wantDtr_);
    dev_->SetRts(wantRts_);
    {
        std::lock_guard<std::mutex> lk(errMu_);
        errBaseValid_ = dev_->Counters(&errBase_);
    }
    extraErrors_ = 0;
    stop_ = false;
    running_ = true;
    // The line state at open is the reference: changes from here on are events.
    const int modem = dev_->ModemStatus();
    LineCounters cnt;
    const bool haveCnt = dev_->Counters(&cnt);
    try {
        thread_ = std::thread([this, modem, cnt, haveCnt] { ReaderLoop(modem, cnt, haveCnt); });
    } catch (const std::system_error& e) {
        running_ = false;
        lastError_ = report_.err = e.code().value();
        dev_->Close();
        dev_.reset();
        return false;
    }
    return true;
}

void CJComm::Close(bool keepHandle) {
    lastLoss_ = 0;
    if (!dev_) return;
    stop_ = true;
    dev_->Wake();
    if (thread_.joinable()) thread_.join();
    running_ = false;
    if (!keepHandle) dev_->Close();
    dev_.reset();
    gone_ = false;
    txPending_ = false;
    queue_.Wake();
}

void CJComm::ClearTx() {
    if (SerialOpen()) dev_->Purge(false, true);
}

void CJComm::ClearRx() {
    std::lock_guard<std::mutex> lk(rxMu_);
    if (SerialOpen()) dev_->Purge(true, false);
    queue_.Clear();
}

int CJComm::Read(uint8_t* dest, int n) {
    return queue_.PopMany(dest, n);
}

int CJComm::Write(const uint8_t* data, int n) {
    busy_.fetch_add(1);
    if (!SerialOpen() || n <= 0) {
        busy_.fetch_sub(1);
        return 0;
    }
    DiscardUnasked();
    const bool rs485 = (handshake_ & FC_RS485) != 0;
    if (rs485) BeginSend();
    int done = 0;
    // A port held back by flow control must not hang the caller: bound the whole write by
    // the time the bytes need on the line plus a second.
    const int bound = DrainBoundMs(cfg_.baud, n);
    const auto start = std::chrono::steady_clock::now();
    while (done < n && SerialOpen()) {
        long w = dev_->Write(data + done, size_t(n - done));
        if (w < 0) {
            lastError_ = errno;
            break;
        }
        done += int(w);
        if (done < n) {
            if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(bound)) {
                extraErrors_.fetch_or(ERROR_TXFULL);
                break;
            }
            dev_->WaitWritable(10);
        }
    }
    if (done > 0) {
        txPending_ = true;
        // The reader thread looks for the transmitter running empty (EVENT_TXEMPTY). During a
        // file transfer no line event is posted, and waking it for every block would cost the
        // transfer a thread switch per block: it sees the flag when the answer comes.
        if (SerialOpen() && !muted_.load()) dev_->Wake();
    }
    if (rs485) EndSend();
    busy_.fetch_sub(1);
    return done;
}

int CJComm::InCount() {
    return queue_.Count();
}

int CJComm::OutCount() {
    return SerialOpen() ? dev_->OutQueue() : 0;
}

int CJComm::TxSpace() {
    if (!SerialOpen()) return 0;
    int space = txSize_ - dev_->OutQueue();
    return space > 0 ? space : 0;
}

void CJComm::PostToOwner(int code, long value, bool quiet) {
    QObject* o = owner_.load();
    if (o) QCoreApplication::postEvent(o, new ChannelEvent(code, value, quiet));
}

void CJComm::Notify(int code, long value, bool quiet) {
    if (!SerialOpen()) return;
    if (code == 0) events_.fetch_or(int(value));
    PostToOwner(code, value, quiet);
}

bool CJComm::SetRTS(bool on) {
    wantRts_ = on;
    return SerialOpen() && dev_->SetRts(on);
}

bool CJComm::SetDTR(bool on) {
    wantDtr_ = on;
    return SerialOpen() && dev_->SetDtr(on);
}

bool CJComm::SetBreak() {
    return SerialOpen() && dev_->SetBreak(true);
}

bool CJComm::ClearBreak() {
    return SerialOpen() && dev_->SetBreak(false);
}

namespace {
bool ModemBit(dorlin::SerialDevice* d, int bit) {
    int m = d->ModemStatus();
    return m >= 0 && (m & bit) != 0;
}
} // namespace

bool CJComm::CTS() {
    return SerialOpen() && ModemBit(dev_.get(), MS_CTS);
}
bool CJComm::DSR() {
    return SerialOpen() && ModemBit(dev_.get(), MS_DSR);
}
bool CJComm::RING() {
    return SerialOpen() && ModemBit(dev_.get(), MS_RING);
}
bool CJComm::RLSD() {
    return SerialOpen() && ModemBit(dev_.get(), MS_RLSD);
}

int CJComm::Errors() {
    int bits = extraErrors_.exchange(0);
    if (!SerialOpen()) return bits;
    LineCounters now;
    if (!dev_->Counters(&now)) return bits; // pseudo-terminals keep no counters
    std::lock_guard<std::mutex> lk(errMu_);
    if (errBaseValid_) {
        if (now.bufOverrun != errBase_.bufOverrun) bits |= ERROR_RXOVER;
        if (now.overrun != errBase_.overrun) bits |= ERROR_OVERRUN;
        if (now.parity != errBase_.parity) bits |= ERROR_RXPARITY;
        if (now.frame != errBase_.frame) bits |= ERROR_FRAME;
        if (now.brk != errBase_.brk) bits |= ERROR_BREAK;
    }
    errBase_ = now;
    errBaseValid_ = true;
    return bits;
}

int CJComm::TakeEvents() {
    return events_.exchange(0);
}

bool CJComm::WriteByte(uint8_t b) {
    return SerialOpen() && Write(&b, 1) == 1;
}

void CJComm::SetQuiet(bool on) {
    std::lock_guard<std::mutex> lk(rxMu_);
    quiet_ = on;
}

bool CJComm::Quiet() {
    std::lock_guard<std::mutex> lk(rxMu_);
    return quiet_;
}

bool CJComm::Exchanging() {
    if (muted_.load()) return true;
    std::lock_guard<std::mutex> lk(rxMu_);
    return quiet_;
}

bool CJComm::WaitForRx(uint64_t seenSeq, int timeoutMs) {
    return queue_.WaitForPush(seenSeq, timeoutMs);
}

void CJComm::ReaderLoop(int lastModem, LineCounters lastCnt, bool haveCnt) {
    SerialDevice* d = dev_.get();
    // Ports with modem lines are looked at every 20 ms while waiting; a pseudo-terminal has
    // none and sleeps until bytes come.
    const bool watchLines = lastModem >= 0 || haveCnt;
    std::vector<uint8_t> buf(4096);
    bool gone = false;
    int emptyWakes = 0;

    while (!stop_.load()) {
        const int timeout = (watchLines || txPending_.load()) ? 20 : -1;
        const WaitResult w = d->WaitReadable(timeout);
        if (stop_.load()) break;
        int ev = 0;
        bool quiet = false;
        if (w == WaitResult::Readable || w == WaitResult::Hangup) {
            // On a hang-up, take what is still buffered before giving the port up.
            busy_.fetch_add(1);
            {
                std::lock_guard<std::mutex> lk(rxMu_);
                // A bounded number of reads per wake, so a flood never holds the lock (and with
                // it ClearRx on the other thread) for long; the rest comes on the next turn.
                for (int reads = 0; reads < 16; ++reads) {
                    long r = d->Read(buf.data(), buf.size());
                    if (r < 0) { // EIO: the other side of the line is gone
                        gone = true;
                        break;
                    }
                    if (r == 0) break;
                    int kept = queue_.PushMany(buf.data(), int(r));
                    if (kept < r) {
                        extraErrors_.fetch_or(ERROR_RXOVER);
                        rxDrops_.fetch_add(1);
                    }
                    ev |= EVENT_RXCHAR;
                }
                quiet = quiet_;
            }
            busy_.fetch_sub(1);
            if (w == WaitResult::Readable && !ev && !gone) {
                // Readable yet empty: never turn that into a busy loop.
                if (++emptyWakes > 3) SleepMs(5);
            } else {
                emptyWakes = 0;
            }
        }
        if (w == WaitResult::Hangup || w == WaitResult::Error) gone = true;
        if (gone && ev) {
            events_.fetch_or(ev);
            if ((ev & eventMask_.load()) && !muted_.load()) PostToOwner(0, ev, quiet);
        }
        if (gone) break;

        if (watchLines) {
            int m = d->ModemStatus();
            if (m >= 0 && lastModem >= 0) {
                int ch = m ^ lastModem;
                if (ch & MS_CTS) ev |= EVENT_CTS;
                if (ch & MS_DSR) ev |= EVENT_DSR;
                if (ch & MS_RLSD) ev |= EVENT_RLSD;
                if (ch & MS_RING) ev |= EVENT_RING;
            }
            if (m >= 0) lastModem = m;
            LineCounters c;
            if (haveCnt && d->Counters(&c)) {
                // Counters catch pulses shorter than the look-in interval.
                if (c.cts != lastCnt.cts) ev |= EVENT_CTS;
                if (c.dsr != lastCnt.dsr) ev |= EVENT_DSR;
                if (c.dcd != lastCnt.dcd) ev |= EVENT_RLSD;
                if (c.rng != lastCnt.rng) ev |= EVENT_RING;
                if (c.brk != lastCnt.brk) ev |= EVENT_BREAK;
                lastCnt = c;
            }
        }
        if (txPending_.load() && d->OutQueue() == 0) {
            txPending_ = false;
            ev |= EVENT_TXEMPTY;
        }
        if (ev) {
            if (ev & EVENT_BREAK) d->SetBreak(false);
            events_.fetch_or(ev);
            if ((ev & eventMask_.load()) && !muted_.load()) PostToOwner(0, ev, quiet);
        }
    }
    if (gone) {
        gone_ = true;
        NoteLoss(LinkClosed);
        PostToOwner(ChannelEvent::CodePortGone, 0, false);
    }
    running_ = false;
}
