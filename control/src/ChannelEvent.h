// The notification a channel posts to its owner (the control) from the reader thread: the
// counterpart of a command message. Code 0 carries line events, 1-8 transfer messages, and
// CodePortGone tells the owner that the device went away.
#pragma once
#include <QEvent>

class ChannelEvent : public QEvent {
public:
    static constexpr int CodePortGone = -1;
    ChannelEvent(int code, long value, bool quiet)
        : QEvent(Type()), code_(code), value_(value), quiet_(quiet) {}
    static QEvent::Type Type() {
        static const int t = QEvent::registerEventType();
        return QEvent::Type(t);
    }
    int Code() const { return code_; }
    long Value() const { return value_; }
    // The bytes behind it arrived while an Rnet exchange was running.
    bool Quiet() const { return quiet_; }

private:
    int code_;
    long value_;
    bool quiet_;
};
