// The millisecond tick counter that every wait measures with. Production uses the monotonic
// clock; tests install their own source to drive time without sleeping.
#pragma once
#include <cstdint>
#include <functional>

#include "dorlin/Rnet.h" // DORLIN_EXPORT

namespace dorlin {

// Current tick in milliseconds, 32 bits, wrapping like the system tick counter.
DORLIN_EXPORT uint32_t GetTickCount();
// Replaces the tick source (nullptr restores the monotonic clock). Returns the old one.
using TickFn = std::function<uint32_t()>;
DORLIN_EXPORT TickFn SetTickSource(TickFn fn);

// Sleep used by the polling loops; tests may replace it (for example to advance a fake clock).
using SleepFn = std::function<void(uint32_t ms)>;
DORLIN_EXPORT void Sleep(uint32_t ms);
DORLIN_EXPORT SleepFn SetSleepHook(SleepFn fn);

} // namespace dorlin
