#include "pelmar/core/clsTimeout.h"

#include "dorlin/TickSource.h"

#include <QCoreApplication>

namespace pelmar {
namespace {
constexpr int32_t kIdleCap = 200;
constexpr uint32_t kMaxElapsed = 2147483647u;

clsTimeout::EventPump& Pump() {
    static clsTimeout::EventPump pump;
    return pump;
}
} // namespace

clsTimeout::clsTimeout() : lastTick_(dorlin::GetTickCount()) {}

void clsTimeout::SetTimeout(int32_t ms) {
    lastTick_ = dorlin::GetTickCount();
    timeout_ = ms;
    remaining_ = ms;
    idle_ = 0;
}

void clsTimeout::Reset() {
    lastTick_ = dorlin::GetTickCount();
    remaining_ = timeout_;
    idle_ = 0;
}

bool clsTimeout::IsTimeout() {
    uint32_t now = dorlin::GetTickCount();
    // Unsigned difference: a counter that wrapped between two checks still gives the
    // true small difference.
    uint32_t diff = now - lastTick_;
    int32_t elapsed = int32_t(diff > kMaxElapsed ? kMaxElapsed : diff);
    int64_t left = int64_t(remaining_) - elapsed;
    remaining_ = left < 0 ? 0 : int32_t(left);
    if (elapsed < kIdleCap && idle_ < kIdleCap)
        idle_ += elapsed;
    else
        idle_ = kIdleCap;
    lastTick_ = dorlin::GetTickCount();
    return remaining_ < 1;
}

bool clsTimeout::WaitTimeout(bool ExcludeEvents) {
    if (sleeper_)
        sleeper_(1);
    else
        dorlin::Sleep(1);
    bool expired = IsTimeout();
    if (!expired && idle_ >= kIdleCap) {
        RunEvents();
        if (ExcludeEvents) lastTick_ = dorlin::GetTickCount();
        idle_ = 0;
    }
    return expired;
}

clsTimeout::EventPump clsTimeout::SetEventPump(EventPump pump) {
    std::swap(Pump(), pump);
    return pump;
}

void clsTimeout::RunEvents() {
    if (Pump()) {
        Pump()();
        return;
    }
    if (QCoreApplication::instance()) QCoreApplication::processEvents();
}

} // namespace pelmar
