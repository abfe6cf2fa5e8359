// Runs a script of steps on a link control, the way the `dorlin` command line does: each step
// is a call, a property put or a file transfer, prints one result line, and a step whose
// exchange with the reader failed (no reply, a bad checksum, an overrun, a closed port, a reset
// connection, a refusal) is named on the error side with its reason.
//
//   call NAME [ARG...]   a method, or a property get when NAME is a property
//   set NAME VALUE       a property put; prints "OK"
//   send-file PATH       PostFile on the open port; prints TRUE or FALSE
//   recv-file PATH       RecvFile on the open port; prints TRUE or FALSE
//
// A step's arguments run up to the next step word. In arguments <STX>, <CR>, <LF> and <xx>
// (two hex digits) stand for that byte.
#pragma once
#include <QByteArray>
#include <QList>
#include <QMetaObject>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <functional>

#include "dorlin/Rnet.h" // DORLIN_EXPORT

class CDorlinCtrl;

namespace dorlin {

// One step as typed: its verb, the method or property name (the path of a file step) and
// its arguments (tags not yet turned into bytes).
struct ScriptStep {
    QString verb;
    QString name;
    QStringList args;
    // The step's words as typed, for messages: "call GetRecord 1".
    QString Typed() const;
};

// "call", "set", "send-file", "recv-file".
DORLIN_EXPORT bool IsStepWord(const QString& word);
// Splits words into steps. False with *error (the reason) when a script does not begin with a
// step word, a step lacks its name or a file step has not exactly one path.
DORLIN_EXPORT bool ParseScript(const QStringList& words, QList<ScriptStep>* steps, QString* error);
// Typed text to wire characters: <STX>, <CR>, <LF> and <xx> stand for the byte; everything
// else is taken as typed.
DORLIN_EXPORT QString WireText(const QString& typed);
// A step's result line: TRUE/FALSE, a number in decimal, a text with control bytes as tags.
DORLIN_EXPORT QByteArray ResultLine(const QVariant& value);
// "ERROR <code> <text>"; negative codes (HRESULTs) in hex.
DORLIN_EXPORT QByteArray ErrorLine(int code, const QString& text);

// How a script went; more than one may hold.
struct ScriptResult {
    bool stepFailed = false;    // a step was turned down (an ERROR line) or a transfer failed
    bool linkFailed = false;    // an exchange failed: no reply, checksum, overrun, port closed
    bool readerRefused = false; // the reader's reply in a step did not start with "A"
};

class DORLIN_EXPORT ScriptRunner {
public:
    using Line = std::function<void(const QByteArray&)>;
    // Runs one file step (send: PostFile, else RecvFile) and returns its result.
    using Transfer = std::function<bool(bool send, const QString& path)>;

    // out hears the result lines, err the failure lines (and the monitor lines). With monitor
    // every RnetMonitor event goes to err as "MON <index> <message>", the Login IDs of "L" and
    // "P" frames masked unless showSecrets.
    ScriptRunner(CDorlinCtrl& ctrl, Line out, Line err, bool monitor = false,
                 bool showSecrets = false);
    ~ScriptRunner();
    ScriptRunner(const ScriptRunner&) = delete;
    ScriptRunner& operator=(const ScriptRunner&) = delete;

    // How file steps run (default: PostFile and RecvFile on the control).
    void SetTransfer(Transfer transfer);
    ScriptResult Run(const QList<ScriptStep>& steps);

private:
    bool NeedsPort(const ScriptStep& step) const;
    void RunStep(int number, const ScriptStep& step, ScriptResult& result);

    CDorlinCtrl& ctrl_;
    Line out_, err_;
    Transfer transfer_;
    QList<QMetaObject::Connection> connections_;
    std::function<void(const QString&, const QString&)> oldAboutHook_;
    // What went wrong with the link during the current step, the reader's last reply in it,
    // and what the about box would have shown.
    QString linkTrouble_, lastReply_, aboutText_;
    bool everOpen_ = false;
};

} // namespace dorlin
