// A tick counter the test drives: installed as the tick source and the sleep hook, so that
// every 1 ms sleep of a polling loop advances time by exactly 1 ms without really sleeping.
#pragma once
#include "dorlin/TickSource.h"

#include <atomic>
#include <cstdint>

namespace pelmar::test {

class FakeClock {
public:
    explicit FakeClock(uint32_t start = 1000) : now_(start) {
        oldTick_ = dorlin::SetTickSource([this] { return now_.load(); });
        oldSleep_ = dorlin::SetSleepHook([this](uint32_t ms) { now_ += ms; });
    }
    ~FakeClock() {
        dorlin::SetTickSource(oldTick_);
        dorlin::SetSleepHook(oldSleep_);
    }
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;
    void Set(uint32_t t) { now_ = t; }
    void Advance(uint32_t ms) { now_ += ms; }
    uint32_t Now() const { return now_; }

private:
    std::atomic<uint32_t> now_;
    dorlin::TickFn oldTick_;
    dorlin::SleepFn oldSleep_;
};

} // namespace pelmar::test
