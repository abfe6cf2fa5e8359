// Reader discovery without windows: one link (dorlin::RnetLink, no widget) per candidate
// (serial ports first, then IP addresses), probe bursts at each baud rate, reply evaluation and
// the row texts. Every probe is an exchange of the link, so the late-reply rule holds for it as
// for every other request. The Auto Scan window and the `pelmar scan` command (on
// QCoreApplication) both show what this engine reports.
#pragma once
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

namespace dorlin {
class PortWatcher;
class RnetLink;
} // namespace dorlin

namespace pelmar::discovery {

// Parameters of one scan (see ShowAutoScan).
struct ScanParams {
    QString firmwareList; // identifiers separated by NUL characters
    QString deviceLabel;  // replaces the firmware list in a found reader's version text
    QString probeCommand; // sent as STX + command + CR
    QString baudList;     // comma-separated
    QString ipList;       // comma-separated IPv4 addresses
};

// The language lookup the status texts go through: (string id, English text) -> text.
using TextLookup = std::function<QString(const QString& id, const QString& fallback)>;
// English texts only (the default).
QString EnglishText(const QString& id, const QString& fallback);

// The addresses of an IP list that name a device server: four decimal fields 0..255,
// rewritten without leading zeros; "0.0.0.0" and "255.255.255.255" are dropped.
QStringList ParseIpList(const QString& ipList);
// The baud rates of a comma-separated list (positive numbers; others are skipped).
QList<long> ParseBaudList(const QString& baudList);

// The status a complete reply (the text between STX and CR) earns, and whether it names a
// reader of the wanted kind.
struct ReplyVerdict {
    QString status;
    bool found = false;
};
ReplyVerdict EvaluateReply(const QString& reply, const ScanParams& params, long baudRate,
                           const TextLookup& text = EnglishText);

class ScanEngine : public QObject {
    Q_OBJECT
public:
    static constexpr int kTickMs = 50;
    static constexpr int kReplyPollMs = 10; // replies are taken this often, also mid-connect
    static constexpr int kWindowMs = 3000;  // per baud rate
    static constexpr int kRearmMs = 1500;   // at least this long after data arrived
    static constexpr int kBurstGapMs = 250; // between probe bursts
    static constexpr int kBursts = 3;       // per baud rate
    static constexpr int kOpenPauseMs = 100;
    static constexpr int kResetPauseMs = 150;
    static constexpr int kNoneCloseMs = 500;

    explicit ScanEngine(const ScanParams& params, QObject* parent = nullptr,
                        TextLookup text = EnglishText);
    ~ScanEngine() override;

    // Rebuilds the candidate list and starts a scan. While a handler of the engine runs
    // (a port being opened), the refresh is done at the next tick instead.
    void Refresh();

    int Count() const { return int(cands_.size()); }
    QString RowText(int i) const;
    QString Status(int i) const;
    bool IsFound(int i) const;
    bool IsDone(int i) const;
    int FoundCount() const { return foundCount_; }
    bool IsComplete() const { return complete_; }
    // "Found" + ":" in the current language: the mark of a found row's status.
    QString FoundMarker() const;

    // Whether Select on this row (-1: none) would choose it.
    bool CanSelect(int row) const;
    // Chooses the row when it is a found reader, or else the only found reader; true when
    // a choice was made (the engine then asks to close).
    bool Select(int row);
    // Clears the choice and asks to close.
    void Cancel();
    bool HasResult() const { return hasResult_; }
    QString Result() const { return result_; }

    // The window wants to close: false while a handler runs (the close then follows at the
    // end of the current tick, through CloseRequested).
    bool RequestClose();
    // Stops the scan and closes every port (all at once, with one short pause for the
    // adapters); Closed follows.
    void Shutdown();

    // Port notifications: a device path or a "COMn" name.
    void PortArrived(const QString& pathOrName);
    void PortRemoved(const QString& pathOrName);

    // The link of candidate i (tests look at its port and speed).
    dorlin::RnetLink* Link(int i) const;

signals:
    void ListReset();         // the candidate list was rebuilt
    void RowChanged(int row); // a status changed
    void ScanComplete(int foundCount);
    void CloseRequested(); // the window should close now (chosen, cancelled or nothing found)
    void Closed();         // Shutdown finished: every port is closed

private:
    struct Candidate;

    void RefreshNow();
    void ResetScan();
    void Tick();
    void SendBurst(bool& anyUndone);
    void SendProbe(int i);
    void TakeReply(int i);
    void TakeReplies();
    void Finish(int i, const QString& status, bool found = false);
    void SetStatus(int i, const QString& status);
    void HandleRemovals();
    void EndOfBaudRate();
    void Complete();
    void ReleaseInstances();
    QString Text(const char* id, const char* fallback) const;
    long CurrentBaud() const;

    ScanParams params_;
    TextLookup text_;
    QList<long> bauds_;
    std::vector<std::unique_ptr<Candidate>> cands_;
    std::unique_ptr<dorlin::PortWatcher> watcher_;
    QTimer timer_;
    QTimer probeTimer_; // sends the probe to freshly opened ports
    // Takes the replies; unlike the tick it also runs while a device server is being
    // connected (the connection attempt dispatches events), so serial readers are found then.
    QTimer replyTimer_;
    QTimer noneTimer_; // closes the window a moment after a scan that found nothing
    QElapsedTimer clock_;
    qint64 lastTick_ = 0;
    qint64 holdUntil_ = 0; // no burst before this time (ports were just reset)

    int foundCount_ = 0;
    int baudIndex_ = 0;
    int windowLeft_ = kWindowMs;
    int burstWait_ = 0;
    int bursts_ = 0;
    QStringList removed_;
    bool refreshRequested_ = false;
    int busyDepth_ = 0;
    bool inTick_ = false;
    bool closeRequested_ = false;
    bool complete_ = false;
    bool shuttingDown_ = false;
    QString result_;
    bool hasResult_ = false;
};

} // namespace pelmar::discovery
