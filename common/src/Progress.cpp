#include "lorvane/Progress.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <sys/ioctl.h>
#include <unistd.h>

namespace lorvane {

bool StderrIsTerminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

int StderrColumns() {
    winsize ws{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    bool ok = false;
    const int columns = qEnvironmentVariableIntValue("COLUMNS", &ok);
    return ok && columns > 0 ? columns : 80;
}

QString DurationText(qint64 seconds) {
    seconds = std::max<qint64>(0, seconds);
    const qint64 h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
    if (h > 0)
        return QStringLiteral("%1:%2:%3")
            .arg(h)
            .arg(m, 2, 10, QLatin1Char('0'))
            .arg(s, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, QLatin1Char('0'));
}

namespace {

// A rate is shown once a second has passed: before that it says little.
constexpr qint64 kRateAfterMs = 1000;

QString Cut(QString line, int width) {
    const int room = std::max(10, width - 1);
    if (line.size() > room) line.truncate(room);
    return line;
}

} // namespace

QString ProgressLine(const ProgressState& s, int width) {
    // A step that counts nothing: its label alone.
    if (s.unit.isEmpty()) return Cut(s.label, width);
    const bool known = s.expected > 0;
    const bool within = known && s.done <= s.expected;
    QString line = s.label.isEmpty() ? QString() : s.label + QStringLiteral(": ");
    if (within)
        line += QStringLiteral("%1 / %2 %3 (%4 %)")
                    .arg(s.done)
                    .arg(s.expected)
                    .arg(s.unit)
                    .arg(s.done * 100 / s.expected);
    else
        line += QStringLiteral("%1 %2").arg(s.done).arg(s.unit);
    if (s.elapsedMs >= kRateAfterMs && s.done > 0) {
        const double rate = double(s.done) * 1000.0 / double(s.elapsedMs);
        line += rate < 10 ? QStringLiteral(", %1 %2/s").arg(rate, 0, 'f', 1).arg(s.unit)
                          : QStringLiteral(", %1 %2/s").arg(qint64(rate)).arg(s.unit);
        if (within) {
            const double left = double(s.expected - s.done) / rate;
            line += QStringLiteral(", %1 left").arg(DurationText(qint64(std::ceil(left))));
        }
    }
    return Cut(line, width);
}

Progress::Mode Progress::ModeForStderr(bool quiet) {
    if (quiet) return Mode::Quiet;
    return StderrIsTerminal() ? Mode::Terminal : Mode::Plain;
}

Progress::Progress(QTextStream& err, Mode mode, int width, std::function<qint64()> clock)
    : err_(err), mode_(mode), width_(width), clock_(std::move(clock)) {
    if (!clock_)
        clock_ = [] {
            return qint64(std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count());
        };
}

Progress::~Progress() {
    Clear();
}

void Progress::Write(const QString& s) {
    err_ << s;
    err_.flush();
}

QString Progress::CurrentLine() const {
    ProgressState s = state_;
    s.elapsedMs = clock_() - started_;
    if (rows_.empty()) return ProgressLine(s, width_);
    // Many jobs: how many have ended, then each running one with its count.
    long finished = 0;
    QStringList running;
    for (const Row& r : rows_) {
        if (r.finished) {
            ++finished;
            continue;
        }
        if (r.done < 0)
            running << r.name;
        else if (r.expected > 0 && r.done <= r.expected)
            running << QStringLiteral("%1 %2 / %3").arg(r.name).arg(r.done).arg(r.expected);
        else
            running << QStringLiteral("%1 %2").arg(r.name).arg(r.done);
    }
    QString line = QStringLiteral("%1: %2 / %3 done, %4")
                       .arg(state_.label)
                       .arg(finished)
                       .arg(rows_.size())
                       .arg(DurationText(s.elapsedMs / 1000));
    if (!running.isEmpty()) line += QStringLiteral("; ") + running.join(QStringLiteral(", "));
    return Cut(line, width_);
}

void Progress::Draw() {
    if (mode_ != Mode::Terminal || !active_) return;
    const QString line = CurrentLine();
    QString frame = QStringLiteral("\r") + line;
    // Over-write what is left of a longer line before it.
    if (shown_ > line.size()) frame += QString(shown_ - line.size(), QLatin1Char(' '));
    Write(frame);
    shown_ = std::max<int>(1, int(line.size()));
    lastDraw_ = clock_();
    ++frames_;
}

void Progress::Start(const QString& label, long expected, const QString& unit) {
    Clear();
    rows_.clear();
    state_ = ProgressState{label, 0, expected, unit, 0};
    started_ = clock_();
    active_ = true;
    Draw();
}

void Progress::SetLabel(const QString& label) {
    if (label == state_.label) return;
    state_.label = label;
    if (active_) Draw();
}

void Progress::SetExpected(long expected) {
    state_.expected = expected;
}

void Progress::Update(long done) {
    state_.done = done;
    if (!active_ || mode_ != Mode::Terminal) return;
    if (shown_ == 0 || clock_() - lastDraw_ >= kRedrawMs) Draw();
}

void Progress::Clear() {
    if (shown_ == 0) return;
    Write(QStringLiteral("\r") + QString(shown_, QLatin1Char(' ')) + QStringLiteral("\r"));
    shown_ = 0;
}

void Progress::Finish() {
    Clear();
    active_ = false;
    rows_.clear();
}

void Progress::Summary(const QString& line) {
    Finish();
    if (mode_ != Mode::Quiet) Write(line + QLatin1Char('\n'));
}

void Progress::Warning(const QString& line) {
    Clear();
    if (mode_ != Mode::Quiet) Write(line + QLatin1Char('\n'));
}

void Progress::Error(const QString& line) {
    Clear();
    Write(line + QLatin1Char('\n'));
}

void Progress::Print(QTextStream& out, const QString& line) {
    Clear();
    out << line << Qt::endl;
}

void Progress::StartRows(const QString& label, const QStringList& names, const QString& unit) {
    Clear();
    rows_.clear();
    for (const QString& n : names)
        rows_.push_back(Row{n});
    state_ = ProgressState{label, 0, -1, unit, 0};
    started_ = clock_();
    active_ = true;
    Draw();
}

void Progress::UpdateRow(int row, long done, long expected) {
    if (row < 0 || size_t(row) >= rows_.size()) return;
    rows_[size_t(row)].done = done;
    rows_[size_t(row)].expected = expected;
    Update(state_.done);
}

void Progress::FinishRow(int row, QTextStream& out, const QString& text) {
    if (row >= 0 && size_t(row) < rows_.size()) {
        rows_[size_t(row)].finished = true;
        Print(out, rows_[size_t(row)].name + QStringLiteral(": ") + text);
    } else {
        Print(out, text);
    }
    // Redrawn while others still run.
    const bool running =
        std::any_of(rows_.begin(), rows_.end(), [](const Row& r) { return !r.finished; });
    if (active_ && running) Draw();
}

} // namespace lorvane
