// Drives the console's windows as a person would: the simulated reader on a pty, and an
// answerer that handles every modal dialog as it appears (message boxes, the login dialog,
// the file dialogs) and records what it was shown.
#pragma once
#include "TestSupport.h"

#include <QMessageBox>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace uitest {

// readersim serving a pty link in a temporary folder.
class SimReader {
public:
    explicit SimReader(const QStringList& args);
    bool ok() const { return ok_; }
    QString Link() const { return link_; }
    void Stop() { proc_->terminate(); }

private:
    QTemporaryDir dir_;
    QString link_;
    std::unique_ptr<lvtest::ChildProcess> proc_;
    bool ok_ = false;
};

struct ShownBox {
    QMessageBox::Icon icon;
    QString title, text;
};

// Answers modal dialogs from a timer that also runs inside nested event loops.
class ModalAnswerer : public QObject {
public:
    ModalAnswerer();
    std::deque<QString> loginIds; // typed into the login dialog; empty: Cancel
    std::deque<QString> newIds;   // typed into the change-ID dialog; empty: Cancel
    bool yes = true;              // answer of Yes/No questions
    QString saveFile;             // chosen in a save or open file dialog; empty: Cancel
    std::vector<ShownBox> boxes;
    QStringList questions;
    int fileDialogs = 0;
    QString language;                               // chosen in the language dialog
    std::function<void(const QString&)> onQuestion; // runs before a Yes/No is answered
    QStringList Texts() const;

private:
    void Poll();
    QTimer timer_;
};

} // namespace uitest
