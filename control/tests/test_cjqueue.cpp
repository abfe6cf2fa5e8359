// The receive ring: order, wrap-around, overflow, resizing, and one producer thread against
// one consumer thread (also run under ThreadSanitizer).
#include "CJQueue.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

TEST(CJQueue, KeepsOrderAcrossWrapAround) {
    CJQueue q(4);
    uint8_t b = 0;
    for (int round = 0; round < 3; ++round) {
        EXPECT_TRUE(q.Push(uint8_t(10 + round)));
        EXPECT_TRUE(q.Push(uint8_t(20 + round)));
        EXPECT_TRUE(q.Push(uint8_t(30 + round)));
        ASSERT_TRUE(q.Pop(b));
        EXPECT_EQ(b, 10 + round);
        ASSERT_TRUE(q.Pop(b));
        EXPECT_EQ(b, 20 + round);
        ASSERT_TRUE(q.Pop(b));
        EXPECT_EQ(b, 30 + round);
    }
    EXPECT_FALSE(q.Pop(b));
    EXPECT_EQ(q.Count(), 0);
}

TEST(CJQueue, PushRefusesWhenFull) {
    CJQueue q(2);
    EXPECT_TRUE(q.Push(1));
    EXPECT_TRUE(q.Push(2));
    EXPECT_FALSE(q.Push(3));
    EXPECT_EQ(q.Count(), 2);
}

TEST(CJQueue, PushManyKeepsWhatFitsAndDropsTheRest) {
    CJQueue q(256);
    std::vector<uint8_t> burst(300);
    for (size_t i = 0; i < burst.size(); ++i)
        burst[i] = uint8_t(i);
    EXPECT_EQ(q.PushMany(burst.data(), 300), 256);
    std::vector<uint8_t> out(300);
    EXPECT_EQ(q.PopMany(out.data(), 300), 256);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(out[size_t(i)], uint8_t(i)) << i;
}

TEST(CJQueue, PopManyTakesAtMostCount) {
    CJQueue q(8);
    const uint8_t in[] = {'a', 'b', 'c'};
    q.PushMany(in, 3);
    uint8_t out[8] = {};
    EXPECT_EQ(q.PopMany(out, 2), 2);
    EXPECT_EQ(out[0], 'a');
    EXPECT_EQ(out[1], 'b');
    EXPECT_EQ(q.PopMany(out, 8), 1);
    EXPECT_EQ(out[0], 'c');
    EXPECT_EQ(q.PopMany(out, 8), 0);
}

TEST(CJQueue, ClearAndResizeForgetQueuedBytes) {
    CJQueue q(8);
    const uint8_t in[] = {1, 2, 3};
    q.PushMany(in, 3);
    q.Clear();
    EXPECT_EQ(q.Count(), 0);
    q.PushMany(in, 3);
    q.Resize(16);
    EXPECT_EQ(q.Count(), 0);
    EXPECT_EQ(q.Capacity(), 16);
    q.Resize(0);
    EXPECT_EQ(q.Capacity(), 0);
    EXPECT_FALSE(q.Push(1));
    EXPECT_EQ(q.PushMany(in, 3), 0);
}

TEST(CJQueue, WaitForPushWakesOnNewBytesAndOnWake) {
    CJQueue q(8);
    const uint64_t seq = q.PushSeq();
    EXPECT_FALSE(q.WaitForPush(seq, 0));
    std::thread t([&] { q.Push(7); });
    EXPECT_TRUE(q.WaitForPush(seq, 10000));
    t.join();
    // Wake ends a wait that no push will end, and it reports "nothing new".
    const uint64_t seq2 = q.PushSeq();
    std::atomic<int> result{-1};
    std::thread w([&] { result = q.WaitForPush(seq2, 600000) ? 1 : 0; });
    for (int i = 0; i < 10000 && result.load() < 0; ++i) {
        q.Wake();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const bool ended = result.load() >= 0;
    if (!ended) q.Push(1); // let the thread go before failing
    w.join();
    EXPECT_TRUE(ended);
    EXPECT_EQ(result.load(), ended ? 0 : 1);
}

TEST(CJQueue, ProducerAndConsumerThreadsLoseNothingThatFits) {
    CJQueue q(64);
    constexpr int kTotal = 200000;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        int sent = 0;
        uint8_t chunk[7];
        while (sent < kTotal) {
            int n = std::min(7, kTotal - sent);
            for (int i = 0; i < n; ++i)
                chunk[i] = uint8_t((sent + i) & 0xFF);
            int k = q.PushMany(chunk, n); // a full queue drops: send the rest again
            sent += k;
            if (k == 0) std::this_thread::yield();
        }
        done = true;
    });
    int got = 0;
    bool inOrder = true;
    uint8_t buf[16];
    while (got < kTotal) {
        const uint64_t seq = q.PushSeq();
        int n = q.PopMany(buf, 16);
        for (int i = 0; i < n; ++i)
            inOrder = inOrder && buf[i] == uint8_t((got + i) & 0xFF);
        got += n;
        if (n == 0 && !done) q.WaitForPush(seq, 5);
    }
    producer.join();
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(got, kTotal);
    EXPECT_EQ(q.Count(), 0);
}
