// The record download: records by plain "G" and by number, the checksum readings, and
// UploadKt9Record, which ends where the reader's records end.
#include "pelmar/core/ReaderConsole.h"

#include "ReaderConsoleParts.h"
#include "pelmar/RecordDecode.h"
#include "pelmar/core/clsTimeout.h"

#include "dorlin/Rnet.h"

namespace pelmar {
using namespace texts;
using namespace consoleparts;

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

} // namespace pelmar
