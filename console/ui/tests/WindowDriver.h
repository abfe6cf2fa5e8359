// Drives the console's windows as a person would: the simulated reader on a pty
// (lvtest::SimReader), and an answerer that handles every modal dialog as it appears (message
// boxes, the login dialog, the file dialogs) and records what it was shown.
#pragma once
#include "SimReader.h"

#include <QMessageBox>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <deque>
#include <functional>
#include <vector>

namespace uitest {

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
