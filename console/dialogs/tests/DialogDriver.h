// Driving modal dialogs from a test: the public procedures run their dialogs with exec(), so
// the test arranges beforehand what a person would do once the dialog is on screen.
#pragma once
#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

namespace dlgtest {

// Runs `act` on the first modal widget of type T that shows up. When none shows within the
// bound, the active modal dialog (if any) is rejected so that the test ends with a failure
// instead of hanging.
template <class T> void WhenModal(std::function<void(T*)> act, int timeoutMs = 15000) {
    auto* timer = new QTimer;
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, clock, act, timeoutMs] {
        QWidget* w = QApplication::activeModalWidget();
        if (auto* t = qobject_cast<T*>(w); t && t->isVisible()) {
            timer->stop();
            timer->deleteLater();
            act(t);
            return;
        }
        if (clock->elapsed() > timeoutMs) {
            timer->stop();
            timer->deleteLater();
            ADD_FAILURE() << "no modal " << T::staticMetaObject.className() << " appeared";
            if (auto* d = qobject_cast<QDialog*>(w)) d->reject();
        }
    });
    timer->start();
}

// What a message box showed, and the box answered with `button`.
struct Shown {
    bool seen = false;
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

inline std::shared_ptr<Shown> AnswerMessage(QMessageBox::StandardButton button = QMessageBox::Ok,
                                            std::function<void()> then = {}) {
    auto shown = std::make_shared<Shown>();
    WhenModal<QMessageBox>([shown, button, then](QMessageBox* box) {
        shown->seen = true;
        shown->title = box->windowTitle();
        shown->text = box->text();
        shown->icon = box->icon();
        if (then) then();
        box->button(button)->click();
    });
    return shown;
}

template <class T> T* Find(QWidget* parent, const char* name) {
    T* w = parent->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << "no control " << name;
    return w;
}

} // namespace dlgtest

// The program data folder of this test process (Isolation.cpp).
std::string DialogTestDataDir();

// Readable QString values in test failure messages.
#include <ostream>
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
