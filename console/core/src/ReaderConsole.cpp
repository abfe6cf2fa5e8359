// ReaderConsole's shared pieces and the operations on the reader itself: its version and a
// new Login ID. Connecting lives in ReaderConsoleConnect.cpp, the download in
// ReaderConsoleDownload.cpp, the record store's erase and recovery in ReaderConsoleErase.cpp.
#include "pelmar/core/ReaderConsole.h"

#include "ReaderConsoleParts.h"

namespace pelmar {
using namespace texts;
using namespace consoleparts;

ReaderConsole::ReaderConsole(IReaderLink* link, IUserPrompt& prompt)
    : session_(link), kt9_(session_), prompt_(prompt), link_(link) {}

QString ReaderConsole::UserNameCaption(const QString& name) {
    return CaptionWith(name);
}

void ReaderConsole::ClearRecords() {
    if (onClearRecords) onClearRecords();
}

void ReaderConsole::CloseLink() {
    if (link_ && link_->PortOpen()) link_->SetPortOpen(false);
}

void ReaderConsole::ShowUserName() {
    prompt_.SetCaption(CaptionWith(Lang(13511, "Get User Name...")));
    prompt_.SetCaption(CaptionWith(kt9_.GetKt9UserName()));
}

OpResult ReaderConsole::ShowVersion(QString* shown) {
    prompt_.SetState(UiState::DialogBusy);
    OpResult r;
    QString v =
        session_.Ask([&] { return link_->GetVersion(); }, shape::Version, kShapeAttempts).trimmed();
    if (v.startsWith(QLatin1Char('A'))) {
        v = v.mid(1);
        if (!v.startsWith(QLatin1String("KRN")) && !v.startsWith(QLatin1Char('V')))
            v.prepend(QLatin1Char('V'));
        if (shown) *shown = v;
        prompt_.ShowMessage(MsgKind::Information, LangF(13515, "Card Reader Firmware: %s", v));
        r = OpResult::OK;
    } else if (!kt9_.CheckReader()) {
        prompt_.ShowMessage(MsgKind::Critical, LangF(13514, "Can't connect to %s!", ReaderName()));
        r = OpResult::NoConnection;
    } else {
        r = OpResult::Refused; // a present reader that refuses shows nothing
    }
    prompt_.SetState(UiState::DialogDone);
    return r;
}

OpResult ReaderConsole::ChangeLoginId() {
    QString id = prompt_.AskNewLoginId();
    if (id.isEmpty()) return OpResult::Cancelled;
    if (session_.SetPassword(id)) {
        prompt_.ShowMessage(MsgKind::Information, Lang(13518, "Change Login ID OK"));
        return OpResult::OK;
    }
    // A link that closed under the exchange is as unanswered as a time-out.
    if (session_.blnTimeout || !link_->PortOpen()) {
        // The reply was lost, not necessarily the change: a login tells which ID the reader
        // now takes, the new one first.
        const bool open = link_->PortOpen();
        if (open && link_->Login(id)) {
            prompt_.ShowMessage(MsgKind::Information, Lang(13518, "Change Login ID OK"));
            prompt_.ShowNote(QStringLiteral("The reader's reply was lost, but it takes the new "
                                            "Login ID: %1 is in force.")
                                 .arg(id));
            return OpResult::OK;
        }
        prompt_.ShowMessage(
            MsgKind::Critical,
            LangF(13519, "Change Login ID NG\\nCan't connect to %s!", ReaderName()));
        if (open && !szLoginID.isEmpty() && link_->Login(szLoginID))
            prompt_.ShowNote(QStringLiteral("The reader's reply was lost; it still takes the old "
                                            "Login ID: %1 is in force.")
                                 .arg(szLoginID));
        else if (open)
            prompt_.ShowNote(QStringLiteral("The reader's reply was lost, and it takes neither "
                                            "the new nor the old Login ID now."));
        return OpResult::NoConnection;
    }
    prompt_.ShowMessage(MsgKind::Critical, Lang(13520, "Change Login ID NG"));
    return OpResult::Refused;
}

} // namespace pelmar
