#include "dorlin/ScriptRunner.h"

#include <QCoreApplication>

#include "dorlin/CDorlinCtrl.h"

namespace dorlin {
namespace {

QByteArray Visible(const QString& s) {
    const QByteArray b = s.toLatin1();
    return QByteArray::fromStdString(rnet::Visible(std::string_view(b.constData(), b.size())));
}

// A request frame with its Login IDs hidden, wherever a reader would read one.
QString MaskSecrets(const QString& frame) {
    const QByteArray b = frame.toLatin1();
    const std::string masked =
        rnet::MaskLoginIds(std::string_view(b.constData(), size_t(b.size())));
    return QString::fromLatin1(masked.data(), qsizetype(masked.size()));
}

bool IsFileStep(const QString& verb) {
    return verb == QLatin1String("send-file") || verb == QLatin1String("recv-file");
}

// The driver's monitor words and what they mean for the step that heard them.
struct LinkWord {
    const char* word;
    const char* why;
};
const LinkWord kLinkWords[] = {
    {"$CHKSUM ERROR", "the reply failed its checksum"},
    {"$OVERRUN", "the reply was lost: the receive queue overflowed"},
    {"$PORT CLOSED", "the port closed"},
    {"$CONNECTION RESET", "the connection was reset"},
};

} // namespace

QString ScriptStep::Typed() const {
    QStringList words{verb, name};
    words += args;
    return words.join(QLatin1Char(' '));
}

bool IsStepWord(const QString& word) {
    return word == QLatin1String("call") || word == QLatin1String("set") || IsFileStep(word);
}

bool ParseScript(const QStringList& words, QList<ScriptStep>* steps, QString* error) {
    steps->clear();
    for (qsizetype i = 0; i < words.size();) {
        ScriptStep step;
        step.verb = words[i++];
        if (!IsStepWord(step.verb)) {
            *error =
                QStringLiteral("%1 is no step (call, set, send-file, recv-file)").arg(step.verb);
            return false;
        }
        if (i >= words.size()) {
            *error = IsFileStep(step.verb) ? QStringLiteral("%1 needs a PATH").arg(step.verb)
                                           : QStringLiteral("%1 needs a NAME").arg(step.verb);
            return false;
        }
        step.name = words[i++];
        if (IsFileStep(step.verb)) {
            if (i < words.size() && !IsStepWord(words[i])) {
                *error = QStringLiteral("%1 takes one PATH").arg(step.verb);
                return false;
            }
        } else {
            while (i < words.size() && !IsStepWord(words[i]))
                step.args << words[i++];
        }
        steps->append(step);
    }
    return true;
}

QString WireText(const QString& in) {
    QString out;
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in[i] == '<') {
            const qsizetype close = in.indexOf('>', i);
            if (close > i) {
                const QString tag = in.mid(i + 1, close - i - 1);
                int byte = -1;
                if (tag == "STX")
                    byte = 0x02;
                else if (tag == "CR")
                    byte = 0x0D;
                else if (tag == "LF")
                    byte = 0x0A;
                else if (tag.size() == 2) {
                    bool ok = false;
                    const int v = tag.toInt(&ok, 16);
                    if (ok) byte = v;
                }
                if (byte >= 0) {
                    out += QChar(byte);
                    i = close;
                    continue;
                }
            }
        }
        out += in[i];
    }
    return out;
}

QByteArray ResultLine(const QVariant& v) {
    switch (v.typeId()) {
    case QMetaType::Bool:
        return v.toBool() ? "TRUE" : "FALSE";
    case QMetaType::QString:
        return Visible(v.toString());
    case QMetaType::UnknownType:
        return QByteArray();
    default:
        return QByteArray::number(v.toLongLong());
    }
}

QByteArray ErrorLine(int code, const QString& text) {
    const QByteArray c =
        code < 0 ? "0x" + QByteArray::number(uint(code), 16).toUpper() : QByteArray::number(code);
    return "ERROR " + c + " " + text.toLocal8Bit();
}

ScriptRunner::ScriptRunner(CDorlinCtrl& ctrl, Line out, Line err, bool monitor, bool showSecrets)
    : ctrl_(ctrl), out_(std::move(out)), err_(std::move(err)) {
    transfer_ = [this](bool send, const QString& path) {
        return send ? ctrl_.PostFile(path) : ctrl_.RecvFile(path);
    };
    oldAboutHook_ =
        CDorlinCtrl::SetAboutBoxHook([this](const QString& caption, const QString& text) {
            aboutText_ = caption + ": " + text;
        });
    if (monitor)
        connections_ << QObject::connect(
            &ctrl_, &CDorlinCtrl::RnetMonitor, [this, showSecrets](short idx, const QString& msg) {
                const QString shown = idx == RNET_MSG_APP && !showSecrets ? MaskSecrets(msg) : msg;
                err_("MON " + QByteArray::number(idx) + " " + Visible(shown));
            });
    connections_ << QObject::connect(
        &ctrl_, &CDorlinCtrl::RnetMonitor, [this](short idx, const QString& msg) {
            if (idx == RNET_MSG_DEV) lastReply_ = msg;
            if (idx != RNET_MSG_DRV || !linkTrouble_.isEmpty()) return;
            if (msg == QLatin1String("$TIMEOUT")) {
                linkTrouble_ = QStringLiteral("no reply within %1 ms").arg(ctrl_.RnetTimeout());
                return;
            }
            for (const LinkWord& w : kLinkWords)
                if (msg == QLatin1String(w.word)) linkTrouble_ = QString::fromLatin1(w.why);
        });
}

ScriptRunner::~ScriptRunner() {
    for (const auto& c : connections_)
        QObject::disconnect(c);
    CDorlinCtrl::SetAboutBoxHook(oldAboutHook_);
}

void ScriptRunner::SetTransfer(Transfer transfer) {
    transfer_ = std::move(transfer);
}

// Steps that talk to the reader (and so need the port).
bool ScriptRunner::NeedsPort(const ScriptStep& step) const {
    if (IsFileStep(step.verb)) return true;
    if (step.verb == QLatin1String("set"))
        return step.name.compare(QLatin1String("Text"), Qt::CaseInsensitive) == 0 ||
               step.name.compare(QLatin1String("Char"), Qt::CaseInsensitive) == 0;
    bool isProperty = false;
    const int id = CDorlinCtrl::DispIdOf(step.name, &isProperty);
    return id != 0 && !isProperty && id != DISPID_AboutBox && id != DISPID_EnumCommPort;
}

ScriptResult ScriptRunner::Run(const QList<ScriptStep>& steps) {
    ScriptResult result;
    everOpen_ = ctrl_.PortOpen();
    for (qsizetype n = 0; n < steps.size(); ++n)
        RunStep(int(n + 1), steps[n], result);
    return result;
}

void ScriptRunner::RunStep(int number, const ScriptStep& step, ScriptResult& result) {
    // A closed connection may be reopening (the network path does that by itself, from the
    // event loop: the posted request to connect again is delivered here too); the port's
    // going away is noticed here as well.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    const bool openBefore = ctrl_.PortOpen();
    everOpen_ = everOpen_ || openBefore;
    const bool needsPort = NeedsPort(step);
    const long timeoutMs = ctrl_.RnetTimeout();
    // With no port an exchange could only wait out its time-out: fail it at once.
    if (needsPort && !openBefore) ctrl_.SetRnetTimeout(0);
    linkTrouble_.clear();
    lastReply_.clear();

    // refused: the dispatch turned the step down before anything reached the port. ok: the
    // step's own result (a file transfer's); a closed port fails only a step that did not get
    // its work done.
    bool refused = false, ok = true;
    if (IsFileStep(step.verb)) {
        ok = transfer_(step.verb == QLatin1String("send-file"), step.name);
        out_(ok ? "TRUE" : "FALSE");
        if (!ok) result.stepFailed = true;
    } else {
        QVariantList args;
        for (const QString& a : step.args)
            args << WireText(a);
        bool isProperty = false;
        const int id = CDorlinCtrl::DispIdOf(step.name, &isProperty);
        CDorlinCtrl::DispKind kind = CDorlinCtrl::DispKind::Method;
        if (step.verb == QLatin1String("set"))
            kind = CDorlinCtrl::DispKind::Put;
        else if (isProperty)
            kind = CDorlinCtrl::DispKind::Get;
        aboutText_.clear();
        int code = 0;
        QString text;
        const QVariant r = id ? ctrl_.Invoke(id, kind, args, &code, &text)
                              : ctrl_.InvokeByName(step.name, kind, args, &code, &text);
        if (code) {
            out_(ErrorLine(code, text));
            result.stepFailed = true;
        } else if (kind == CDorlinCtrl::DispKind::Put) {
            out_("OK");
        } else if (!aboutText_.isEmpty()) {
            out_(aboutText_.toLocal8Bit());
        } else {
            out_(ResultLine(r));
        }
        refused = code != 0;
    }

    if (needsPort && !openBefore) ctrl_.SetRnetTimeout(timeoutMs);
    if (refused) return;
    QString why = linkTrouble_;
    if (needsPort && !openBefore)
        why = everOpen_ ? QStringLiteral("the port has closed") : QStringLiteral("no port is open");
    else if (needsPort && !ctrl_.PortOpen() && (!why.isEmpty() || !ok) &&
             why != QLatin1String("the connection was reset"))
        why = QStringLiteral("the port closed");
    // A reply that is no "A" is the reader's refusal: a failure as much as no reply (FALSE or
    // 0 alone cannot tell a refusal from an empty reader).
    const bool refusal = why.isEmpty() && !lastReply_.isEmpty() && lastReply_[0] != 'A';
    if (refusal)
        why = QStringLiteral("the reader refused it (%1)")
                  .arg(QString::fromLatin1(Visible(lastReply_)));
    if (why.isEmpty()) return;
    err_(QStringLiteral("dorlin: step %1 (%2): %3")
             .arg(number)
             .arg(step.Typed(), why)
             .toLocal8Bit());
    (refusal ? result.readerRefused : result.linkFailed) = true;
}

} // namespace dorlin
