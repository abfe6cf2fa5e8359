// The console's own command exchange with the reader, beside the link control's: a
// per-call time-out, an STX inside a reply kept as data on request, and a remembered
// time-out (blnTimeout) so that callers can tell a missing answer from a refusal.
// It also owns the flags every reader operation shares (iCmdBusy, LinkTimedOut).
#pragma once
#include "pelmar/core/IReaderLink.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>

namespace pelmar {

class ReaderSession {
public:
    explicit ReaderSession(IReaderLink* link);
    ~ReaderSession();
    ReaderSession(const ReaderSession&) = delete;
    ReaderSession& operator=(const ReaderSession&) = delete;

    IReaderLink* Link() const { return link_; }

    // Sends szCMD (checksum added when bTxChkSum), waits lTimeout ms (the link's RnetTimeout
    // when 0) and returns the reply without STX, CR and (when bRxChkSum, tested) checksum, or
    // "" when no complete reply came. lSkipSTXCount > 0 keeps an STX inside the reply as data.
    QString SendRnetCmd(const QString& szCMD, bool bTxChkSum, bool bRxChkSum, long lSkipSTXCount,
                        long lTimeout);
    // "P" + new Login ID without checksum; true when the reply begins with "A".
    bool SetPassword(const QString& szPassword);

    // True after a console exchange that ended by time-out, or after the link control
    // reported "$TIMEOUT" for its own exchange.
    bool blnTimeout = false;
    // Set by the link control's "$TIMEOUT" report; read and cleared by the register layer.
    bool LinkTimedOut = false;
    // Nesting depth of console exchanges in flight.
    int iCmdBusy = 0;
    // How the last console exchange ended.
    dorlin::RnetReason lastReason = dorlin::RnetReason::TimedOut;

    // The link control's monitor report (connected to the link on construction).
    void OnRnetMonitor(short index, const QString& message);

    // ---- replies that answer the command asked ----
    // What a reply to a command looks like when it is that command's answer.
    using Shape = std::function<bool(const QString& reply)>;
    // One exchange (send() runs the command through either exchange) whose reply must have
    // the shape `answer`, or be a refusal ("N" or "I" + anything). A reply of any other shape
    // (a late answer to an earlier command, damage) is never returned: the line is drained
    // until it is quiet and, while attempts remain, the command asked again. A time-out is
    // followed by a drain as well, so that its late reply cannot answer the next command,
    // and ends the call. Returns the reply, or "" when no fitting reply came. Callers that
    // repeat a command themselves (three attempts for registers, count and clock) ask once.
    QString Ask(const std::function<QString()>& send, const Shape& answer, int attempts = 1);
    // Reads and drops whatever arrives until the line has been quiet for the reader's reply
    // time (as seen so far, at least 100 ms), at most the link's time-out plus that.
    void DrainUntilQuiet();
    // The longest a reply of this reader has taken so far (ms).
    uint32_t ReplyLatency() const { return latency_; }
    // Notes how long a reply took; the drains wait at least that long for late replies.
    void NoteLatency(uint32_t ms);

private:
    bool Exchange(const QString& szCMD, bool bTxChkSum, bool bRxChkSum, long lSkipSTXCount,
                  long lTimeout, QByteArray& reply);

    IReaderLink* link_;
    uint32_t latency_ = 0;
};

// Reply shapes of the reader's commands.
namespace shape {
bool Accepted(const QString& r);    // exactly "A" (R, S, C, E, J, P, O, L)
bool Version(const QString& r);     // "A" + at least one character (F)
bool Register(const QString& r);    // "A" + two hexadecimal digits, checksum removed (B)
bool Clock(const QString& r);       // "A" + 14 digits, then anything (T)
bool MachineId(const QString& r);   // "A" + one or two hexadecimal digits (I)
bool RecordCount(const QString& r); // a count as RecordCountFromReply reads it (N)
bool Record(const QString& r);      // "A" + 14 digits + blank + at least 3 characters (G)
bool Refusal(const QString& r);     // "N" or "I", with or without a reason
} // namespace shape

} // namespace pelmar
