// One collect round in one process: every reader of a readers file downloaded (or safely
// erased) into the archive, each in a thread of its own on the link without a widget
// (RnetReaderLink) with its own archive connection, at most kReadersAtOnce at a time. Each
// reader ends in an outcome that is a value: its code in pelmar's exit-code table, the counts
// it filed and the reason it failed; its status line and the round's summary are made from
// those values.
#pragma once
#include "PelmarCli.h"
#include "ReadersFile.h"

#include <QList>
#include <QString>
#include <functional>

namespace pelmar::cli {

// Readers collected at the same time: each holds a thread and an archive connection (a
// PostgreSQL server allows 100 connections unless told otherwise).
constexpr int kReadersAtOnce = 64;

struct ReaderOutcome {
    enum class State { Collected, Failed, Stopped };
    QString reader;
    State state = State::Failed;
    int code = kExitFailed; // pelmar's exit-code table (128 + n: stopped by signal n)
    QString reason;         // why it failed; empty when collected or stopped
    long read = 0;          // records taken from the reader
    // What it filed in the archive (filed: a filing was stored).
    bool filed = false;
    long added = 0, already = 0, undated = 0;
    // The safe erase: the reader's records were erased (else there were none to erase).
    bool erased = false;

    // "collected", "failed" or "stopped".
    QString StateText() const;
    // The reader's status line without its name: "40 new, 0 already archived" (", erased" or
    // ", nothing to erase" after a safe erase), "stopped, 12 new, 0 already archived",
    // "failed: Login ID refused".
    QString StatusLine(bool safeErase) const;
};

struct RoundResult {
    QList<ReaderOutcome> readers; // in the order they ended
    int collected = 0, failed = 0, stopped = 0;
    long added = 0, already = 0;
    // "16 readers: 15 collected, 1 failed, 1 stopped; 300 new, 0 already archived"
    QString SummaryLine(int readerCount) const;
};

struct RoundOptions {
    QString url;            // the archive ("" = the setting Archive/Url, else the default file)
    bool safeErase = false; // erase --safe instead of download --archive
    // The signal that asks the round to stop (0: none), asked many times a second.
    std::function<int()> stopSignal;
    // Hears each reader as it starts ("collecting", "") and ends (its state and status line).
    std::function<void(const QString& reader, const QString& state, const QString& text)> report;
    int readersAtOnce = kReadersAtOnce;
};

// Runs one round; keeps the calling thread's events running meanwhile. A line per reader as
// it ends goes to io.out (through io.progress, which must be set, with one row per reader).
RoundResult RunCollectRound(const QList<ReaderEntry>& readers, const RoundOptions& options, Io& io);

} // namespace pelmar::cli
