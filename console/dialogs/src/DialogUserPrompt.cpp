#include "pelmar/dialogs/DialogUserPrompt.h"

#include "pelmar/dialogs/frmLogin.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <lvlang/modLanguage.h>

namespace pelmar::dialogs {

QString AppTitle() {
    return QStringLiteral("Lorvane");
}

namespace {
// Message texts break their lines with CR LF (as the language files write "\n"); a Qt box
// shows a bare CR as a stray character, so it gets plain line feeds.
QString BoxText(QString text) {
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return text;
}
} // namespace

void MsgBox(QWidget* parent, MsgKind kind, const QString& text, const QString& title) {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (kind) {
    case MsgKind::Critical:
        icon = QMessageBox::Critical;
        break;
    case MsgKind::Exclamation:
        icon = QMessageBox::Warning;
        break;
    case MsgKind::Information:
        icon = QMessageBox::Information;
        break;
    case MsgKind::Plain:
        break;
    }
    QMessageBox box(icon, title.isEmpty() ? AppTitle() : title, BoxText(text), QMessageBox::Ok,
                    parent);
    box.setObjectName(QStringLiteral("MsgBox"));
    box.button(QMessageBox::Ok)->setText(lvlang::LangString(1000, QStringLiteral("OK")));
    box.exec();
}

QString DialogUserPrompt::AskLoginId(int) {
    return GetLoginID(parent_);
}

QString DialogUserPrompt::AskNewLoginId() {
    return GetChgID(parent_);
}

bool DialogUserPrompt::AskYesNo(const QString& text) {
    QMessageBox box(QMessageBox::Question, AppTitle(), BoxText(text),
                    QMessageBox::Yes | QMessageBox::No, parent_);
    box.setObjectName(QStringLiteral("MsgBox"));
    // Qt's own button texts stay English; the language file has its own.
    box.button(QMessageBox::Yes)->setText(lvlang::LangString(19100, QStringLiteral("&Yes")));
    box.button(QMessageBox::No)->setText(lvlang::LangString(19101, QStringLiteral("&No")));
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void DialogUserPrompt::ShowMessage(MsgKind kind, const QString& text, const QString& title) {
    MsgBox(parent_, kind, text, title);
}

} // namespace pelmar::dialogs
