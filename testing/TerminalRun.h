// Programs run with their stderr on a terminal, as a person would run them, and what the
// terminal shows taken apart into progress frames and text.
#pragma once
#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace lvtest {

// A program run with its stderr on a pseudo-terminal of `columns` columns (stdin and stdout
// are not terminals; it has no controlling terminal): its exit code, what it printed on
// stdout, and the exact bytes that reached the terminal. finished is false when it outlived
// limitMs (it is then killed).
struct TerminalRun {
    bool finished = false;
    int code = -1;
    QByteArray out, err;
};
TerminalRun runWithStderrOnTerminal(const QString& program, const QStringList& args,
                                    const QProcessEnvironment& env, int limitMs, int columns = 100);

// What a terminal shows, taken apart: the progress frames (each led by "\r", without the
// spaces that cover a longer frame before it) and the text written between them (lines
// written after the progress line was cleared).
struct TerminalText {
    QStringList frames;
    QString text;
    bool covered = true;      // each frame covered the whole line before it
    bool endsCleared = false; // the last frame was cleared (and nothing was left on the line)
};
TerminalText readTerminal(const QByteArray& bytes);

} // namespace lvtest
