#include "CJQueue.h"

#include <algorithm>
#include <chrono>
#include <new>

CJQueue::CJQueue(int capacity) {
    Resize(capacity);
}

bool CJQueue::Push(uint8_t b) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (count_ >= capacity_) return false;
        buf_[size_t(write_)] = b;
        write_ = (write_ + 1) % capacity_;
        ++count_;
        ++pushSeq_;
    }
    cv_.notify_all();
    return true;
}

int CJQueue::PushMany(const uint8_t* bytes, int n) {
    int copied = 0;
    {
        std::lock_guard<std::mutex> lk(mu_);
        while (copied < n && count_ + copied < capacity_) {
            buf_[size_t(write_)] = bytes[copied++];
            write_ = (write_ + 1) % capacity_;
        }
        count_ += copied;
        if (copied > 0) ++pushSeq_;
    }
    if (copied > 0) cv_.notify_all();
    return copied;
}

bool CJQueue::Pop(uint8_t& b) {
    std::lock_guard<std::mutex> lk(mu_);
    if (count_ == 0) return false;
    b = buf_[size_t(read_)];
    read_ = (read_ + 1) % capacity_;
    --count_;
    return true;
}

int CJQueue::PopMany(uint8_t* dest, int n) {
    std::lock_guard<std::mutex> lk(mu_);
    int m = std::min(std::max(n, 0), count_);
    for (int i = 0; i < m; ++i) {
        dest[i] = buf_[size_t(read_)];
        read_ = (read_ + 1) % capacity_;
    }
    count_ -= m;
    return m;
}

int CJQueue::Count() const {
    std::lock_guard<std::mutex> lk(mu_);
    return count_;
}

int CJQueue::Capacity() const {
    std::lock_guard<std::mutex> lk(mu_);
    return capacity_;
}

void CJQueue::Clear() {
    std::lock_guard<std::mutex> lk(mu_);
    write_ = read_ = count_ = 0;
}

void CJQueue::Resize(int n) {
    std::lock_guard<std::mutex> lk(mu_);
    std::vector<uint8_t>().swap(buf_);
    write_ = read_ = count_ = 0;
    capacity_ = 0;
    if (n <= 0) return;
    try {
        buf_.resize(size_t(n));
        capacity_ = n;
    } catch (const std::bad_alloc&) {
        capacity_ = 0;
    }
}

uint64_t CJQueue::PushSeq() const {
    std::lock_guard<std::mutex> lk(mu_);
    return pushSeq_;
}

bool CJQueue::WaitForPush(uint64_t seenSeq, int timeoutMs) {
    std::unique_lock<std::mutex> lk(mu_);
    const uint64_t wake = wakeSeq_;
    cv_.wait_for(lk, std::chrono::milliseconds(std::max(timeoutMs, 0)),
                 [&] { return pushSeq_ != seenSeq || wakeSeq_ != wake; });
    return pushSeq_ != seenSeq;
}

void CJQueue::Wake() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        ++wakeSeq_;
    }
    cv_.notify_all();
}
