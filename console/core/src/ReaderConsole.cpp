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
constexpr int kShapeAttempts = 3;        // asks of a command whose replies keep answering others
constexpr int kUnreadableInARow = 8;     // unreadable records in a row that end a download

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

    // Login: the reply "A" is shorter than four characters, so an accepted ID is sent twice;
    // a refusal with a reason ends the attempt after one send.
    QString id, reply;
    bool timedOut = false;
    bool refused = false; // an ID was refused before (its message has been shown)
    auto send = [&] {
        session_.blnTimeout = false;
        // Only "A", "I" or "N" + reason answer a login; anything else is a late reply to
        // the probe and is not taken.
        reply =
            session_.Ask([&] { return link_->SendRnetCmd(QStringLiteral("L") + id, false, false); },
                         shape::Accepted, kShapeAttempts);
        timedOut = session_.blnTimeout || reply.isEmpty();
        return reply.size() >= 4 && !timedOut;
    };
    for (int attempt = 1; attempt <= 8; ++attempt) {
        id = prompt_.AskLoginId(attempt);
        if (id.isEmpty()) break;
        if (send() || send()) break;
        if (reply == QLatin1String("I") && !timedOut) {
            refused = true;
            prompt_.ShowMessage(MsgKind::Exclamation,
                                Lang(13521, "The Login ID is invalid!\\nPlease try again."));
            continue;
        }
        break;
    }

    if (id.isEmpty()) {
        CloseLink();
        prompt_.ClearPortSelection();
        // No further ID after a refused one: the refusal is the outcome, already told.
        return refused ? ConnectResult::Refused : ConnectResult::Cancelled;
    }
    if (reply == QLatin1String("A") && !timedOut) {
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

namespace {
QByteArray Bytes(const QString& s) {
    return s.toLatin1();
}
bool ChecksumOk(const QString& reply) {
    QByteArray b = Bytes(reply);
    return rnet::TrailingChecksumOk(std::string_view(b.constData(), size_t(b.size())));
}
} // namespace

bool ReaderConsole::DecodeRecord(const QString& reply, QString& szRecord) {
    szRecord.clear();
    if (!shape::Record(reply)) {
        szRecord = reply;
        return false;
    }
    return DecodeKt9Record(reply, bytDateMode, szRecord);
}

bool ReaderConsole::GetKt9Record(QString& szRecord, bool bMoveFirst, long lTimeout) {
    szRecord.clear();
    if (bMoveFirst) {
        const QString r = session_.Ask(
            [&] { return session_.SendRnetCmd(QStringLiteral("R"), false, false, 0, lTimeout); },
            shape::Accepted, kShapeAttempts);
        if (r != QLatin1String("A")) return false;
        bytDateMode = kt9_.GetDateMode();
        if (!kt9_.LastCallOK) return false;
    }
    // The plain "G" reply carries no checksum; a reader seen to add one gets it removed.
    QString reply = session_.SendRnetCmd(QStringLiteral("G"), false, false, 0, lTimeout);
    if (plainRecordChecksum == 1) {
        if (!ChecksumOk(reply)) return false;
        reply.chop(2);
    }
    return DecodeRecord(reply, szRecord);
}

int ReaderConsole::ReadRecordByNumber(long number, QString& reply, long lTimeout) {
    const QString cmd = QString::asprintf("G%04lX", static_cast<unsigned long>(number) & 0xFFFFul);
    // A numbered reply may carry a checksum (the reader's own description says it does) or
    // not (readers seen in the field send none). The first replies settle which: a valid
    // checksum over a record says yes; a record without one says no once a second read of
    // the same number gives the very same text (damage on the line does not repeat itself).
    // Once known, a checksummed reader's reply must check, and a plain one is taken whole.
    auto summed = [](const QString& r) {
        return ChecksumOk(r) && shape::Record(r.left(r.size() - 2));
    };
    auto fits = [&](const QString& r) { return shape::Record(r) || summed(r); };
    bool anything = false;
    QString unchecked; // a record-shaped reply without checksum, while that is not settled
    int attempts = kRecordAttempts;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        reply = session_.Ask([&] { return session_.SendRnetCmd(cmd, false, false, 0, lTimeout); },
                             fits);
        if (numberedRecordChecksum != 0 && summed(reply)) {
            numberedRecordChecksum = 1;
            reply.chop(2);
            return 1;
        }
        if (shape::Record(reply)) {
            if (numberedRecordChecksum == 0) return 1;
            if (numberedRecordChecksum < 0) {
                if (!unchecked.isEmpty() && unchecked == reply) {
                    numberedRecordChecksum = 0;
                    return 1;
                }
                if (unchecked.isEmpty()) ++attempts; // the confirming read is not a failure
                unchecked = reply;
                continue;
            }
        }
        if (shape::Refusal(reply)) return 0;
        anything = anything || !session_.blnTimeout;
        if (!link_->PortOpen()) break;
    }
    return anything ? -1 : -2;
}
NextRecord ReaderConsole::ReadRecordAt(long number, QString& szRecord) {
    QString reply;
    szRecord.clear();
    const long timeout = std::max<long>(1000, link_->RnetTimeout());
    switch (ReadRecordByNumber(number, reply, timeout)) {
    case 0:
        return NextRecord::None;
    case 1:
        return DecodeRecord(reply, szRecord) ? NextRecord::Record : NextRecord::Unreadable;
    case -1:
        return NextRecord::Unreadable;
    default:
        return NextRecord::NoAnswer;
    }
}

NextRecord ReaderConsole::ProbeRecord(long number) {
    QString discarded;
    return ReadRecordAt(number, discarded);
}

bool ReaderConsole::ReadNumberedRecord(long index, QString& szRecord) {
    QString reply;
    const long timeout = std::max<long>(1000, link_->RnetTimeout());
    return ReadRecordByNumber(index, reply, timeout) == 1 && DecodeRecord(reply, szRecord);
}

DownloadResult ReaderConsole::UploadKt9Record(const RecordSink& sink) {
    DownloadResult res;
    ClearRecords();
    const char* panel = "Upload Record...%s\\nPlease wait!!!";
    prompt_.SetMessagePanel(LangF(13510, panel, QStringLiteral(" ")));
    prompt_.SetProgress(0, 1, 0);
    // A slow reader gets the link's whole reply time for each record.
    const long timeout = std::max<long>(1000, link_->RnetTimeout());
    plainRecordChecksum = -1;
    numberedRecordChecksum = -1;

    // The count feeds the progress label and a warning; it never ends the download: it is
    // four digits and lags behind cards read meanwhile.
    res.total = kt9_.ReadRecordCount();
    res.countKnown = kt9_.LastCallOK;

    static const char spinner[] = "|/-\\";
    // The four panel texts, looked up once rather than once per record.
    QString panels[4];
    for (int i = 0; i < 4; ++i)
        panels[i] = LangF(13510, panel, QString(QLatin1Char(spinner[i])));
    long number = 0; // the number (0 = first) of the next record to read
    const QByteArray countReply = kt9_.lastCountReply.toLatin1();
    auto finish = [&](DownloadOutcome o) {
        res.outcome = o;
        // A count that reads either way (four decimal digits with their checksum) was the
        // reader's hexadecimal one when that is what the records show.
        const auto other = rnet::HexadecimalCountReading(
            std::string_view(countReply.constData(), size_t(countReply.size())));
        if (res.countKnown && !res.CountAgrees() && other &&
            *other == res.read + long(res.unread.size()))
            res.total = *other;
        res.stopped = o == DownloadOutcome::Stopped;
        res.linkLost = o == DownloadOutcome::LinkLost;
        res.next = number;
        prompt_.SetCounter(QStringLiteral("%1 / %2").arg(res.read).arg(res.read));
        prompt_.SetMessagePanel(QString());
        return res;
    };
    // Records keep the reader's numbers (1 = "G0000"), also after a skipped one.
    auto deliver = [&](long readerNumber, const QString& rec) {
        ++res.read;
        if (sink) sink(readerNumber, rec);
        prompt_.SetCounter(QStringLiteral("%1 / %2").arg(res.read).arg(res.total));
        prompt_.SetMessagePanel(panels[res.read % 4]);
        clsTimeout::RunEvents();
    };
    const QString noAnswer = LangF(13514, "Can't connect to %s!", ReaderName());
    auto gone = [&]() {
        // Which of the two: nothing answered at all, or the reader went quiet part-way.
        res.why =
            res.read == 0 && number == 0
                ? noAnswer
                : QStringLiteral("The reader stopped answering after %1 records.").arg(res.read);
        return finish(DownloadOutcome::LinkLost);
    };

    // Back to the first record, then the date format the record dates are written in.
    const QString rewind = session_.Ask(
        [&] { return session_.SendRnetCmd(QStringLiteral("R"), false, false, 0, timeout); },
        shape::Accepted, kShapeAttempts);
    if (rewind != QLatin1String("A")) {
        if (!shape::Refusal(rewind)) return gone();
        res.why = QStringLiteral("The reader refused to go back to its first record (\"R\").");
        return finish(DownloadOutcome::Refused);
    }
    bytDateMode = kt9_.GetDateMode();
    if (!kt9_.LastCallOK) {
        if (session_.LinkTimedOut || !link_->PortOpen()) return gone();
        res.why = QStringLiteral("The reader did not give its date format (register 26).");
        return finish(DownloadOutcome::Refused);
    }

    bool byNumber = false; // once a record had to be asked for by number, so are the rest
    int unreadInARow = 0;
    QStringList pending; // plain replies held until it is known whether they carry a checksum

    // Whether plain "G" replies carry a checksum: when at least two of the first three do
    // (so that one damaged on the line does not hide it), and the stripped text is still a
    // record. With fewer than three, all of them must, and the first record asked for by
    // number settles it exactly. In a checksummed session a held reply whose checksum fails
    // is asked for again by number.
    auto whole = [](const QString& raw) {
        return ChecksumOk(raw) && shape::Record(raw.left(raw.size() - 2));
    };
    auto settle = [&]() {
        if (plainRecordChecksum >= 0 || pending.isEmpty()) return;
        const long first = number - long(pending.size());
        int valid = 0;
        for (const QString& raw : pending)
            valid += whole(raw) ? 1 : 0;
        bool summed = pending.size() >= 3 ? valid >= 2 : valid == pending.size();
        if (summed && pending.size() < 3) {
            QString again;
            summed = link_->PortOpen() && ReadRecordByNumber(first, again, timeout) == 1 &&
                     again + pending[0].right(2) == pending[0];
            byNumber = true; // the reader's pointer has moved
        }
        plainRecordChecksum = summed ? 1 : 0;
        const QStringList held = pending;
        pending.clear();
        for (int i = 0; i < held.size(); ++i) {
            QString text = held[i], rec;
            if (summed) {
                if (whole(text)) {
                    text.chop(2);
                } else {
                    byNumber = true;
                    if (ReadRecordByNumber(first + i, text, timeout) != 1) {
                        res.unread << first + i + 1;
                        continue;
                    }
                }
            }
            if (DecodeRecord(text, rec))
                deliver(first + i + 1, rec);
            else
                res.unread << first + i + 1;
        }
    };

    for (;;) {
        if (!blnStop1) {
            settle();
            return finish(DownloadOutcome::Stopped);
        }
        if (number >= maxDownloadRecords) {
            // "G%04X" addresses no more: a reader still giving records here never ends.
            settle();
            res.bounded = true;
            break;
        }
        QString reply;
        bool taken = false; // reply holds a record (checksum removed where it had one)
        if (byNumber) {
            const int got = ReadRecordByNumber(number, reply, timeout);
            if (got == 0) {
                res.endedAtEnd = true; // no record with this number: the reader's end
                break;
            }
            if (got == -2) {
                settle();
                return gone();
            }
            taken = got == 1;
        } else {
            reply = session_.SendRnetCmd(QStringLiteral("G"), false, false, 0, timeout);
            if (shape::Refusal(reply)) {
                settle();
                // The end of the records. When the reader counted more, the end is asked
                // once more by number: a refusal meant for something else must not end it.
                if (res.countKnown && number < res.total) {
                    session_.DrainUntilQuiet();
                    byNumber = true;
                    continue;
                }
                res.endedAtEnd = true;
                break;
            }
            if (shape::Record(reply)) {
                if (plainRecordChecksum < 0) {
                    pending << reply;
                    ++number;
                    if (pending.size() == 3) settle();
                    continue;
                }
                if (plainRecordChecksum == 1) {
                    if (ChecksumOk(reply)) {
                        reply.chop(2);
                        taken = shape::Record(reply);
                    }
                } else {
                    taken = true;
                }
            }
            if (!taken) {
                // No reply, a damaged one or a late answer to something else: let the
                // line go quiet, then ask for this record by its number.
                session_.DrainUntilQuiet();
                settle();
                if (!link_->PortOpen()) return gone();
                byNumber = true;
                const int got = ReadRecordByNumber(number, reply, timeout);
                if (got == 0) {
                    res.endedAtEnd = true;
                    break;
                }
                if (got == -2) return gone();
                taken = got == 1;
            }
        }
        if (!taken) {
            res.unread << number + 1;
            ++number;
            // A reader that answers nothing readable many times in a row is not followed
            // to the bound: the download ends there, incomplete.
            if (++unreadInARow >= kUnreadableInARow) break;
            continue;
        }
        unreadInARow = 0;
        settle();
        QString rec;
        if (DecodeRecord(reply, rec))
            deliver(number + 1, rec);
        else
            res.unread << number + 1;
        ++number;
    }
    settle();
    if (res.bounded) {
        res.why = QStringLiteral("The reader did not end its records within %1 records.")
                      .arg(maxDownloadRecords);
        return finish(DownloadOutcome::Incomplete);
    }
    if (!res.unread.isEmpty()) {
        QStringList list;
        for (long n : res.unread)
            list << QString::number(n);
        res.why = QStringLiteral("Records that could not be read: %1.").arg(list.join(", "));
        if (!res.endedAtEnd)
            res.why += QStringLiteral(" The reader gave %1 unreadable records in a row; the "
                                      "download stopped there.")
                           .arg(kUnreadableInARow);
        return finish(DownloadOutcome::Incomplete);
    }
    return finish(DownloadOutcome::Complete);
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
    rnet::CollectorOptions options;
    options.crBeforeStxEnds = false;
    rnet::ReplyCollector collector(options);
    long remaining = expected;
    prompt_.SetProgress(0, expected + 1, 0);
    long lastValue = 0, lastCount = -1;
    bool lastVisible = true;
    uint32_t last = dorlin::GetTickCount();
    while (remaining >= 1 && !collector.Complete()) {
        // Sleep on every pass, also in the last millisecond: a pass that does not sleep may
        // see no time pass at all.
        dorlin::Sleep(1);
        bool visible = !(remaining % 1500 >= 1000); // the panel text blinks
        if (visible != lastVisible) {
            prompt_.SetMessageVisible(visible);
            lastVisible = visible;
        }
        clsTimeout::RunEvents();
        if (link_->RxCount() > 0)
            for (char c : link_->Text().toLatin1())
                if (collector.Feed(c) && collector.Complete()) break;
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
    // The reply's status is its first character: "A" accepted, anything else a refusal
    // ("NOT ERASED" included).
    answered = collector.Complete();
    accepted = answered && collector.Text().rfind('A', 0) == 0;
    remainingOut = remaining;
}

bool ReaderConsole::WaitLateReply(long limitMs, bool& accepted) {
    rnet::CollectorOptions options;
    options.crBeforeStxEnds = false;
    rnet::ReplyCollector collector(options);
    const uint32_t start = dorlin::GetTickCount();
    while (long(dorlin::GetTickCount() - start) < limitMs && link_->PortOpen()) {
        clsTimeout::RunEvents();
        if (link_->RxCount() > 0)
            for (char c : link_->Text().toLatin1())
                if (collector.Feed(c) && collector.Complete()) break;
        if (collector.Complete()) {
            accepted = collector.Text().rfind('A', 0) == 0;
            return true;
        }
        dorlin::Sleep(1);
    }
    return false;
}

OpResult ReaderConsole::EraseWithProgress() {
    prompt_.SetState(UiState::NoConnection);
    prompt_.SetMessagePanel(Lang(13500, "Erase...\\nPlease wait!!!"));
    OpResult r = OpResult::Cancelled;
    const QString noLink =
        LangF(13503, "Can't ERASE records!\\nCan't connect to %s!", ReaderName());
    if (prompt_.AskYesNo(Lang(13501, "Do you want to ERASE records?"))) {
        long count = kt9_.ReadRecordCount();
        // With a check before "E" (the safe erase), that check decides, not the count: a
        // count may lag behind the reader's records.
        if (count < 1 && kt9_.LastCallOK && !onBeforeErase) {
            r = OpResult::Nothing;
        } else if (!kt9_.LastCallOK && !onBeforeErase) {
            prompt_.ShowMessage(MsgKind::Critical, noLink);
            r = OpResult::NoConnection;
        } else if (onBeforeErase && !onBeforeErase(count)) {
            r = OpResult::Cancelled;
        } else {
            count = std::max(count, eraseAtLeast);
            long expected = count * kMsPerErasedRecord + kEraseBaseMs;
            ClearRecords();
            bool accepted = false, answered = false, late = false;
            long remaining = 0;
            RunErase(QStringLiteral("E"), count, expected, accepted, answered, remaining);
            if (!answered) {
                // A reader that erases more slowly than the console reckons: keep listening
                // for its answer, then ask it how many records it still holds.
                prompt_.SetMessageVisible(true);
                prompt_.SetMessagePanel(Lang(19402, "Erase...\\nStill waiting for the reader"));
                prompt_.ShowNote(QStringLiteral(
                    "The reader has not answered yet; still waiting for the erase to end..."));
                answered = WaitLateReply(EraseGraceMs(expected), accepted);
                if (!answered) {
                    // No answer at all: the reply to "E" is owed, so that the count asked
                    // next is not paired with it; the count tells whether the erase happened.
                    link_->Owe(dorlin::GetTickCount());
                    long left = kt9_.ReadRecordCount();
                    if (kt9_.LastCallOK && left == 0)
                        accepted = answered = late = true;
                    else if (kt9_.LastCallOK)
                        prompt_.ShowNote(QStringLiteral("The reader did not answer the erase; it "
                                                        "still holds %1 records.")
                                             .arg(left));
                }
            }
            if (accepted) {
                prompt_.SetCounter(QStringLiteral("0 / 0"));
                prompt_.ShowMessage(MsgKind::Information, Lang(13502, "ERASE records OK!"));
                if (late)
                    prompt_.ShowNote(QStringLiteral("The erase was confirmed late: the reader "
                                                    "did not answer, but holds no records now."));
                r = OpResult::OK;
            } else if (answered) {
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
                link_->Owe(dorlin::GetTickCount()); // the next request waits for its reply first
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
