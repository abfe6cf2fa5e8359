// Connecting: the port text, opening the port, the presence probe, the login loop; and the
// re-check every button runs first.
#include "pelmar/core/ReaderConsole.h"

#include "ReaderConsoleParts.h"
#include "pelmar/core/clsTimeout.h"

#include "dorlin/Rnet.h"
#include "dorlin/TickSource.h"

#include <QRegularExpression>

namespace pelmar {
using namespace texts;
using namespace consoleparts;

bool ReaderConsole::ProbeReader() {
    // Ask with the logout command until something that looks like a reader answers: one
    // frame, and another only after a reply time without an answer, so that a slow reader
    // is not flooded with frames it would answer one after the other.
    rnet::CollectorOptions options;
    options.crBeforeStxEnds = false; // a CR before the STX is noise
    rnet::ReplyCollector collector(options);
    const uint32_t every =
        uint32_t(std::clamp<long>(link_->RnetTimeout(), 500, 1000)); // between frames
    const uint32_t window = std::max<uint32_t>(kProbeMs, every + 250);
    const uint32_t start = dorlin::GetTickCount();
    uint32_t lastFrame = 0;
    const QString frame = QStringLiteral("\x02O\r");
    int sent = 0, answered = 0;
    // Counts the complete frames in what arrived; true once one of them is a reader's.
    auto take = [&] {
        bool reader = false;
        if (link_->RxCount() < 1) return false;
        for (char c : link_->Text().toLatin1()) {
            if (!collector.Feed(c) || !collector.Complete()) continue;
            ++answered;
            const std::string& reply = collector.Text();
            if (reply == "N00" || reply == "N01" || reply.rfind('A', 0) == 0) reader = true;
        }
        return reader;
    };
    while (link_->PortOpen()) {
        uint32_t elapsed = dorlin::GetTickCount() - start;
        if (elapsed >= window) break;
        if (sent == 0 || elapsed - lastFrame >= every) {
            lastFrame = elapsed;
            link_->SetText(frame);
            ++sent;
        }
        if (take()) {
            if (sent == 1) session_.NoteLatency(elapsed);
            DrainProbeReplies(sent, answered, elapsed, take);
            return true;
        }
        link_->WaitForRx(1);
    }
    return false;
}

void ReaderConsole::DrainProbeReplies(int sent, int& answered, uint32_t latency,
                                      const std::function<bool()>& take) {
    // A reader that takes a while to answer may still have replies to earlier probes on
    // their way; one of those must not be taken as the answer to the login. Wait for them
    // while they keep coming (a gap of twice the first answer's time ends the wait), then
    // discard. A reader answers one frame at a time, so they may take the first answer's
    // time each.
    const uint32_t quietMs = std::min<uint32_t>(2 * latency + 50, 1000);
    const uint32_t limit =
        std::min<uint32_t>(uint32_t(sent - answered) * (latency + 16) + quietMs, kProbeDrainMs);
    const uint32_t start = dorlin::GetTickCount();
    uint32_t lastSeen = start;
    while (answered < sent && link_->PortOpen()) {
        uint32_t now = dorlin::GetTickCount();
        if (now - lastSeen >= quietMs || now - start >= limit) break;
        int before = answered;
        take();
        if (answered != before) lastSeen = dorlin::GetTickCount();
        link_->WaitForRx(1);
    }
    link_->ClearRxBuffer();
}

namespace {
// Sets the link to a port text: "COMn", "IP:a.b.c.d", "IP:a.b.c.d:port" or a device path
// (extPort). False when the text names no port.
bool SetPort(IReaderLink& link, const QString& szPort, bool& extPort) {
    const QString port = szPort.trimmed();
    extPort = false;
    static const QRegularExpression comRe(QStringLiteral("^COM(\\d{1,5})$"),
                                          QRegularExpression::CaseInsensitiveOption);
    auto com = comRe.match(port);
    if (com.hasMatch()) {
        link.SetCommPort(short(com.captured(1).toInt()));
    } else if (port.startsWith(QLatin1String("IP:"), Qt::CaseInsensitive)) {
        QString rest = port.mid(3);
        qsizetype colon = rest.indexOf(QLatin1Char(':'));
        link.SetCommPort(0);
        if (colon < 0) {
            link.SetiAddress(rest);
            link.SetiPort(1001);
        } else {
            link.SetiAddress(rest.left(colon));
            link.SetiPort(short(rest.mid(colon + 1).toInt()));
        }
    } else if (port.startsWith(QLatin1Char('/'))) {
        extPort = true;
        link.SetExtPort(port);
    } else {
        return false;
    }
    return true;
}

// Up to five tries, 50 ms apart.
bool OpenPort(IReaderLink& link, bool extPort) {
    for (int i = 0; i < 5; ++i) {
        if (extPort)
            link.SetExtPortOpen(true);
        else
            link.SetPortOpen(true);
        if (link.PortOpen()) break;
        dorlin::Sleep(50);
    }
    return link.PortOpen();
}

struct Login {
    QString id;            // the last ID given ("" = none)
    QString reply;         // the reader's answer to it
    bool timedOut = false; // no answer came
    bool refused = false;  // an ID was refused before (its message has been shown)
};

// Login: the reply "A" is shorter than four characters, so an accepted ID is sent twice; a
// refusal with a reason ends the attempt after one send. A plain "I" asks for another ID, up
// to eight.
Login AskLogin(ReaderSession& session, IReaderLink& link, IUserPrompt& prompt) {
    Login l;
    auto send = [&] {
        session.blnTimeout = false;
        // Only "A", "I" or "N" + reason answer a login; anything else is a late reply to
        // the probe and is not taken.
        l.reply =
            session.Ask([&] { return link.SendRnetCmd(QStringLiteral("L") + l.id, false, false); },
                        shape::Accepted, kShapeAttempts);
        l.timedOut = session.blnTimeout || l.reply.isEmpty();
        return l.reply.size() >= 4 && !l.timedOut;
    };
    for (int attempt = 1; attempt <= 8; ++attempt) {
        l.id = prompt.AskLoginId(attempt);
        if (l.id.isEmpty()) break;
        if (send() || send()) break;
        if (l.reply == QLatin1String("I") && !l.timedOut) {
            l.refused = true;
            prompt.ShowMessage(MsgKind::Exclamation,
                               Lang(13521, "The Login ID is invalid!\\nPlease try again."));
            continue;
        }
        break;
    }
    return l;
}
} // namespace

ConnectResult ReaderConsole::OpenReader(const QString& szPort) {
    prompt_.SetState(UiState::NoConnection);
    if (link_->PortOpen()) {
        link_->SetPortOpen(false);
        dorlin::Sleep(50);
    }

    bool extPort = false;
    const bool named = SetPort(*link_, szPort, extPort);
    prompt_.SetCaption(Title());
    if (!named) {
        prompt_.ShowMessage(MsgKind::Critical, Lang(13516, "Please select a COM Port!"));
        return ConnectResult::NoPort;
    }

    if (!OpenPort(*link_, extPort)) {
        clsTimeout::RunEvents();
        // The second line says why: the port, the system's reason and a hint.
        QString text = Lang(13517, "Can't open the port!!");
        const QString why = link_->PortErrorText();
        if (!why.isEmpty()) text += QLatin1Char('\n') + why;
        prompt_.ShowMessage(MsgKind::Critical, text,
                            Lang(12000, "Comm  Port") + QStringLiteral("  : ") + szPort);
        prompt_.SetState(UiState::NoConnection);
        prompt_.ClearPortSelection();
        prompt_.SetCaption(Title());
        return ConnectResult::OpenFailed;
    }
    // Another program with the port open may take the reader's replies: said beside the
    // operation, which goes on.
    for (const QString& w : link_->PortWarning().split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        prompt_.ShowNote(QStringLiteral("Warning: ") + w);
    link_->SetRTSEnable(true);
    link_->SetDTREnable(true);

    if (!ProbeReader()) {
        CloseLink();
        prompt_.ShowMessage(MsgKind::Critical, LangF(13514, "Can't connect to %s!", ReaderName()));
        prompt_.SetState(UiState::NoConnection);
        prompt_.ClearPortSelection();
        return ConnectResult::NoReader;
    }

    const Login login = AskLogin(session_, *link_, prompt_);
    const QString& reply = login.reply;
    if (login.id.isEmpty()) {
        CloseLink();
        prompt_.ClearPortSelection();
        // No further ID after a refused one: the refusal is the outcome, already told.
        return login.refused ? ConnectResult::Refused : ConnectResult::Cancelled;
    }
    if (reply == QLatin1String("A") && !login.timedOut) {
        firmware =
            session_.Ask([&] { return link_->GetVersion(); }, shape::Version, kShapeAttempts);
        if (firmware.isEmpty()) {
            dorlin::Sleep(10);
            firmware =
                session_.Ask([&] { return link_->GetVersion(); }, shape::Version, kShapeAttempts);
        }
        blnTrackDecimal = firmware.contains(QLatin1String("KRN-A0101"));
        ClearRecords();
        prompt_.SetCounter(QStringLiteral("0 / 0"));
        ShowUserName();
        szLoginID = login.id;
        prompt_.SetState(UiState::LoggedIn);
        return ConnectResult::Connected;
    }
    CloseLink();
    ConnectResult result = ConnectResult::NoReader;
    if (reply.startsWith(QLatin1Char('N')) && !login.timedOut) {
        QString text = Lang(13521, "The Login ID is invalid!\\nPlease try again.");
        if (reply.size() >= 4) text += QStringLiteral("\r\n") + reply.mid(1);
        prompt_.ShowMessage(MsgKind::Exclamation, text);
        result = ConnectResult::Refused;
    } else {
        prompt_.ShowMessage(MsgKind::Critical, LangF(13514, "Can't connect to %s!", ReaderName()));
        if (reply == QLatin1String("I")) result = ConnectResult::Refused;
    }
    prompt_.SetState(UiState::NoConnection);
    prompt_.ClearPortSelection();
    return result;
}

bool ReaderConsole::RecheckReader() {
    session_.blnTimeout = false;
    bool go = false;
    if (!kt9_.CheckReader()) {
        prompt_.SetCaption(CaptionWith(Lang(13513, "[Disconnect]")));
    } else if (kt9_.CheckAccess()) {
        go = true;
    } else if (link_->Login(szLoginID)) {
        ShowUserName();
        go = true;
    } else {
        prompt_.SetCaption(CaptionWith(Lang(13512, "[Logout]")));
    }
    if (!go) prompt_.SetState(UiState::NoConnection);
    return go;
}

} // namespace pelmar
