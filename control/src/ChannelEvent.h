// The notification a channel posts to its owner (the control) from the reader thread: the
// counterpart of a command message. Code 0 carries line events, 1-8 transfer messages, and
// CodePortGone tells the owner that the device went away.
#pragma once
#include <QEvent>
#include <atomic>

class ChannelEvent : public QEvent {
public:
    static constexpr int CodePortGone = -1;
    ChannelEvent(int code, long value, bool quiet)
        : QEvent(Type()), code_(code), value_(value), quiet_(quiet) {
        Handed().fetch_add(1, std::memory_order_release);
    }
    // True when `e` is a ChannelEvent. Qt's event queue hands the event from the reader thread
    // to the owner under a lock inside the Qt library, where ThreadSanitizer cannot see it;
    // the release above and the acquire here make the hand-over visible, so the owner may read
    // the event that the other thread wrote. Owners test their events with this.
    static bool Is(const QEvent* e) {
        (void)Handed().load(std::memory_order_acquire);
        return e->type() == Type();
    }
    static QEvent::Type Type() {
        static const int t = QEvent::registerEventType();
        return QEvent::Type(t);
    }
    int Code() const { return code_; }
    long Value() const { return value_; }
    // The bytes behind it arrived while an Rnet exchange was running.
    bool Quiet() const { return quiet_; }

private:
    static std::atomic<unsigned>& Handed() {
        static std::atomic<unsigned> n{0};
        return n;
    }
    int code_;
    long value_;
    bool quiet_;
};
