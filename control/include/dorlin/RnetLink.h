// One link, one exchange: the reader link without a window. It owns the channel (a serial port
// or the TCP path to a device server), frames a request, waits for the reply that belongs to
// it and says how the exchange ended. The link control (CDorlinCtrl) is a shell over it, the
// console's own exchange goes through it, and a program without windows (QCoreApplication, or
// a worker thread with its own event loop) can use it alone.
//
// A reply never answers another request: after a time-out the next request is sent only once
// the late reply has come and been discarded, or the line has stayed quiet up to
// kLateReplyLimitMs after the request that timed out. A reader seen to answer late is
// followed: its replies are awaited as long as the late one took and a quarter more (at most
// kMaxWaitMs), instead of being paired with the wrong request.
#pragma once
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "dorlin/Rnet.h"

class CJXmodem;
class QObject;

namespace dorlin {

// How an exchange ended.
enum class RnetReason {
    Answered,      // a reply that starts with "A"
    Refused,       // a reply that starts with anything else ("N", "I", ...)
    TimedOut,      // no complete reply within the wait
    ChecksumError, // a reply whose checksum did not match (or too short for one)
    Overflow,      // bytes were lost on the way in (the receive queue ran over)
    LinkLost,      // the channel is not open, or closed during the wait
};
// "answered", "refused", "timed out", "checksum error", "overflow", "link lost".
DORLIN_EXPORT const char* RnetReasonText(RnetReason r);

struct RnetRequest {
    std::string text;        // the command text, sent as is
    bool txChecksum = false; // add the checksum to the request
    bool rxChecksum = false; // test and remove the reply checksum
    // The link control's checksum reading: only "A" replies longer than two characters carry
    // one (upper-case digits). Off: every reply must carry one (either case), as the
    // console's own exchange reads it; a reply too short for it is a checksum error.
    bool checksumOnAcceptedOnly = true;
    // A CR before any STX that ends a read pass ends the wait with an empty reply (the link
    // control's wait); off, it is noise.
    bool crBeforeStxEnds = true;
    bool keepInnerStx = false; // an STX inside a reply is data
    int timeoutMs = 0;         // the longest wait; 0 = the link's time-out
};

struct RnetResult {
    RnetReason reason = RnetReason::TimedOut;
    std::string text; // the reply without STX, CR and (tested) checksum; empty unless answered
                      // or refused
    std::string raw;  // the reply as received (before any checksum test), empty without one
    uint32_t elapsedMs = 0;
    bool Replied() const { return reason == RnetReason::Answered || reason == RnetReason::Refused; }
};

class DORLIN_EXPORT RnetLink {
public:
    // How long after a request that timed out its late reply is still awaited.
    static constexpr int kLateReplyLimitMs = 5000;
    // The longest a reply wait is widened to for a reader seen to answer late.
    static constexpr int kMaxWaitMs = 10000;
    // The quiet time that ends the wait for a late reply once the line was seen dead.
    static constexpr int kQuietMs = 250;

    RnetLink();
    ~RnetLink();
    RnetLink(const RnetLink&) = delete;
    RnetLink& operator=(const RnetLink&) = delete;

    // The channel. The link control reaches its properties through it.
    CJXmodem& Channel() { return *channel_; }

    // Opens "COMn", a device path, or "COM0" (the device server set by SetTarget). A new line
    // owes no late reply.
    bool Open(const QString& port);
    // Why the last Open failed: the port, the system's reason and a hint ("COM7
    // (/dev/ttyUSB0): Permission denied: ..."); the system error (EBUSY: another program holds
    // the port); what a successful open found worth a warning. Empty / 0 when nothing.
    QString OpenError() const { return openError_; }
    int OpenErrorCode() const { return openErrorCode_; }
    QString OpenWarning() const { return openWarning_; }
    void Close();
    bool IsOpen() const;
    void SetTarget(const QString& address, int port);
    // Receives the channel's notifications (nullptr: none are posted).
    void SetOwner(QObject* owner);

    // Line settings of the serial port (the device server is told through its configuration
    // port). False when the open port refused them.
    bool SetBaud(long rate);
    bool SetLine(int parity, int dataBits, int stopBits);
    void SetRTS(bool on);
    void SetDTR(bool on);
    // The name of the index-th serial port of the system, empty past the last.
    QString EnumPort(int index);

    // The raw stream, for the probes and the erase that write their frames themselves. Write
    // settles a late reply still owed first.
    void WriteRaw(const std::string& bytes);
    std::string ReadAvailable();
    int Available();
    void ClearRx();
    // Returns after at most ms, earlier when bytes arrive.
    void WaitForBytes(int ms);

    void SetTimeoutMs(int ms);
    int TimeoutMs() const { return timeoutMs_; }
    // The wait widened for a reader seen to answer late (0: not widened).
    int WidenedMs() const { return widenedMs_; }
    // The line speed set (kept while the port is closed).
    long Baud() const;
    // Whether a reply is owed: a request ended without its reply, and the next request first
    // waits for that reply (or for the line to stay quiet).
    bool Owing() const { return owed_; }
    // The wait an exchange with this time-out gets (0 = the link's).
    int WaitFor(int timeoutMs) const;

    // One exchange: settle a late reply still owed, send the frame, wait for its reply. It is
    // Start, Poll until the exchange ends, Finish.
    RnetResult Exchange(const RnetRequest& request);

    // The same exchange without blocking, for callers that wait on their own event loop (the
    // discovery probes many ports at once). Start settles a late reply still owed, sends the
    // frame and leaves the exchange pending; false when nothing could be sent (Finish then
    // says "link lost"). A request with timeoutMs < 0 has no wait limit of its own: its caller
    // ends it. One exchange is pending at a time; Start finishes one still pending.
    bool Start(const RnetRequest& request);
    // Sends the pending request's frame again (a reader may miss a frame). Whichever copy's
    // reply comes first answers the request; the replies to the other copies are then owed.
    bool Repeat();
    // Takes what has arrived; true once the exchange has ended: its reply is whole, a CR
    // before any STX ended it (crBeforeStxEnds), the link was lost, or its wait ran out.
    // newBytes (when given) receives the number of bytes taken by this call.
    bool Poll(int* newBytes = nullptr);
    bool Pending() const { return pending_ != nullptr; }
    // The pending exchange's reply has begun (an STX came) but is not whole yet.
    bool ReplyBegun() const;
    // Ends the pending exchange and says how it ended; a request whose reply did not come is
    // owed (the next request waits for it first), as after a timed-out Exchange.
    RnetResult Finish();
    // Waits out the late reply of a request that timed out (see above); nothing when no reply
    // is owed. Exchange calls it first; raw writers call it before they write.
    void Settle();
    // Notes that a raw request was written and its reply not taken (the next exchange settles).
    void Owe(uint32_t sentAt);
    // Forgets what the line owes (a new connection).
    void Forget();

    // Called on every pass of a wait (the link control dispatches its events here).
    std::function<void()> pump;
    // Every frame sent (1), reply received (2) and the link's own notes (0): "$TIMEOUT",
    // "$CHKSUM ERROR", "$OVERRUN", "$LATE REPLY <ms> ms (discarded)".
    std::function<void(int index, const std::string& message)> monitor;

private:
    void Note(int index, const std::string& m) {
        if (monitor) monitor(index, m);
    }
    // Waits at most ms for new bytes.
    void WaitBytes(uint64_t seenSeq, int ms);
    struct PendingExchange;
    void DropPending();

    std::unique_ptr<PendingExchange> pending_;

    std::unique_ptr<CJXmodem> channel_;
    QString openError_, openWarning_;
    int openErrorCode_ = 0;
    int timeoutMs_ = 3000;
    int widenedMs_ = 0;
    bool owed_ = false;      // a request timed out and its late reply may still come
    uint32_t owedSince_ = 0; // when that request was sent
    bool silent_ = false;    // the last late reply awaited never came: the line is dead
};

} // namespace dorlin
