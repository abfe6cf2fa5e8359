#include "pelmar/core/ReaderConsole.h"

#include "Texts.h"
#include "pelmar/RecordDecode.h"
#include "pelmar/core/clsTimeout.h"

#include "dorlin/Rnet.h"
#include "dorlin/TickSource.h"

#include <QRegularExpression>

namespace pelmar {
using namespace texts;

namespace {
constexpr long kMsPerErasedRecord = 29;
constexpr long kEraseBaseMs = 1000;
constexpr long kRecoveryRecords = 2048;
constexpr uint32_t kProbeMs = 2000;
constexpr uint32_t kProbeDrainMs = 8000; // longest wait for the answers to surplus probes
constexpr int kRecordAttempts = 3;       // reads of one record before the download gives up

QString CaptionWith(const QString& suffix) {
    return Title() + QStringLiteral("  -  ") + suffix;
}
} // namespace

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

bool ReaderConsole::ProbeReader() {
    // Ask with the logout command until something that looks like a reader answers. One
    // frame per 16 ms slot, not one per pass, so the reader is not flooded.
    QByteArray buffer;
    uint32_t start = dorlin::GetTickCount();
    uint32_t lastSlot = UINT32_MAX;
    const QString frame = QStringLiteral("\x02O\r");
    int sent = 0, answered = 0;
    // Counts the complete frames in what arrived; true once one of them is a reader's.
    auto take = [&] {
        buffer.append(link_->Text().toLatin1());
        // Blanks only: the CR that ends a reply must stay.
        while (buffer.startsWith(' '))
            buffer.remove(0, 1);
        while (buffer.endsWith(' '))
            buffer.chop(1);
        bool reader = false;
        for (;;) {
            qsizetype stx = buffer.indexOf(rnet::STX);
            if (stx < 0) break;
            qsizetype cr = buffer.indexOf(rnet::CR, stx);
            if (cr < 0) break;
            QByteArray reply = buffer.mid(stx + 1, cr - stx - 1);
            buffer.remove(0, cr + 1);
            ++answered;
            if (reply == "N00" || reply == "N01" || reply.startsWith('A')) reader = true;
        }
        return reader;
    };
    while (link_->PortOpen()) {
        uint32_t elapsed = dorlin::GetTickCount() - start;
        if (elapsed >= kProbeMs) break;
        if (elapsed / 16 != lastSlot) {
            lastSlot = elapsed / 16;
            link_->SetText(frame);
            ++sent;
        }
        if (take()) {
            DrainProbeReplies(sent, answered, elapsed, take);
            return true;
        }
        dorlin::Sleep(1);
    }
    return false;
}

void ReaderConsole::DrainProbeReplies(int sent, int& answered, uint32_t latency,
                                      const std::function<bool()>& take) {
    // A reader that takes a while to answer still has replies to the later probes on their
    // way; one of those must not be taken as the answer to the login. Wait for them while
    // they keep coming (a gap of twice the first answer's time ends the wait), then discard.
    // A reader answers one frame at a time, so they may take the first answer's time each.
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
        dorlin::Sleep(1);
    }
    link_->ClearRxBuffer();
}

ConnectResult ReaderConsole::OpenReader(const QString& szPort) {
    prompt_.SetState(UiState::NoConnection);
    if (link_->PortOpen()) {
        link_->SetPortOpen(false);
        dorlin::Sleep(50);
    }

    QString port = szPort.trimmed();
    bool extPort = false;
    static const QRegularExpression comRe(QStringLiteral("^COM(\\d{1,5})$"),
                                          QRegularExpression::CaseInsensitiveOption);
    auto com = comRe.match(port);
    if (com.hasMatch()) {
        link_->SetCommPort(short(com.captured(1).toInt()));
    } else if (port.startsWith(QLatin1String("IP:"), Qt::CaseInsensitive)) {
        QString rest = port.mid(3);
        qsizetype colon = rest.indexOf(QLatin1Char(':'));
        link_->SetCommPort(0);
        if (colon < 0) {
            link_->SetiAddress(rest);
            link_->SetiPort(1001);
        } else {
            link_->SetiAddress(rest.left(colon));
            link_->SetiPort(short(rest.mid(colon + 1).toInt()));
        }
    } else if (port.startsWith(QLatin1Char('/'))) {
        extPort = true;
        link_->SetExtPort(port);
    } else {
        port.clear();
    }

    prompt_.SetCaption(Title());
    if (port.isEmpty()) {
        prompt_.ShowMessage(MsgKind::Critical, Lang(13516, "Please select a COM Port!"));
        return ConnectResult::NoPort;
    }

    for (int i = 0; i < 5; ++i) {
        if (extPort)
            link_->SetExtPortOpen(true);
        else
            link_->SetPortOpen(true);
        if (link_->PortOpen()) break;
        dorlin::Sleep(50);
    }
    if (!link_->PortOpen()) {
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
    link_->SetRTSEnable(true);
    link_->SetDTREnable(true);

    if (!ProbeReader()) {
        CloseLink();
        prompt_.ShowMessage(MsgKind::Critical, LangF(13514, "Can't connect to %s!", ReaderName()));
        prompt_.SetState(UiState::NoConnection);
        prompt_.ClearPortSelection();
        return ConnectResult::NoReader;
    }

    // Login: the reply "A" is shorter than four characters, so an accepted ID is sent twice;
    // a refusal with a reason ends the attempt after one send.
    QString id, reply;
    bool timedOut = false;
    auto send = [&] {
        session_.blnTimeout = false;
        reply = link_->SendRnetCmd(QStringLiteral("L") + id, false, false);
        timedOut = session_.blnTimeout;
        return reply.size() >= 4 && !timedOut;
    };
    for (int attempt = 1; attempt <= 8; ++attempt) {
        id = prompt_.AskLoginId(attempt);
        if (id.isEmpty()) break;
        if (send() || send()) break;
        if (reply == QLatin1String("I") && !timedOut) {
            prompt_.ShowMessage(MsgKind::Exclamation,
                                Lang(13521, "The Login ID is invalid!\\nPlease try again."));
            continue;
        }
        break;
    }

    if (id.isEmpty()) {
        CloseLink();
        prompt_.ClearPortSelection();
        return ConnectResult::Cancelled;
    }
    if (reply == QLatin1String("A") && !timedOut) {
        firmware = link_->GetVersion();
        if (firmware.isEmpty()) {
            dorlin::Sleep(10);
            firmware = link_->GetVersion();
        }
        blnTrackDecimal = firmware.contains(QLatin1String("KRN-A0101"));
        ClearRecords();
        prompt_.SetCounter(QStringLiteral("0 / 0"));
        ShowUserName();
        szLoginID = id;
        prompt_.SetState(UiState::LoggedIn);
        return ConnectResult::Connected;
    }
    CloseLink();
    ConnectResult result = ConnectResult::NoReader;
    if (reply.startsWith(QLatin1Char('N')) && !timedOut) {
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

bool ReaderConsole::GetKt9Record(QString& szRecord, bool bMoveFirst, long lTimeout) {
    szRecord.clear();
    bool result = true;
    if (bMoveFirst) {
        result = false;
        if (session_.SendRnetCmd(QStringLiteral("R"), false, false, 0, lTimeout) ==
            QLatin1String("A")) {
            bytDateMode = kt9_.GetDateMode();
            result = kt9_.LastCallOK;
        }
    }
    if (!result) return false;
    // The reader protects record replies with a checksum (as the link control's GetRecord
    // expects); a record whose checksum fails is never taken.
    QString reply = session_.SendRnetCmd(QStringLiteral("G"), false, true, 0, lTimeout);
    return DecodeKt9Record(reply, bytDateMode, szRecord);
}

bool ReaderConsole::ReadRecordAgain(long number, QString& szRecord, long lTimeout) {
    szRecord.clear();
    QString reply = session_.SendRnetCmd(
        QString::asprintf("G%04lX", static_cast<unsigned long>(number) & 0xFFFFul), false, true, 0,
        lTimeout);
    return DecodeKt9Record(reply, bytDateMode, szRecord);
}

DownloadResult ReaderConsole::UploadKt9Record(const RecordSink& sink) {
    DownloadResult res;
    ClearRecords();
    const char* panel = "Upload Record...%s\\nPlease wait!!!";
    prompt_.SetMessagePanel(LangF(13510, panel, QStringLiteral(" ")));
    prompt_.SetProgress(0, 1, 0);
    long n = 1;
    res.total = kt9_.ReadRecordCount();
    QString rec;
    // A record that does not arrive whole (time-out, damaged reply) is asked for again by its
    // number while the count read before says there are more; the end of the records is
    // taken only from a reader that has given them all.
    auto readNext = [&](bool first) {
        for (int attempt = 0; attempt < kRecordAttempts; ++attempt) {
            bool got = attempt == 0 || first ? GetKt9Record(rec, first, 1000)
                                             : ReadRecordAgain(n - 1, rec, 1000);
            if (got) return true;
            if (n - 1 >= res.total || !link_->PortOpen()) break;
        }
        return false;
    };
    bool ok = readNext(true);
    static const char spinner[] = "|/-\\";
    // The four panel texts, looked up once rather than once per record.
    QString panels[4];
    for (int i = 0; i < 4; ++i)
        panels[i] = LangF(13510, panel, QString(QLatin1Char(spinner[i])));
    while (ok) {
        if (sink) sink(n, rec);
        res.read = n;
        prompt_.SetCounter(QStringLiteral("%1 / %2").arg(n).arg(res.total));
        prompt_.SetMessagePanel(panels[n % 4]);
        ++n;
        clsTimeout::RunEvents();
        if (!blnStop1) {
            res.stopped = true;
            break;
        }
        ok = readNext(false);
    }
    if (!ok) res.linkLost = session_.blnTimeout || !link_->PortOpen() || res.read < res.total;
    prompt_.SetCounter(QStringLiteral("%1 / %2").arg(res.read).arg(res.read));
    prompt_.SetMessagePanel(QString());
    return res;
}

OpResult ReaderConsole::DeleteRecords() {
    prompt_.SetState(UiState::RecordsBusy);
    OpResult r = OpResult::Cancelled;
    if (prompt_.AskYesNo(Lang(13501, "Do you want to ERASE records?"))) {
        session_.blnTimeout = false;
        if (link_->EraseRecord(-1)) {
            ClearRecords();
            prompt_.SetCounter(QStringLiteral("0 / 0"));
            prompt_.ShowMessage(MsgKind::Information, Lang(13502, "ERASE records OK!"));
            r = OpResult::OK;
        } else if (session_.blnTimeout || !link_->PortOpen()) {
            prompt_.ShowMessage(
                MsgKind::Critical,
                LangF(13503, "Can't ERASE records!\\nCan't connect to %s!", ReaderName()));
            r = OpResult::NoConnection;
        } else {
            prompt_.ShowMessage(MsgKind::Critical, Lang(13504, "Can't ERASE records!"));
            r = OpResult::Refused;
        }
    }
    prompt_.SetState(UiState::RecordsDone);
    return r;
}

void ReaderConsole::RunErase(const QString& rawCmd, long count, long expected, bool& accepted,
                             bool& answered, long& remainingOut) {
    link_->Text(); // whatever arrived before belongs to nobody
    link_->SetText(QStringLiteral("\x02") + rawCmd + QStringLiteral("\r"));
    long remaining = expected;
    prompt_.SetProgress(0, expected + 1, 0);
    bool start = false, accept = false, end = false;
    long lastValue = 0, lastCount = -1;
    bool lastVisible = true;
    uint32_t last = dorlin::GetTickCount();
    while (remaining >= 1 && !end) {
        // Sleep on every pass, also in the last millisecond: a pass that does not sleep may
        // see no time pass at all.
        dorlin::Sleep(1);
        bool visible = !(remaining % 1500 >= 1000); // the panel text blinks
        if (visible != lastVisible) {
            prompt_.SetMessageVisible(visible);
            lastVisible = visible;
        }
        clsTimeout::RunEvents();
        if (link_->RxCount() > 0) {
            QByteArray got = link_->Text().toLatin1();
            for (char c : got) {
                if (c == rnet::STX) {
                    start = true;
                    accept = end = false;
                } else if (c == rnet::CR) {
                    end = true;
                    break;
                } else if (c == 'A') {
                    accept = true;
                } else if (c == 'N') {
                    accept = false;
                }
            }
        }
        uint32_t now = dorlin::GetTickCount();
        remaining -= long(now - last);
        last = now;
        long value = expected, shownCount = count;
        if (remaining >= 1) {
            double done = 1.0 - double(remaining) / double(expected);
            value = long(done * double(expected));
            shownCount = long(done * double(count));
        }
        // Tell the display only what changed: a pass takes about a millisecond.
        if (value != lastValue) {
            prompt_.SetProgress(0, expected + 1, value);
            lastValue = value;
        }
        if (shownCount != lastCount) {
            prompt_.SetCounter(QStringLiteral("%1 / %2").arg(shownCount).arg(count));
            lastCount = shownCount;
        }
    }
    prompt_.SetProgress(0, expected + 1, expected + 1);
    accepted = start && accept && end;
    answered = end;
    remainingOut = remaining;
}

OpResult ReaderConsole::EraseWithProgress() {
    prompt_.SetState(UiState::NoConnection);
    prompt_.SetMessagePanel(Lang(13500, "Erase...\\nPlease wait!!!"));
    OpResult r = OpResult::Cancelled;
    const QString noLink =
        LangF(13503, "Can't ERASE records!\\nCan't connect to %s!", ReaderName());
    if (prompt_.AskYesNo(Lang(13501, "Do you want to ERASE records?"))) {
        long count = kt9_.ReadRecordCount();
        if (count < 1 && kt9_.LastCallOK) {
            r = OpResult::Nothing;
        } else if (!kt9_.LastCallOK) {
            prompt_.ShowMessage(MsgKind::Critical, noLink);
            r = OpResult::NoConnection;
        } else if (onBeforeErase && !onBeforeErase(count)) {
            r = OpResult::Cancelled;
        } else {
            long expected = count * kMsPerErasedRecord + kEraseBaseMs;
            ClearRecords();
            bool accepted = false, answered = false;
            long remaining = 0;
            RunErase(QStringLiteral("E"), count, expected, accepted, answered, remaining);
            if (accepted) {
                prompt_.SetCounter(QStringLiteral("0 / 0"));
                prompt_.ShowMessage(MsgKind::Information, Lang(13502, "ERASE records OK!"));
                r = OpResult::OK;
            } else if (remaining > 0) {
                prompt_.ShowMessage(MsgKind::Critical, Lang(13504, "Can't ERASE records!"));
                r = OpResult::Refused;
            } else {
                prompt_.ShowMessage(MsgKind::Critical, noLink);
                r = OpResult::NoConnection;
            }
        }
    }
    prompt_.SetMessagePanel(QString());
    prompt_.SetState(UiState::RecordsDone);
    return r;
}

OpResult ReaderConsole::RecoverRecords() {
    prompt_.SetState(UiState::NoConnection);
    prompt_.SetMessagePanel(Lang(13505, "Recovery...\\nPlease wait!!!"));
    OpResult r = OpResult::Cancelled;
    const QString noLink =
        LangF(13508, "Can't RECOVERY records!\\nCan't connect to %s!", ReaderName());
    if (prompt_.AskYesNo(Lang(13506, "Do you want to RECOVERY records?"))) {
        kt9_.ReadRecordCount();
        if (!kt9_.LastCallOK) {
            prompt_.ShowMessage(MsgKind::Critical, noLink);
            r = OpResult::NoConnection;
        } else {
            long expected = kRecoveryRecords * kMsPerErasedRecord + kEraseBaseMs;
            bool accepted = false, answered = false;
            long remaining = 0;
            RunErase(QStringLiteral("M"), kRecoveryRecords, expected, accepted, answered,
                     remaining);
            if (accepted) {
                prompt_.SetCounter(QStringLiteral("0 / %1").arg(kRecoveryRecords));
                ClearRecords();
                prompt_.ShowMessage(MsgKind::Information, Lang(13507, "RECOVERY records OK!"));
                r = OpResult::OK;
            } else if (!answered && remaining < 1) {
                prompt_.ShowMessage(MsgKind::Critical, noLink);
                r = OpResult::NoConnection;
            } else {
                prompt_.ShowMessage(MsgKind::Critical, Lang(13509, "Can't RECOVERY records!"));
                r = OpResult::Refused;
            }
        }
    }
    prompt_.SetMessagePanel(QString());
    prompt_.SetState(UiState::RecordsDone);
    return r;
}

OpResult ReaderConsole::ShowVersion(QString* shown) {
    prompt_.SetState(UiState::DialogBusy);
    OpResult r;
    QString v = link_->GetVersion().trimmed();
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
        prompt_.ShowMessage(
            MsgKind::Critical,
            LangF(13519, "Change Login ID NG\\nCan't connect to %s!", ReaderName()));
        return OpResult::NoConnection;
    }
    prompt_.ShowMessage(MsgKind::Critical, Lang(13520, "Change Login ID NG"));
    return OpResult::Refused;
}

} // namespace pelmar
