// The users of `pelmar serve`: a text file, one line per user ("name:role:pbkdf2-sha256:
// iterations:salt:hash", salt and hash in base64). Only a salted, slow hash of each password
// is kept, never the password. The file must be readable by its owner only.
#pragma once
#include <QByteArray>
#include <QList>
#include <QString>

namespace pelweb {

enum class Role { None, Viewer, Operator };
QString RoleText(Role role);
Role RoleFromText(const QString& text); // "viewer", "operator"; else None

struct WebUser {
    QString name;
    Role role = Role::None;
    int iterations = 0;
    QByteArray salt, hash;
};

// PBKDF2-HMAC-SHA256 rounds for new passwords.
constexpr int kDefaultIterations = 310000;

// $XDG_CONFIG_HOME/lorvane/web-users (~/.config/lorvane/web-users).
QString DefaultUsersPath();

// A user name as the file takes it: 1 to 64 of A-Z a-z 0-9 . _ - @. Returns why not, or "".
QString CheckUserName(const QString& name);

// Reads the file. Refused (false, *error) when it cannot be read, when others than its owner
// may read or write it, or when a line is not a user.
bool LoadUsers(const QString& path, QList<WebUser>& users, QString* error);

// Adds the user, or gives an existing one the new role and password; makes the file (mode
// 600) when there is none. The file is replaced whole (written beside it, then renamed).
bool AddUser(const QString& path, const QString& name, Role role, const QString& password,
             int iterations, QString* error);

// Whether the password is the user's (constant-time comparison of the derived keys).
bool CheckPassword(const WebUser& user, const QString& password);

} // namespace pelweb
