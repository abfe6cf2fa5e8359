// clsTimeout: countdown arithmetic across the tick counter's wrap, the state of a fresh
// object, and how often a long wait lets pending events run.
#include "FakeClock.h"
#include "pelmar/core/clsTimeout.h"

#include <gtest/gtest.h>
#include <vector>

using pelmar::clsTimeout;
using pelmar::test::FakeClock;

namespace {

// Counts event-pump runs and can make each run take a while on the fake clock.
struct PumpCounter {
    explicit PumpCounter(FakeClock& clock, uint32_t costMs = 0) : clock_(clock), cost_(costMs) {
        old_ = clsTimeout::SetEventPump([this] {
            ++runs;
            runTicks.push_back(clock_.Now());
            clock_.Advance(cost_);
        });
    }
    ~PumpCounter() { clsTimeout::SetEventPump(old_); }
    int runs = 0;
    std::vector<uint32_t> runTicks;

private:
    FakeClock& clock_;
    uint32_t cost_;
    clsTimeout::EventPump old_;
};

} // namespace

TEST(Timeout, FreshObjectReportsExpiryUntilArmed) {
    FakeClock clock;
    clsTimeout t;
    EXPECT_EQ(t.Timeout(), 1000);
    EXPECT_TRUE(t.IsTimeout());
    t.Reset();
    EXPECT_FALSE(t.IsTimeout());
}

TEST(Timeout, ZeroTimeoutExpiresAtOnce) {
    FakeClock clock;
    clsTimeout t;
    t.SetTimeout(0);
    EXPECT_EQ(t.Timeout(), 0);
    EXPECT_TRUE(t.IsTimeout());
}

TEST(Timeout, WrapOfTheTickCounterCountsTheTrueDifference) {
    FakeClock clock(4294967290u);
    clsTimeout t;
    t.SetTimeout(17);
    clock.Set(10); // 6 ticks to the wrap, 10 after it: 16 ms
    EXPECT_FALSE(t.IsTimeout()) << "16 of 17 ms used, 1 ms left";
    clock.Advance(1);
    EXPECT_TRUE(t.IsTimeout());
}

TEST(Timeout, WrapCountsSixteenNotFourBillion) {
    FakeClock clock(4294967290u);
    clsTimeout t;
    t.SetTimeout(16);
    clock.Set(10);
    EXPECT_TRUE(t.IsTimeout()) << "exactly 16 ms elapsed";
}

TEST(Timeout, ExpiresAfterTheArmedDurationOfOneMillisecondSteps) {
    FakeClock clock(5000);
    clsTimeout t;
    t.SetTimeout(250);
    int steps = 0;
    while (!t.WaitTimeout(true))
        ++steps;
    EXPECT_EQ(steps, 249); // the 250th sleep makes it expire
    EXPECT_EQ(clock.Now(), 5250u);
}

TEST(Timeout, ResetRearmsWithTheCurrentTimeout) {
    FakeClock clock;
    clsTimeout t;
    t.SetTimeout(5);
    clock.Advance(10);
    EXPECT_TRUE(t.IsTimeout());
    t.Reset();
    clock.Advance(4);
    EXPECT_FALSE(t.IsTimeout());
    clock.Advance(1);
    EXPECT_TRUE(t.IsTimeout());
}

TEST(Timeout, EventsRunAboutEvery200Milliseconds) {
    FakeClock clock(0);
    PumpCounter pump(clock);
    clsTimeout t;
    t.SetTimeout(1000);
    while (!t.WaitTimeout(true)) {
    }
    // After 200, 400, 600 and 800 ms of waiting; at 1000 ms the wait has expired instead.
    ASSERT_EQ(pump.runs, 4);
    EXPECT_EQ(pump.runTicks, (std::vector<uint32_t>{200, 400, 600, 800}));
}

TEST(Timeout, A250msWaitRunsEventsOnce) {
    FakeClock clock(0);
    PumpCounter pump(clock);
    clsTimeout t;
    t.SetTimeout(250);
    while (!t.WaitTimeout(true)) {
    }
    EXPECT_EQ(pump.runs, 1);
}

TEST(Timeout, SlowEventHandlerDoesNotCountWhenExcluded) {
    FakeClock clock(0);
    PumpCounter pump(clock, 5000); // each event run takes five seconds
    clsTimeout t;
    t.SetTimeout(250);
    int steps = 0;
    while (!t.WaitTimeout(true))
        ++steps;
    EXPECT_EQ(pump.runs, 1);
    EXPECT_EQ(clock.Now(), 5250u) << "250 ms of waiting plus the 5 s handler";
    EXPECT_EQ(steps, 249);
}

TEST(Timeout, SlowEventHandlerCountsWhenNotExcluded) {
    FakeClock clock(0);
    PumpCounter pump(clock, 5000);
    clsTimeout t;
    t.SetTimeout(250);
    int steps = 0;
    while (!t.WaitTimeout(false))
        ++steps;
    EXPECT_EQ(pump.runs, 1);
    EXPECT_EQ(steps, 200) << "the handler's 5 s used up the rest of the wait";
}

TEST(Timeout, HugeJumpIsCappedAndExpires) {
    FakeClock clock(0);
    clsTimeout t;
    t.SetTimeout(2147483647);
    clock.Set(0x90000000u); // more than 2^31 ms later: limited to 2^31 - 1
    EXPECT_TRUE(t.IsTimeout());
}
