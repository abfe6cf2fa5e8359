// Helpers shared by the tests: a pseudo-terminal pair, a child process that is killed when
// the test ends, waiting on the Qt event loop with a bound, and temporary directories.
#pragma once
#include <QByteArray>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>
#include <initializer_list>
#include <string>
#include <sys/types.h>

namespace lvtest {

// A pseudo-terminal: the test holds the master side and hands slavePath() to the code
// under test, which opens it like a serial port.
class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;
    bool ok() const { return master_ >= 0; }
    int master() const { return master_; }
    std::string slavePath() const { return slavePath_; }
    // Writes bytes to the master side (what the peer sends).
    bool write(const QByteArray& bytes);
    // Reads what arrived at the master within timeoutMs, stopping early once `until`
    // (when not empty) has been seen at the end of the data.
    QByteArray read(int timeoutMs, const QByteArray& until = QByteArray());
    void closeMaster();

private:
    int master_ = -1;
    int slaveKeep_ = -1; // keeps the slave side alive between opens by the code under test
    std::string slavePath_;
};

// Runs the event loop until pred() holds or timeoutMs passed; returns pred().
bool waitFor(const std::function<bool()>& pred, int timeoutMs);

// Path of an executable of the build: a program users run (<build>/bin/NAME), else a test,
// benchmark or tool (<build>/tests/NAME).
QString binPath(const QString& name);

// A child process started for a test and killed (SIGTERM, then SIGKILL) when destroyed.
class ChildProcess {
public:
    ChildProcess(const QString& program, const QStringList& args);
    ~ChildProcess();
    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // Waits for the process to end; returns its exit status or -1 on time-out.
    int wait(int timeoutMs);
    void terminate();
    QByteArray readStdout(); // what it printed so far (captured in a temp file)

private:
    pid_t pid_ = -1;
    QString outPath_;
};

// Waits until a file system path exists (e.g. a pty link made by a simulator).
bool waitForPath(const QString& path, int timeoutMs);

// Writes a whole file; false when it could not be written completely.
bool writeFile(const QString& path, const QByteArray& data);
// A whole file, or nothing when it cannot be read.
QByteArray readFile(const QString& path);
// A file of the source tree (a path below its top, "packaging/man/pelmar.1.scd"), as text.
QString sourceText(const QString& path);
// The "--name" words of a text (help, a man page, a completion script): what the tests of
// the programs' option tables hold against each table.
QSet<QString> optionWords(const QString& text);

// Folders of the test process's own, made before anything reads settings (define one as a
// global of the test executable): an empty settings folder (XDG_CONFIG_HOME) and an empty
// program data folder (LORVANE_HOME, with an empty "Language" folder, so texts are the
// built-in English ones). `unset` names environment variables the tests must not inherit.
// Both folders are removed again at exit.
class IsolatedFolders {
public:
    // The folders are /tmp/PREFIX-config-XXXXXX and /tmp/PREFIX-home-XXXXXX.
    IsolatedFolders(const std::string& prefix, std::initializer_list<const char*> unset);
    ~IsolatedFolders();
    IsolatedFolders(const IsolatedFolders&) = delete;
    IsolatedFolders& operator=(const IsolatedFolders&) = delete;
    const std::string& config() const { return config_; }
    const std::string& data() const { return data_; }

private:
    std::string config_, data_;
};

} // namespace lvtest
