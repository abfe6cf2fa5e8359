#include "pelweb/Users.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPasswordDigestor>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <sys/stat.h>

namespace pelweb {

namespace {

constexpr const char* kScheme = "pbkdf2-sha256";
constexpr int kKeyBytes = 32;

QByteArray Derive(const QString& password, const QByteArray& salt, int iterations) {
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password.toUtf8(), salt,
                                              iterations, kKeyBytes);
}

// Others than the owner may read or write the file.
bool OpenToOthers(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return false;
    return (st.st_mode & 077) != 0;
}

} // namespace

QString RoleText(Role role) {
    switch (role) {
    case Role::Viewer:
        return QStringLiteral("viewer");
    case Role::Operator:
        return QStringLiteral("operator");
    case Role::None:
        break;
    }
    return {};
}

Role RoleFromText(const QString& text) {
    if (text == QLatin1String("viewer")) return Role::Viewer;
    if (text == QLatin1String("operator")) return Role::Operator;
    return Role::None;
}

QString DefaultUsersPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/lorvane/web-users");
}

QString CheckUserName(const QString& name) {
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9._@-]{1,64}$"));
    if (!re.match(name).hasMatch())
        return QStringLiteral("a user name is 1 to 64 letters, digits, '.', '_', '@' or '-'");
    return {};
}

bool LoadUsers(const QString& path, QList<WebUser>& users, QString* error) {
    users.clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("can't read the users file %1: %2").arg(path, file.errorString());
        return false;
    }
    if (OpenToOthers(path)) {
        *error = QStringLiteral("the users file %1 may be read or written by others: make it "
                                "readable by its owner only (chmod 600 %1)")
                     .arg(path);
        return false;
    }
    int lineNo = 0;
    while (!file.atEnd()) {
        ++lineNo;
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) continue;
        const QStringList f = line.split(QLatin1Char(':'));
        WebUser u;
        bool ok = f.size() == 6 && f[2] == QLatin1String(kScheme);
        if (ok) {
            u.name = f[0];
            u.role = RoleFromText(f[1]);
            u.iterations = f[3].toInt(&ok);
            u.salt = QByteArray::fromBase64(f[4].toLatin1());
            u.hash = QByteArray::fromBase64(f[5].toLatin1());
            ok = ok && CheckUserName(u.name).isEmpty() && u.role != Role::None &&
                 u.iterations >= 1000 && u.salt.size() >= 16 && u.hash.size() == kKeyBytes;
        }
        if (!ok) {
            *error = QStringLiteral("the users file %1, line %2: not a user (make users with "
                                    "pelmar serve --add-user NAME --role viewer|operator)")
                         .arg(path)
                         .arg(lineNo);
            return false;
        }
        users.append(u);
    }
    return true;
}

bool AddUser(const QString& path, const QString& name, Role role, const QString& password,
             int iterations, QString* error) {
    if (const QString why = CheckUserName(name); !why.isEmpty()) {
        *error = why;
        return false;
    }
    if (role == Role::None) {
        *error = QStringLiteral("the role is viewer or operator");
        return false;
    }
    if (password.isEmpty()) {
        *error = QStringLiteral("an empty password is refused");
        return false;
    }
    QList<WebUser> users;
    if (QFileInfo::exists(path) && !LoadUsers(path, users, error)) return false;
    WebUser u;
    u.name = name;
    u.role = role;
    u.iterations = iterations;
    u.salt.resize(16);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(u.salt.data()), 4);
    u.hash = Derive(password, u.salt, iterations);
    bool replaced = false;
    for (WebUser& old : users)
        if (old.name == name) {
            old = u;
            replaced = true;
        }
    if (!replaced) users.append(u);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) ||
        !out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        *error = QStringLiteral("can't write the users file %1: %2").arg(path, out.errorString());
        return false;
    }
    out.write("# pelmar serve users: name:role:pbkdf2-sha256:iterations:salt:hash\n");
    for (const WebUser& w : users)
        out.write(
            QStringLiteral("%1:%2:%3:%4:%5:%6\n")
                .arg(w.name, RoleText(w.role), QLatin1String(kScheme))
                .arg(w.iterations)
                .arg(QString::fromLatin1(w.salt.toBase64()), QString::fromLatin1(w.hash.toBase64()))
                .toUtf8());
    if (!out.commit()) {
        *error = QStringLiteral("can't write the users file %1: %2").arg(path, out.errorString());
        return false;
    }
    return true;
}

bool CheckPassword(const WebUser& user, const QString& password) {
    const QByteArray got = Derive(password, user.salt, user.iterations);
    if (got.size() != user.hash.size()) return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < got.size(); ++i)
        diff |= static_cast<unsigned char>(got[i] ^ user.hash[i]);
    return diff == 0;
}

} // namespace pelweb
