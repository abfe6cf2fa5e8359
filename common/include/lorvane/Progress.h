// What a long command tells the person at the terminal: a progress line on stderr, redrawn
// in place and cleared at the end (only when stderr is a terminal), a one-line summary of
// what happened, and warnings that do not tear the progress line. With --quiet only errors
// are written. Every program uses this one reporter; nothing else asks whether stderr is a
// terminal or how wide it is.
#pragma once
#include <QString>
#include <QStringList>
#include <QTextStream>
#include <functional>
#include <vector>

namespace lorvane {

// Whether stderr is a terminal, and its width in columns (80 when it cannot be told).
bool StderrIsTerminal();
int StderrColumns();

// Where a job stands, and how its line reads:
//   "Downloading: 120 / 400 records (30 %), 52 records/s, 0:05 left"
// The expected count is only a guide: once more has been done than it says, neither a
// percentage nor a time left is shown. expected < 1 means not known. Without a unit the line
// is the label alone ("Exporting 300 records"), for a step that counts nothing.
struct ProgressState {
    QString label;
    long done = 0;
    long expected = -1;
    QString unit = QStringLiteral("records");
    qint64 elapsedMs = 0;
};
// The line for a state, cut to width - 1 columns so that it never wraps.
QString ProgressLine(const ProgressState& s, int width);
// "0:05", "12:40", "1:02:03".
QString DurationText(qint64 seconds);

class Progress {
public:
    enum class Mode {
        Quiet,    // errors only
        Plain,    // summaries, warnings and errors: stderr is a pipe, a file or a journal
        Terminal, // and the progress line
    };
    // At most this often a redraw: drawing never slows the job.
    static constexpr qint64 kRedrawMs = 100;

    // The mode for stderr: Quiet when asked, else Terminal or Plain as stderr is.
    static Mode ModeForStderr(bool quiet);

    // err: the stream of the progress line, summaries and warnings. clock: milliseconds from
    // any fixed point (a steady clock when not given).
    Progress(QTextStream& err, Mode mode, int width = 80, std::function<qint64()> clock = {});
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    Mode mode() const { return mode_; }

    // A new job: its line shows at once (on a terminal).
    void Start(const QString& label, long expected = -1,
               const QString& unit = QStringLiteral("records"));
    void SetLabel(const QString& label);
    void SetExpected(long expected);
    // Work done so far; the line is redrawn at most every kRedrawMs.
    void Update(long done);
    long Done() const { return state_.done; }
    long Expected() const { return state_.expected; }
    bool Active() const { return active_; }

    // Takes the line off the screen (before other output); the next Update draws it again.
    void Clear();
    // Ends the job: the line is cleared.
    void Finish();
    // Ends the job and says what happened, in one line (not with --quiet).
    void Summary(const QString& line);
    // A real warning or a remark (not with --quiet); the line comes back with the next Update.
    void Warning(const QString& line);
    // An error: always written.
    void Error(const QString& line);
    // Writes a line to another stream (results on stdout, say) without tearing the
    // progress line.
    void Print(QTextStream& out, const QString& line);

    // Many jobs at once, one per name (collect: one per reader). The progress line names the
    // running ones with their counts; as each ends, its result line ("NAME: text") goes to
    // `out`.
    void StartRows(const QString& label, const QStringList& names,
                   const QString& unit = QStringLiteral("records"));
    void UpdateRow(int row, long done, long expected = -1);
    void FinishRow(int row, QTextStream& out, const QString& text);

    // Frames drawn so far (a measure for the benchmark and the tests).
    int Frames() const { return frames_; }

private:
    struct Row {
        QString name;
        long done = -1, expected = -1;
        bool finished = false;
    };
    QString CurrentLine() const;
    void Draw();
    void Write(const QString& s);

    QTextStream& err_;
    Mode mode_;
    int width_;
    std::function<qint64()> clock_;
    ProgressState state_;
    std::vector<Row> rows_;
    qint64 started_ = 0;
    qint64 lastDraw_ = 0;
    bool active_ = false;
    int shown_ = 0; // characters of the line on the screen (0: none)
    int frames_ = 0;
};

} // namespace lorvane
