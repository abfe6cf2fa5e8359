#include "CJXmodem.h"

#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>
#include <chrono>
#include <type_traits>
#include <vector>

#include "XmodemCore.h"
#include "dorlin/DispIds.h"
#include "dorlin/TickSource.h"

namespace {
constexpr int kWaitSliceMs = 2;
constexpr auto kPumpEvery = std::chrono::milliseconds(2);
} // namespace

CJXmodem::~CJXmodem() = default;

void CJXmodem::Init(QObject* owner, int timeoutMs) {
    SetOwner(owner);
    timeoutMs_ = timeoutMs;
}

void CJXmodem::SendCancel() {
    if (transferActive_) {
        cancelRequested_ = true; // the transfer loop ends and sends the sequence itself
        return;
    }
    if (!IsOpen()) return;
    for (char b : xmodem::CancelSequence()) {
        const uint8_t c = uint8_t(b);
        Write(&c, 1);
    }
}

void CJXmodem::Notify(int code, long value, bool quiet) {
    if (transferActive_) return; // the transfer loop reads the queue itself
    CJSocket::Notify(code, value, quiet);
}

bool CJXmodem::IsTimedOut() const {
    return uint32_t(dorlin::GetTickCount() - lastActivity_) >= uint32_t(timeoutMs_);
}

void CJXmodem::WireBytes(const std::string& bytes) {
    if (!bytes.empty()) Write(reinterpret_cast<const uint8_t*>(bytes.data()), int(bytes.size()));
}

template <typename Engine> bool CJXmodem::Run(Engine& engine, bool sending, QFileDevice* out) {
    cancelRequested_ = false;
    SetTransferActive(true);
    int high = 100;
    if constexpr (std::is_same_v<Engine, xmodem::Sender>) high = engine.TotalBlocks();
    int blocks = 0;
    if (view_) view_->Begin(sending, high);

    // Carries out one step of the engine: the file, the wire, the messages, the view.
    auto apply = [&](xmodem::Step& st) {
        if (out && !st.data.empty() &&
            out->write(st.data.data(), qint64(st.data.size())) != qint64(st.data.size())) {
            xmodem::Step fail;
            engine.Cancel(fail); // the disk is full or gone: stop the sender
            WireBytes(fail.send);
            st.msgs.insert(st.msgs.end(), fail.msgs.begin(), fail.msgs.end());
        } else {
            if (st.clearRx) ClearRx();
            WireBytes(st.send);
        }
        for (const auto& [code, value] : st.msgs) {
            PostToOwner(code, value, false);
            if (code == xmodem::MsgRxPack || code == xmodem::MsgTxPack) {
                blocks = int(value);
                int pos = sending ? blocks - 1 : blocks;
                if (!sending && pos >= high) high += 100;
                if (sending && pos > high) pos = high;
                if (view_) view_->Progress(pos, high, blocks);
            }
        }
    };

    xmodem::Step first;
    engine.Start(first);
    apply(first);
    lastActivity_ = dorlin::GetTickCount();

    std::vector<uint8_t> buf(512);
    const uint32_t losses = LossCount(); // a connection made again knows nothing of the transfer
    auto lastPump = std::chrono::steady_clock::now();
    while (!engine.Done()) {
        const uint64_t seq = RxSeq();
        const int n = Read(buf.data(), int(buf.size()));
        if (n > 0) {
            for (int i = 0; i < n && !engine.Done(); ++i) {
                xmodem::Step st;
                engine.Feed(buf[size_t(i)], st);
                const bool cleared = st.clearRx;
                apply(st);
                if (cleared) break; // what was still queued has been discarded
            }
            lastActivity_ = dorlin::GetTickCount();
            continue;
        }
        // A port that went away may still have left its last bytes in the queue.
        const bool gone = (!IsOpen() || LossCount() != losses) && InCount() == 0;
        if (cancelRequested_ || (view_ && view_->TakeCancel()) || gone) {
            xmodem::Step st;
            engine.Cancel(st);
            apply(st);
            break;
        }
        if (IsTimedOut()) {
            xmodem::Step st;
            engine.Timeout(st);
            apply(st);
            lastActivity_ = dorlin::GetTickCount();
        }
        // The host's events keep flowing, but not on every idle pass: the peer's answer to a
        // block comes within microseconds, and a pass of the event loop costs more than that.
        const auto now = std::chrono::steady_clock::now();
        if (now - lastPump >= kPumpEvery) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            lastPump = now;
        }
        if (RxSeq() == seq && InCount() == 0) WaitRx(seq, kWaitSliceMs);
    }

    const bool ok = engine.Success();
    if (!ok && !engine.CancelSent()) WireBytes(xmodem::CancelSequence());
    if (ok && view_) view_->Progress(high, high, blocks);
    SetTransferActive(false);
    if (view_) view_->End();
    cancelRequested_ = false;
    return ok;
}

bool CJXmodem::SendFile(const QString& name) {
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly)) {
        WireBytes(xmodem::CancelSequence());
        return false;
    }
    xmodem::Sender engine(file.size(), [&file](uint8_t* dest, int n) {
        return int(file.read(reinterpret_cast<char*>(dest), n));
    });
    return Run(engine, true, nullptr);
}

bool CJXmodem::RecvFile(const QString& name) {
    // The blocks go into a temporary file beside the target, which takes the target's place
    // only when the transfer succeeded: a failed or cancelled transfer leaves an existing file
    // as it was, and no temporary file behind.
    QSaveFile file(name);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly)) {
        WireBytes(xmodem::CancelSequence());
        return false;
    }
    xmodem::Receiver engine;
    const bool ok = Run(engine, false, &file);
    if (!ok) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}
