// The receive queue of a channel: a byte ring filled by the serial reader thread and emptied by
// the user-interface thread. Every operation takes the queue's lock, and pushes wake anyone
// waiting in WaitForPush, so a reply wait can sleep instead of polling.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

class CJQueue {
public:
    explicit CJQueue(int capacity = 1024);

    // One byte in; false when the queue is full.
    bool Push(uint8_t b);
    // Copies as many of the n bytes as fit; the rest are dropped. Returns how many were copied.
    int PushMany(const uint8_t* bytes, int n);
    // One byte out; false when the queue is empty.
    bool Pop(uint8_t& b);
    // Moves min(n, Count()) bytes out in order.
    int PopMany(uint8_t* dest, int n);
    int Count() const;
    int Capacity() const;
    // Forgets the queued bytes.
    void Clear();
    // New capacity; queued bytes are lost. Capacity 0 when the memory cannot be had.
    void Resize(int n);

    // Number of successful pushes so far (wraps); used to wait for "something new arrived".
    uint64_t PushSeq() const;
    // Waits until a push happens after `seenSeq`, or until timeoutMs passes, or Wake() is
    // called. Returns true when new bytes were pushed.
    bool WaitForPush(uint64_t seenSeq, int timeoutMs);
    // Ends every WaitForPush early (for example when the port goes away).
    void Wake();

private:
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::vector<uint8_t> buf_;
    int capacity_ = 0;
    int write_ = 0;
    int read_ = 0;
    int count_ = 0;
    uint64_t pushSeq_ = 0;
    uint64_t wakeSeq_ = 0;
};
