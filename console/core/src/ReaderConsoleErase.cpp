// The record store: Delete through the link control, the erase with progress (and its late
// answer), and the recovery.
#include "pelmar/core/ReaderConsole.h"

#include "ReaderConsoleParts.h"
#include "pelmar/core/clsTimeout.h"

#include "dorlin/Rnet.h"
#include "dorlin/TickSource.h"

namespace pelmar {
using namespace texts;
using namespace consoleparts;

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

} // namespace pelmar
