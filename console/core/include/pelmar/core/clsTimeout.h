// A millisecond countdown for polling waits: arm it, then call WaitTimeout (or IsTimeout)
// until it reports expiry. Measures with dorlin::GetTickCount (wrap-safe), sleeps 1 ms per
// poll and lets pending events run about every 200 ms so a long wait keeps the program alive.
#pragma once
#include <cstdint>
#include <functional>

namespace pelmar {

class clsTimeout {
public:
    clsTimeout();

    // Armed duration in ms (1000 after creation). Writing arms the timer.
    int32_t Timeout() const { return timeout_; }
    void SetTimeout(int32_t ms);
    // Re-arms with the current Timeout.
    void Reset();
    // Accounts the time since the last check; true once the remaining time has run out.
    bool IsTimeout();
    // One polling step: sleep 1 ms, check, and let events run after 200 ms of waiting.
    // With ExcludeEvents the time spent running events does not count against the wait.
    bool WaitTimeout(bool ExcludeEvents);

    // What "let pending events run" means; the default runs the Qt event queue when a
    // Qt application object exists. Returns the previous pump.
    // What one polling step waits with (default: sleep). A link may end the step early
    // when bytes arrive.
    void SetSleeper(std::function<void(uint32_t ms)> sleeper) { sleeper_ = std::move(sleeper); }

    using EventPump = std::function<void()>;
    static EventPump SetEventPump(EventPump pump);
    static void RunEvents();

private:
    uint32_t lastTick_ = 0;
    int32_t remaining_ = 0;
    int32_t timeout_ = 1000;
    int32_t idle_ = 0;
    std::function<void(uint32_t)> sleeper_;
};

} // namespace pelmar
