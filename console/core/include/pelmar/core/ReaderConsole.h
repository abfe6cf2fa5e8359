// The main window's reader logic without the window: connecting and logging in, the
// re-check before every button, the record download and the record operations (delete,
// erase with progress, recovery, version, Login ID change). It asks and shows through
// IUserPrompt, reaches the reader through its ReaderSession, and hands downloaded records
// to a sink, so the windows and the command line share it.
#pragma once
#include "pelmar/core/IUserPrompt.h"
#include "pelmar/core/ReaderSession.h"
#include "pelmar/core/modKt9.h"

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

struct DownloadResult {
    long read = 0;        // records taken into the sink
    long total = 0;       // the reader's record count before the download
    bool stopped = false; // ended by Stop
    // ended before the last record the reader counted: it stopped answering, the link closed
    // or a record stayed damaged however often it was asked for
    bool linkLost = false;
};

class ReaderConsole {
public:
    ReaderConsole(IReaderLink* link, IUserPrompt& prompt);

    ReaderSession& Session() { return session_; }
    modKt9& Kt9() { return kt9_; }
    IUserPrompt& Prompt() { return prompt_; }

    // Opens the link on a port text and logs in. Port texts: "COMn", "IP:a.b.c.d",
    // "IP:a.b.c.d:port", or (an addition for the command line) a device path.
    ConnectResult OpenReader(const QString& szPort);
    // The connection check every button runs first: reader present, commands accepted,
    // else log in again with the ID given at connection. False = the operation must not run.
    bool RecheckReader();
    void CloseLink();

    // One record ("R" first when bMoveFirst); the normalised text in szRecord.
    bool GetKt9Record(QString& szRecord, bool bMoveFirst, long lTimeout);
    // All records, each handed to sink (1-based number, normalised text) as it arrives.
    using RecordSink = std::function<void(long n, const QString& record)>;
    DownloadResult UploadKt9Record(const RecordSink& sink);
    // Record `index` (0-based) by its number ("G%04X"): a download resumed on a new connection
    // goes on from the next record.
    bool ReadRecordByNumber(long index, QString& szRecord) {
        return ReadRecordAgain(index, szRecord, 1000);
    }
    // Stop button: ends a running download after the record in flight.
    void Stop() { blnStop1 = false; }

    // Record operations; each shows its own messages through the prompt.
    OpResult DeleteRecords();     // "E" through the link control
    OpResult EraseWithProgress(); // raw "E", waits count x 29 + 1000 ms
    OpResult RecoverRecords();    // raw "M", waits 60392 ms
    OpResult ShowVersion(QString* shown = nullptr);
    OpResult ChangeLoginId();

    // Called when the record store must be emptied (new connection, erase).
    std::function<void()> onClearRecords;
    // Called by EraseWithProgress with the count read just before "E"; false leaves the reader
    // untouched (the safe erase erases only the count it has archived).
    std::function<bool(long count)> onBeforeErase;

    QString szLoginID;            // the ID used at connection, for automatic re-login
    int bytDateMode = 255;        // the date-format register read before the last download
    bool blnTrackDecimal = false; // firmware KRN-A0101: track IDs shown as received
    bool blnStop1 = false;        // a download may go on
    QString firmware;             // the version text read at login

    static QString UserNameCaption(const QString& name);

private:
    bool ProbeReader();
    void DrainProbeReplies(int sent, int& answered, uint32_t latency,
                           const std::function<bool()>& take);
    bool ReadRecordAgain(long number, QString& szRecord, long lTimeout);
    void RunErase(const QString& rawCmd, long count, long expected, bool& accepted, bool& answered,
                  long& remainingOut);
    void ClearRecords();
    void ShowUserName();

    ReaderSession session_;
    modKt9 kt9_;
    IUserPrompt& prompt_;
    IReaderLink* link_;
};

} // namespace pelmar
