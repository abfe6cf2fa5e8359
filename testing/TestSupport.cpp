#include "TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <QThread>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace lvtest {

PtyPair::PtyPair() {
    int m = -1, s = -1;
    char name[256] = {0};
    if (openpty(&m, &s, name, nullptr, nullptr) != 0) return;
    termios t{};
    tcgetattr(s, &t);
    cfmakeraw(&t);
    tcsetattr(s, TCSANOW, &t);
    master_ = m;
    slaveKeep_ = s;
    slavePath_ = name;
    int fl = fcntl(master_, F_GETFL);
    fcntl(master_, F_SETFL, fl | O_NONBLOCK);
}

PtyPair::~PtyPair() {
    closeMaster();
    if (slaveKeep_ >= 0) ::close(slaveKeep_);
}

void PtyPair::closeMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

bool PtyPair::write(const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(master_, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                pollfd p{master_, POLLOUT, 0};
                ::poll(&p, 1, 100);
                continue;
            }
            return false;
        }
        done += n;
    }
    return true;
}

QByteArray PtyPair::read(int timeoutMs, const QByteArray& until) {
    QByteArray out;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < timeoutMs) {
        pollfd p{master_, POLLIN, 0};
        int left = int(timeoutMs - t.elapsed());
        if (::poll(&p, 1, left > 0 ? std::min(left, 20) : 0) > 0 && (p.revents & POLLIN)) {
            char buf[4096];
            ssize_t n = ::read(master_, buf, sizeof buf);
            if (n > 0) out.append(buf, n);
        }
        QCoreApplication::processEvents();
        if (!until.isEmpty() && out.endsWith(until)) break;
    }
    return out;
}

bool waitFor(const std::function<bool()>& pred, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() >= timeoutMs) return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

QString binPath(const QString& name) {
    const QString program = QStringLiteral(LORVANE_BIN_DIR "/") + name;
    const QString other = QStringLiteral(LORVANE_TEST_DIR "/") + name;
    return !QFileInfo::exists(program) && QFileInfo::exists(other) ? other : program;
}

ChildProcess::ChildProcess(const QString& program, const QStringList& args) {
    QTemporaryFile tmp(QDir::tempPath() + "/lvchild-XXXXXX.out");
    tmp.setAutoRemove(false);
    if (!tmp.open()) return;
    outPath_ = tmp.fileName();
    tmp.close();
    QByteArray prog = program.toLocal8Bit();
    QList<QByteArray> a;
    for (const QString& s : args)
        a << s.toLocal8Bit();
    QByteArray out = outPath_.toLocal8Bit();
    const pid_t parent = getpid();
    pid_t p = fork();
    if (p == 0) {
        // A test that dies without its destructors (a sanitizer report, a crash) takes its
        // children along; an orphan would keep the test's output open and ctest waiting.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        int fd = ::open(out.constData(), O_WRONLY | O_TRUNC);
        if (fd >= 0) dup2(fd, 1);
        std::vector<char*> argv;
        argv.push_back(prog.data());
        for (auto& x : a)
            argv.push_back(x.data());
        argv.push_back(nullptr);
        execv(prog.constData(), argv.data());
        _exit(127);
    }
    pid_ = p;
}

ChildProcess::~ChildProcess() {
    terminate();
    if (!outPath_.isEmpty()) QFile::remove(outPath_);
}

void ChildProcess::terminate() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (wait(3000) == -1) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
}

int ChildProcess::wait(int timeoutMs) {
    if (pid_ <= 0) return -1;
    QElapsedTimer t;
    t.start();
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        }
        if (t.elapsed() >= timeoutMs) return -1;
        QThread::msleep(2);
    }
}

QByteArray ChildProcess::readStdout() {
    QFile f(outPath_);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

bool writeFile(const QString& path, const QByteArray& data) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString sourceText(const QString& path) {
    return QString::fromUtf8(readFile(QStringLiteral(LORVANE_SOURCE_DIR "/") + path));
}

QSet<QString> optionWords(const QString& text) {
    static const QRegularExpression re(QStringLiteral("(?<![\\w-])--[a-z][a-z-]*"));
    QSet<QString> words;
    for (auto it = re.globalMatch(text); it.hasNext();)
        words.insert(it.next().captured(0));
    return words;
}

bool waitForPath(const QString& path, int timeoutMs) {
    return waitFor([&] { return QFileInfo::exists(path); }, timeoutMs);
}

namespace {
std::string MakeTempDir(const std::string& pattern) {
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    const char* d = mkdtemp(buf.data());
    return d ? std::string(d) : std::string();
}
} // namespace

IsolatedFolders::IsolatedFolders(const std::string& prefix,
                                 std::initializer_list<const char*> unset) {
    config_ = MakeTempDir("/tmp/" + prefix + "-config-XXXXXX");
    setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
    data_ = MakeTempDir("/tmp/" + prefix + "-home-XXXXXX");
    QDir().mkpath(QString::fromStdString(data_) + "/Language");
    setenv("LORVANE_HOME", data_.c_str(), 1);
    for (const char* name : unset)
        unsetenv(name);
}

IsolatedFolders::~IsolatedFolders() {
    if (!config_.empty()) QDir(QString::fromStdString(config_)).removeRecursively();
    if (!data_.empty()) QDir(QString::fromStdString(data_)).removeRecursively();
}

} // namespace lvtest
