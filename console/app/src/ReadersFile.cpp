#include "ReadersFile.h"

#include "pelarchive/ReaderArchive.h"

#include <QMap>
#include <QSettings>
#include <atomic>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pelmar::cli {

QString NormaliseLoginId(const QString& text) {
    QString id = text.trimmed().toUpper();
    if (id.size() != 4) return QString();
    for (QChar ch : id)
        if (!((ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'F'))) return QString();
    return id;
}

namespace {

// The text as a file in memory (an anonymous memory file, seen through /proc/self/fd) so that
// Qt's INI reading takes it exactly as it takes the file on disk.
class MemoryFile {
public:
    explicit MemoryFile(const QByteArray& text) {
        fd_ = memfd_create("lorvane-readers", MFD_CLOEXEC);
        if (fd_ < 0) return;
        qsizetype done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(fd_, text.constData() + done, size_t(text.size() - done));
            if (n <= 0) {
                ::close(fd_);
                fd_ = -1;
                return;
            }
            done += n;
        }
        // Qt keeps files it has read and reads one again only when its size or modification
        // time changed: every text gets a time of its own.
        static std::atomic<long> stamp{1000000000};
        const long s = stamp++;
        const timespec times[2] = {{s, 0}, {s, 0}};
        futimens(fd_, times);
    }
    ~MemoryFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    bool ok() const { return fd_ >= 0; }
    QString path() const { return QStringLiteral("/proc/self/fd/%1").arg(fd_); }

private:
    int fd_ = -1;
};

} // namespace

bool ParseReaders(const QByteArray& text, const QString& path, const QString& envLogin,
                  QList<ReaderEntry>& readers, bool* holdsLogin, QString* error) {
    readers.clear();
    *holdsLogin = false;
    // Line by line first: what the INI reading would cut, merge or drop without a word.
    QMap<QString, int> sectionLine;
    {
        const QList<QByteArray> lines = text.split('\n');
        for (int i = 0; i < lines.size(); ++i) {
            const int line = i + 1;
            if (lines[i].contains('\0')) {
                *error = QStringLiteral("readers file %1 line %2: a NUL byte").arg(path).arg(line);
                return false;
            }
            const QString t = QString::fromUtf8(lines[i]).trimmed();
            if (!t.startsWith(u'[') || !t.endsWith(u']')) continue;
            const QString name = t.mid(1, t.size() - 2);
            QString why;
            if (name.isEmpty() || name.startsWith(u'/')) {
                *error = QStringLiteral("readers file %1 line %2: a section has no name (a name in "
                                        "[ ] that does not start with \"/\")")
                             .arg(path)
                             .arg(line);
                return false;
            }
            if (!pelarchive::IsReaderName(name, &why)) {
                *error = QStringLiteral("readers file %1 line %2: [%3] can't be a reader name: %4")
                             .arg(path)
                             .arg(line)
                             .arg(name, why);
                return false;
            }
            if (sectionLine.contains(name)) {
                *error = QStringLiteral("readers file %1 line %2: [%3] is there twice (first at "
                                        "line %4)")
                             .arg(path)
                             .arg(line)
                             .arg(name)
                             .arg(sectionLine[name]);
                return false;
            }
            sectionLine[name] = line;
        }
    }
    MemoryFile file(text);
    if (!file.ok()) {
        *error = QStringLiteral("can't read the readers file %1").arg(path);
        return false;
    }
    QSettings ini(file.path(), QSettings::IniFormat);
    if (ini.status() != QSettings::NoError) {
        *error = QStringLiteral("the readers file %1 is not an INI file").arg(path);
        return false;
    }
    QMap<QString, QString> portOwner;
    for (const QString& section : ini.childGroups()) {
        // "[]" and "[/name]" leave a group without a name, which reads the keys written
        // before the first section: refused rather than collected on another reader's port.
        if (section.isEmpty()) {
            *error = QStringLiteral("readers file %1: a section has no name (a name in [ ] "
                                    "that does not start with \"/\")")
                         .arg(path);
            return false;
        }
        ini.beginGroup(section);
        ReaderEntry r;
        r.name = section;
        r.port = ini.value(QStringLiteral("Port")).toString().trimmed();
        r.baud = ini.value(QStringLiteral("Baud")).toString().trimmed();
        const QString login = ini.value(QStringLiteral("Login")).toString();
        *holdsLogin = *holdsLogin || ini.contains(QStringLiteral("Login"));
        ini.endGroup();
        if (r.port.isEmpty()) {
            *error = QStringLiteral("readers file %1: [%2] has no Port").arg(path, section);
            return false;
        }
        // One device, however its port is spelled.
        const QString portKey = pelarchive::DeviceIdentity(r.port);
        if (portOwner.contains(portKey)) {
            *error = QStringLiteral("readers file %1 line %2: [%3] and [%4] use the same device %5")
                         .arg(path)
                         .arg(sectionLine.value(section))
                         .arg(portOwner[portKey], section, portKey);
            return false;
        }
        portOwner[portKey] = section;
        if (!r.baud.isEmpty() && r.baud.toLong() <= 0) {
            *error = QStringLiteral("readers file %1: [%2] Baud=%3 is not a rate")
                         .arg(path, section, r.baud);
            return false;
        }
        r.login = NormaliseLoginId(login.isEmpty() ? envLogin : login);
        if (r.login.isEmpty())
            r.problem = (login.isEmpty() && envLogin.isEmpty())
                            ? QStringLiteral("no Login ID (a Login key or LORVANE_LOGIN)")
                            : QStringLiteral("Login ID have to be 4 digital numbers");
        readers << r;
    }
    if (readers.isEmpty()) {
        *error = QStringLiteral("the readers file %1 names no reader ([name] sections)").arg(path);
        return false;
    }
    return true;
}

} // namespace pelmar::cli
