// The console's own command exchange with the reader, beside the link control's: a
// per-call time-out, an STX inside a reply kept as data on request, and a remembered
// time-out (blnTimeout) so that callers can tell a missing answer from a refusal.
// It also owns the flags every reader operation shares (iCmdBusy, LinkTimedOut).
#pragma once
#include "pelmar/core/IReaderLink.h"

#include <QByteArray>
#include <QString>
#include <cstdint>

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
    // The same exchange with the link's RnetTimeout, returning the reply bytes.
    QByteArray SendRnetCmdEx(const QString& szCMD, bool bTxChkSum, bool bRxChkSum,
                             long lSkipSTXCount);
    // Sum of the character codes of the first lLength characters (all when < 1), mod 256.
    static uint8_t CalcChkSum(const QString& szData, long lLength);
    // "P" + new Login ID without checksum; true when the reply begins with "A".
    bool SetPassword(const QString& szPassword);

    // True after a console exchange that ended by time-out, or after the link control
    // reported "$TIMEOUT" for its own exchange.
    bool blnTimeout = false;
    // Set by the link control's "$TIMEOUT" report; read and cleared by the register layer.
    bool LinkTimedOut = false;
    // Nesting depth of console exchanges in flight.
    int iCmdBusy = 0;

    // The link control's monitor report (connected to the link on construction).
    void OnRnetMonitor(short index, const QString& message);

private:
    bool Exchange(const QString& szCMD, bool bTxChkSum, bool bRxChkSum, long lSkipSTXCount,
                  long lTimeout, QByteArray& reply);

    IReaderLink* link_;
};

} // namespace pelmar
