// The main window's reader logic without the window: connecting and logging in, the
// re-check before every button, the record download and the record operations (delete,
// erase with progress, recovery, version, Login ID change). It asks and shows through
// IUserPrompt, reaches the reader through its ReaderSession, and hands downloaded records
// to a sink, so the windows and the command line share it.
#pragma once
#include "pelmar/core/IUserPrompt.h"
#include "pelmar/core/ReaderSession.h"
#include "pelmar/core/modKt9.h"

#include <QList>
#include <QString>
#include <functional>

namespace pelmar {

enum class ConnectResult {
    Connected,
    NoPort,     // the port text was empty or not understood
    OpenFailed, // the port would not open
    NoReader,   // no reader answered the probe, or the login reply was no answer
    Refused,    // the Login ID was refused ("I" or "N" + reason)
    Cancelled,  // no Login ID given
};

enum class OpResult { OK, Refused, NoConnection, Cancelled, Nothing };

// What the reader answers for one record number.
enum class NextRecord {
    None,       // refused: the reader holds no record with that number
    Record,     // a record
    Unreadable, // replies came, none of them a whole record
    NoAnswer,   // no reply
};

// How a download ended.
enum class DownloadOutcome {
    Complete,   // every record up to the reader's refusal of the next "G" was read
    Incomplete, // not every record was read: some stayed damaged (see unread), or the
                // reader did not end its records within kMaxDownloadRecords (bounded)
    LinkLost,   // the reader stopped answering (or the link closed) before the end
    Refused,    // the reader refused to start: "R" or the date-format register
    Stopped,    // ended by Stop (or a signal) after the record in flight
};

struct DownloadResult {
    DownloadOutcome outcome = DownloadOutcome::Complete;
    long read = 0;           // records taken into the sink
    long total = 0;          // the reader's record count (progress and a warning only)
    bool countKnown = false; // the count could be read
    // Records the reader holds that could not be read, by their number (1 = the first
    // record, asked for by number as "G0000"), ascending.
    QList<long> unread;
    // The download ended where the reader's records end: its refusal of the next "G" (or
    // of the next number). Only such a download can prove that nothing was left behind.
    bool endedAtEnd = false;
    // The next record number (0 = "G0000") a resumed download reads.
    long next = 0;
    // The reader gave records up to kMaxDownloadRecords without ending them.
    bool bounded = false;
    QString why; // the reason, for Refused, LinkLost and Incomplete

    bool stopped = false;  // outcome == Stopped
    bool linkLost = false; // outcome == LinkLost
    // The count and the records the reader gave agree (or no count was read). Only a
    // warning: a count is four digits and lags behind cards read meanwhile.
    bool CountAgrees() const { return !countKnown || read + long(unread.size()) == total; }
};

// The most records one download reads: "G%04X" addresses no more. A reader that has not
// ended its records by then never will.
constexpr long kMaxDownloadRecords = 65536;

class ReaderConsole {
public:
    ReaderConsole(IReaderLink* link, IUserPrompt& prompt);

    ReaderSession& Session() { return session_; }
    modKt9& Kt9() { return kt9_; }

    // Opens the link on a port text and logs in. Port texts: "COMn", "IP:a.b.c.d",
    // "IP:a.b.c.d:port", or (an addition for the command line) a device path.
    ConnectResult OpenReader(const QString& szPort);
    // The connection check every button runs first: reader present, commands accepted,
    // else log in again with the ID given at connection. False = the operation must not run.
    bool RecheckReader();
    void CloseLink();

    // One record ("R" first when bMoveFirst); the normalised text in szRecord, or the raw
    // reply (possibly empty) when the reader refused or did not answer. The reply of a plain
    // "G" is taken as it comes (no checksum), unless this session's reader was seen to
    // protect its plain "G" replies with one. The download below reads by its own steps;
    // this is the single read for a caller that wants one record.
    bool GetKt9Record(QString& szRecord, bool bMoveFirst, long lTimeout);
    // All records, each handed to sink (1-based number, normalised text) as it arrives.
    using RecordSink = std::function<void(long n, const QString& record)>;
    DownloadResult UploadKt9Record(const RecordSink& sink);
    // Asks for record `number` (0 = "G0000") and says what the reader holds there: the safe
    // erase's proof that nothing follows the records it has archived.
    NextRecord ProbeRecord(long number);
    // Record `number` (0 = "G0000"), decoded into szRecord when it is NextRecord::Record.
    NextRecord ReadRecordAt(long number, QString& szRecord);
    // Stop button: ends a running download after the record in flight.
    void Stop() { blnStop1 = false; }

    // Record operations; each shows its own messages through the prompt.
    OpResult DeleteRecords(); // "E" through the link control
    // Raw "E", waits count x 29 + 1000 ms; a reader that has not answered by then is given
    // EraseGraceMs more, and then asked for its count once (0: erased, confirmed late).
    OpResult EraseWithProgress();
    long EraseGraceMs(long expected) const { return expected + eraseGraceExtraMs; }
    long eraseGraceExtraMs = 10000;
    OpResult RecoverRecords(); // raw "M", waits 60392 ms
    OpResult ShowVersion(QString* shown = nullptr);
    OpResult ChangeLoginId();

    // Called when the record store must be emptied (new connection, erase).
    std::function<void()> onClearRecords;
    // Called by EraseWithProgress just before "E" with the count read there (0 when it could
    // not be read); false leaves the reader untouched. While set, it decides alone whether the
    // erase goes on (the count does not): the safe erase proves completeness here.
    std::function<bool(long count)> onBeforeErase;
    // The least number of records the erase's progress reckons with (the safe erase's records).
    long eraseAtLeast = 0;

    QString szLoginID;            // the ID used at connection, for automatic re-login
    int bytDateMode = 255;        // the date-format register read before the last download
    bool blnTrackDecimal = false; // firmware KRN-A0101: track IDs shown as received
    bool blnStop1 = false;        // a download may go on
    QString firmware;             // the version text read at login
    // Plain "G" replies of this session carry a checksum: -1 not known yet, 0 no, 1 yes.
    int plainRecordChecksum = -1;
    // The same for replies to "G" + number.
    int numberedRecordChecksum = -1;
    // The download's hard bound (kMaxDownloadRecords; tests lower it).
    long maxDownloadRecords = kMaxDownloadRecords;

    static QString UserNameCaption(const QString& name);

private:
    class DownloadRun; // one UploadKt9Record from its start to its end
    bool ProbeReader();
    void DrainProbeReplies(int sent, int& answered, uint32_t latency,
                           const std::function<bool()>& take);
    // Record number `number` (0 = the first) by "G%04X", checksummed; up to three asks.
    // Returns 1 record, 0 refused (no such record), -1 nothing whole came, -2 no answer.
    int ReadRecordByNumber(long number, QString& reply, long lTimeout);
    bool DecodeRecord(const QString& reply, QString& szRecord);
    void RunErase(const QString& rawCmd, long count, long expected, bool& accepted, bool& answered,
                  long& remainingOut);
    // Listens for a reply that comes after its time; true when one came whole.
    bool WaitLateReply(long limitMs, bool& accepted);
    void ClearRecords();
    void ShowUserName();

    ReaderSession session_;
    modKt9 kt9_;
    IUserPrompt& prompt_;
    IReaderLink* link_;
};

} // namespace pelmar
