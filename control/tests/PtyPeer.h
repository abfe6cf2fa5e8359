// A scripted reader on the master side of a pseudo-terminal. It runs on the test's event loop
// (the control's reply wait keeps that loop going), records every byte the control sent and
// answers each request frame with the next scripted reply.
#pragma once
#include <QByteArray>
#include <QList>
#include <QSocketNotifier>
#include <functional>
#include <memory>
#include <unistd.h>

#include "TestSupport.h"

class PtyPeer {
public:
    explicit PtyPeer(lvtest::PtyPair& pty) : pty_(pty) {
        notifier_ = std::make_unique<QSocketNotifier>(pty.master(), QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { OnReadable(); });
    }
    // Replies are sent in order, one per request frame (a CR from the control ends a request).
    void Script(const QList<QByteArray>& replies) { replies_ = replies; }
    // Or compute the reply from the request bytes (STX..CR); empty = stay silent.
    void Answer(std::function<QByteArray(const QByteArray&)> fn) { answer_ = std::move(fn); }
    const QByteArray& Received() const { return received_; }
    QList<QByteArray> Requests() const { return requests_; }
    void Clear() {
        received_.clear();
        requests_.clear();
    }

private:
    void OnReadable() {
        char buf[4096];
        ssize_t n = ::read(pty_.master(), buf, sizeof buf);
        if (n <= 0) {
            notifier_->setEnabled(false);
            return;
        }
        for (ssize_t i = 0; i < n; ++i) {
            received_.append(buf[i]);
            pending_.append(buf[i]);
            if (buf[i] == '\r') {
                requests_ << pending_;
                QByteArray reply;
                if (answer_)
                    reply = answer_(pending_);
                else if (!replies_.isEmpty())
                    reply = replies_.takeFirst();
                pending_.clear();
                if (!reply.isEmpty()) pty_.write(reply);
            }
        }
    }

    lvtest::PtyPair& pty_;
    std::unique_ptr<QSocketNotifier> notifier_;
    QList<QByteArray> replies_;
    std::function<QByteArray(const QByteArray&)> answer_;
    QByteArray received_, pending_;
    QList<QByteArray> requests_;
};
