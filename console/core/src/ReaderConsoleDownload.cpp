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
        if (r != QLatin1String("A")) {
            szRecord = r;
            return false;
        }
        bytDateMode = kt9_.GetDateMode();
        if (!kt9_.LastCallOK) return false;
    }
    QString reply = session_.SendRnetCmd(QStringLiteral("G"), false, false, 0, lTimeout);
    if (plainRecordChecksum == 1) {
        if (!ChecksumOk(reply)) {
            szRecord = reply;
            return false;
        }
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

// One download from its start to its end: the records read so far, the plain replies held
// until it is known whether they carry a checksum, and how it ended. UploadKt9Record runs it
// step by step.
class ReaderConsole::DownloadRun {
public:
    // Empties the record store, shows the panel and reads the count.
    DownloadRun(ReaderConsole& rc, const RecordSink& sink);
    // Back to the first record ("R"), then the date format the record dates are written in.
    // False when the download ended there (refused, or no answer).
    bool Rewind();
    // Reads the next record; false once the download has ended or must end.
    bool ReadNext();
    // How the download ended.
    DownloadResult End();

private:
    // What one read gave.
    enum class Got {
        Record, // a record in the reply (checksum removed where it had one)
        Unread, // replies came, none of them a whole record
        Later,  // nothing to take now (held, or asked again by number next)
        End,    // the reader's end of records
        Gone,   // no answer: the reader stopped answering or the link closed
    };
    Got ReadPlain(QString& reply);
    Got ReadByNumber(QString& reply);
    void Hold(const QString& reply);
    void Settle();
    void Take(const QString& reply);
    bool SkipUnread();
    void Deliver(long readerNumber, const QString& rec);
    void Conclude();
    void Gone();
    void Finish(DownloadOutcome o);

    static constexpr const char* kPanel = "Upload Record...%s\\nPlease wait!!!";

    ReaderConsole& rc_;
    const RecordSink& sink_;
    DownloadResult res_;
    bool ended_ = false;
    long timeout_ = 0;
    long number_ = 0; // the number (0 = first) of the next record to read
    QString panels_[4];
    QByteArray countReply_;
    QString noAnswer_;
    bool byNumber_ = false; // once a record had to be asked for by number, so are the rest
    int unreadInARow_ = 0;
    QStringList pending_; // plain replies held until it is known whether they carry a checksum
};

ReaderConsole::DownloadRun::DownloadRun(ReaderConsole& rc, const RecordSink& sink)
    : rc_(rc), sink_(sink) {
    rc_.ClearRecords();
    rc_.prompt_.SetMessagePanel(LangF(13510, kPanel, QStringLiteral(" ")));
    rc_.prompt_.SetProgress(0, 1, 0);
    // A slow reader gets the link's whole reply time for each record.
    timeout_ = std::max<long>(1000, rc_.link_->RnetTimeout());
    rc_.plainRecordChecksum = -1;
    rc_.numberedRecordChecksum = -1;

    // The count feeds the progress label and a warning; it never ends the download: it is
    // four digits and lags behind cards read meanwhile.
    res_.total = rc_.kt9_.ReadRecordCount();
    res_.countKnown = rc_.kt9_.LastCallOK;

    static const char spinner[] = "|/-\\";
    // The four panel texts, looked up once rather than once per record.
    for (int i = 0; i < 4; ++i)
        panels_[i] = LangF(13510, kPanel, QString(QLatin1Char(spinner[i])));
    countReply_ = rc_.kt9_.lastCountReply.toLatin1();
    noAnswer_ = LangF(13514, "Can't connect to %s!", ReaderName());
}

bool ReaderConsole::DownloadRun::Rewind() {
    const QString rewind = rc_.session_.Ask(
        [&] { return rc_.session_.SendRnetCmd(QStringLiteral("R"), false, false, 0, timeout_); },
        shape::Accepted, kShapeAttempts);
    if (rewind != QLatin1String("A")) {
        if (!shape::Refusal(rewind)) {
            Gone();
            return false;
        }
        res_.why = QStringLiteral("The reader refused to go back to its first record (\"R\").");
        Finish(DownloadOutcome::Refused);
        return false;
    }
    rc_.bytDateMode = rc_.kt9_.GetDateMode();
    if (!rc_.kt9_.LastCallOK) {
        if (rc_.session_.LinkTimedOut || !rc_.link_->PortOpen()) {
            Gone();
            return false;
        }
        res_.why = QStringLiteral("The reader did not give its date format (register 26).");
        Finish(DownloadOutcome::Refused);
        return false;
    }
    return true;
}

bool ReaderConsole::DownloadRun::ReadNext() {
    if (!rc_.blnStop1) {
        Settle();
        Finish(DownloadOutcome::Stopped);
        return false;
    }
    if (number_ >= rc_.maxDownloadRecords) {
        // "G%04X" addresses no more: a reader still giving records here never ends.
        Settle();
        res_.bounded = true;
        return false;
    }
    QString reply;
    switch (byNumber_ ? ReadByNumber(reply) : ReadPlain(reply)) {
    case Got::Record:
        Take(reply);
        return true;
    case Got::Unread:
        return SkipUnread();
    case Got::Later:
        return true;
    case Got::End:
        return false;
    case Got::Gone:
        Settle();
        Gone();
        return false;
    }
    return false;
}

DownloadResult ReaderConsole::DownloadRun::End() {
    if (!ended_) Conclude();
    return res_;
}

ReaderConsole::DownloadRun::Got ReaderConsole::DownloadRun::ReadByNumber(QString& reply) {
    const int got = rc_.ReadRecordByNumber(number_, reply, timeout_);
    if (got == 0) {
        res_.endedAtEnd = true; // no record with this number: the reader's end
        return Got::End;
    }
    if (got == -2) return Got::Gone;
    return got == 1 ? Got::Record : Got::Unread;
}

ReaderConsole::DownloadRun::Got ReaderConsole::DownloadRun::ReadPlain(QString& reply) {
    reply = rc_.session_.SendRnetCmd(QStringLiteral("G"), false, false, 0, timeout_);
    if (shape::Refusal(reply)) {
        Settle();
        // The end of the records. When the reader counted more, the end is asked once more
        // by number: a refusal meant for something else must not end it.
        if (res_.countKnown && number_ < res_.total) {
            rc_.session_.DrainUntilQuiet();
            byNumber_ = true;
            return Got::Later;
        }
        res_.endedAtEnd = true;
        return Got::End;
    }
    if (shape::Record(reply)) {
        if (rc_.plainRecordChecksum < 0) {
            Hold(reply);
            return Got::Later;
        }
        if (rc_.plainRecordChecksum != 1) return Got::Record;
        if (ChecksumOk(reply)) {
            reply.chop(2);
            if (shape::Record(reply)) return Got::Record;
        }
    }
    // No reply, a damaged one or a late answer to something else: let the line go quiet,
    // then ask for this record by its number.
    rc_.session_.DrainUntilQuiet();
    Settle();
    if (!rc_.link_->PortOpen()) return Got::Gone;
    byNumber_ = true;
    return ReadByNumber(reply);
}

void ReaderConsole::DownloadRun::Hold(const QString& reply) {
    pending_ << reply;
    ++number_;
    if (pending_.size() == 3) Settle();
}

// Whether plain "G" replies carry a checksum: when at least two of the first three do (so
// that one damaged on the line does not hide it), and the stripped text is still a record.
// With fewer than three, all of them must, and the first record asked for by number settles
// it exactly. In a checksummed session a held reply whose checksum fails is asked for again
// by number.
void ReaderConsole::DownloadRun::Settle() {
    if (rc_.plainRecordChecksum >= 0 || pending_.isEmpty()) return;
    auto whole = [](const QString& raw) {
        return ChecksumOk(raw) && shape::Record(raw.left(raw.size() - 2));
    };
    const long first = number_ - long(pending_.size());
    int valid = 0;
    for (const QString& raw : pending_)
        valid += whole(raw) ? 1 : 0;
    bool summed = pending_.size() >= 3 ? valid >= 2 : valid == pending_.size();
    if (summed && pending_.size() < 3) {
        QString again;
        summed = rc_.link_->PortOpen() && rc_.ReadRecordByNumber(first, again, timeout_) == 1 &&
                 again + pending_[0].right(2) == pending_[0];
        byNumber_ = true; // the reader's pointer has moved
    }
    rc_.plainRecordChecksum = summed ? 1 : 0;
    const QStringList held = pending_;
    pending_.clear();
    for (int i = 0; i < held.size(); ++i) {
        QString text = held[i], rec;
        if (summed) {
            if (whole(text)) {
                text.chop(2);
            } else {
                byNumber_ = true;
                if (rc_.ReadRecordByNumber(first + i, text, timeout_) != 1) {
                    res_.unread << first + i + 1;
                    continue;
                }
            }
        }
        if (rc_.DecodeRecord(text, rec))
            Deliver(first + i + 1, rec);
        else
            res_.unread << first + i + 1;
    }
}

void ReaderConsole::DownloadRun::Take(const QString& reply) {
    unreadInARow_ = 0;
    Settle();
    QString rec;
    if (rc_.DecodeRecord(reply, rec))
        Deliver(number_ + 1, rec);
    else
        res_.unread << number_ + 1;
    ++number_;
}

bool ReaderConsole::DownloadRun::SkipUnread() {
    res_.unread << number_ + 1;
    ++number_;
    // A reader that answers nothing readable many times in a row is not followed to the
    // bound: the download ends there, incomplete.
    return ++unreadInARow_ < kUnreadableInARow;
}

// Records keep the reader's numbers (1 = "G0000"), also after a skipped one.
void ReaderConsole::DownloadRun::Deliver(long readerNumber, const QString& rec) {
    ++res_.read;
    if (sink_) sink_(readerNumber, rec);
    rc_.prompt_.SetCounter(QStringLiteral("%1 / %2").arg(res_.read).arg(res_.total));
    rc_.prompt_.SetMessagePanel(panels_[res_.read % 4]);
    clsTimeout::RunEvents();
}

void ReaderConsole::DownloadRun::Conclude() {
    Settle();
    if (res_.bounded) {
        res_.why = QStringLiteral("The reader did not end its records within %1 records.")
                       .arg(rc_.maxDownloadRecords);
        Finish(DownloadOutcome::Incomplete);
        return;
    }
    if (!res_.unread.isEmpty()) {
        QStringList list;
        for (long n : res_.unread)
            list << QString::number(n);
        res_.why = QStringLiteral("Records that could not be read: %1.").arg(list.join(", "));
        if (!res_.endedAtEnd)
            res_.why += QStringLiteral(" The reader gave %1 unreadable records in a row; the "
                                       "download stopped there.")
                            .arg(kUnreadableInARow);
        Finish(DownloadOutcome::Incomplete);
        return;
    }
    Finish(DownloadOutcome::Complete);
}

void ReaderConsole::DownloadRun::Gone() {
    // Which of the two: nothing answered at all, or the reader went quiet part-way.
    res_.why =
        res_.read == 0 && number_ == 0
            ? noAnswer_
            : QStringLiteral("The reader stopped answering after %1 records.").arg(res_.read);
    Finish(DownloadOutcome::LinkLost);
}

void ReaderConsole::DownloadRun::Finish(DownloadOutcome o) {
    ended_ = true;
    res_.outcome = o;
    // A count that reads either way (four decimal digits with their checksum) was the
    // reader's hexadecimal one when that is what the records show.
    const auto other = rnet::HexadecimalCountReading(
        std::string_view(countReply_.constData(), size_t(countReply_.size())));
    if (res_.countKnown && !res_.CountAgrees() && other &&
        *other == res_.read + long(res_.unread.size()))
        res_.total = *other;
    res_.stopped = o == DownloadOutcome::Stopped;
    res_.linkLost = o == DownloadOutcome::LinkLost;
    res_.next = number_;
    rc_.prompt_.SetCounter(QStringLiteral("%1 / %2").arg(res_.read).arg(res_.read));
    rc_.prompt_.SetMessagePanel(QString());
}

// The download: back to the first record, then record after record until the reader refuses
// the next one (or Stop, or the bound, or the reader goes quiet).
DownloadResult ReaderConsole::UploadKt9Record(const RecordSink& sink) {
    DownloadRun run(*this, sink);
    if (run.Rewind())
        while (run.ReadNext()) {
        }
    return run.End();
}

} // namespace pelmar
