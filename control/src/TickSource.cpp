#include "dorlin/TickSource.h"

#include <chrono>
#include <mutex>
#include <thread>

namespace dorlin {
namespace {
std::mutex g_mu;
TickFn g_tick;
SleepFn g_sleep;
} // namespace

uint32_t GetTickCount() {
    TickFn fn;
    {
        std::lock_guard<std::mutex> lk(g_mu);
        fn = g_tick;
    }
    if (fn) return fn();
    using namespace std::chrono;
    return uint32_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

TickFn SetTickSource(TickFn fn) {
    std::lock_guard<std::mutex> lk(g_mu);
    std::swap(g_tick, fn);
    return fn;
}

void Sleep(uint32_t ms) {
    SleepFn fn;
    {
        std::lock_guard<std::mutex> lk(g_mu);
        fn = g_sleep;
    }
    if (fn) return fn(ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

SleepFn SetSleepHook(SleepFn fn) {
    std::lock_guard<std::mutex> lk(g_mu);
    std::swap(g_sleep, fn);
    return fn;
}

} // namespace dorlin
