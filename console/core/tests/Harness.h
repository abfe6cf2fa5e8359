// Test peers and recorders for the console core: the simulated reader on a pty, a scripted
// reader played by the test on a pty, and a prompt that answers from a script and records
// everything it is shown.
#pragma once
#include "SimReader.h"
#include "TestSupport.h"
#include "pelmar/core/DorlinLink.h"
#include "pelmar/core/IUserPrompt.h"

#include "dorlin/CDorlinCtrl.h"
#include "dorlin/Rnet.h"

#include <QByteArray>
#include <QStringList>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <thread>
#include <vector>

// Readable QString values in test failure messages (control characters shown as <xx>).
inline void PrintTo(const QString& s, std::ostream* os) {
    QByteArray b = s.toUtf8();
    *os << '"' << rnet::Visible(std::string_view(b.constData(), size_t(b.size()))) << '"';
}

namespace pelmar::test {

// readersim on a pty (testing/SimReader.h).
using lvtest::SimReader;

// A reader played by the test: a thread on the master side of a pty that collects each
// request frame (up to its CR) and answers with what the script returns for it (nothing
// when the script returns an empty array).
class ScriptedPeer {
public:
    using Script = std::function<QByteArray(const QByteArray& frame)>;
    explicit ScriptedPeer(Script script);
    ~ScriptedPeer();
    bool ok() const { return pty_.ok(); }
    QString Path() const { return QString::fromStdString(pty_.slavePath()); }
    // Every byte the peer received so far.
    QByteArray Received();
    void ClearReceived();

private:
    void Run();
    lvtest::PtyPair pty_;
    Script script_;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    QByteArray received_;
    std::thread thread_;
};

// A reply frame: STX + text + CR, with the reply checksum appended when asked.
QByteArray Reply(const QByteArray& text, bool withChecksum = false);

// The console's link control, opened on a device path.
struct LinkUnderTest {
    LinkUnderTest() : ctrl(nullptr, false), link(&ctrl) { ctrl.SetRnetTimeout(1000); }
    bool Open(const QString& path) {
        ctrl.SetExtPort(path);
        ctrl.SetExtPortOpen(true);
        return ctrl.PortOpen();
    }
    CDorlinCtrl ctrl;
    DorlinLink link;
};

struct Shown {
    MsgKind kind;
    QString text;
    QString title;
};

// Answers from queues and records what it is shown.
class RecordingPrompt : public IUserPrompt {
public:
    std::deque<QString> loginIds; // answers of AskLoginId ("" when empty)
    QString newId;
    bool yes = true;
    int loginAsks = 0;
    QStringList questions;
    std::vector<Shown> messages;
    QStringList captions, counters, panels;
    std::vector<UiState> states;
    long progressMax = -1, progressValue = -1;
    std::vector<long> progressValues;
    int clearedSelection = 0;

    QString AskLoginId(int) override {
        ++loginAsks;
        if (loginIds.empty()) return QString();
        QString id = loginIds.front();
        loginIds.pop_front();
        return id;
    }
    QString AskNewLoginId() override { return newId; }
    bool AskYesNo(const QString& text) override {
        questions << text;
        return yes;
    }
    void ShowMessage(MsgKind kind, const QString& text, const QString& title) override {
        messages.push_back({kind, text, title});
    }
    void SetState(UiState s) override { states.push_back(s); }
    void SetCaption(const QString& c) override { captions << c; }
    void SetMessagePanel(const QString& t) override { panels << t; }
    void SetCounter(const QString& c) override { counters << c; }
    void SetProgress(long, long max, long value) override {
        progressMax = max;
        progressValue = value;
        progressValues.push_back(value);
    }
    void ClearPortSelection() override { ++clearedSelection; }
    QStringList notes;
    void ShowNote(const QString& t) override { notes << t; }
    QStringList MessageTexts() const {
        QStringList l;
        for (auto& m : messages)
            l << m.text;
        return l;
    }
};

} // namespace pelmar::test
