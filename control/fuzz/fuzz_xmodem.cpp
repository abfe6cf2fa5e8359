// libFuzzer target: random bytes (and time-outs) into the XMODEM receiver and sender. Neither
// may crash, hang, grow without bound or hand back anything but whole 128-byte blocks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "XmodemCore.h"

namespace {
void Check(bool ok) {
    if (!ok) __builtin_trap();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t mode = data[0];
    const int timeoutEvery = 1 + (mode >> 2); // a time-out now and then, as a silent line would
    if (mode & 1) {
        xmodem::Receiver r;
        xmodem::Step st;
        r.Start(st);
        size_t total = 0;
        for (size_t i = 1; i < size; ++i) {
            xmodem::Step s;
            if ((mode & 2) && i % size_t(timeoutEvery) == 0)
                r.Timeout(s);
            else
                r.Feed(data[i], s);
            Check(s.data.size() % 128 == 0);
            Check(s.send.size() <= 7); // an answer byte, or the cancel sequence
            total += s.data.size();
            Check(r.FrameFill() < 134);
            if (r.Done()) {
                xmodem::Step after;
                r.Feed(xmodem::SOH, after);
                Check(after.send.empty() && after.data.empty());
            }
        }
        Check(total == size_t(r.Blocks()) * 128);
    } else {
        const int64_t length = int64_t(mode) * 37;
        int64_t served = 0;
        xmodem::Sender s(length, [&](uint8_t* d, int n) {
            int k = int(std::min<int64_t>(n, length - served));
            for (int j = 0; j < k; ++j)
                d[j] = uint8_t(served + j);
            served += k;
            return k;
        });
        xmodem::Step st;
        s.Start(st);
        for (size_t i = 1; i < size; ++i) {
            xmodem::Step o;
            if ((mode & 2) && i % size_t(timeoutEvery) == 0)
                s.Timeout(o);
            else
                s.Feed(data[i], o);
            const size_t n = o.send.size();
            Check(n == 0 || n == 1 || n == 6 || n == 132 || n == 133);
            Check(s.Acked() <= s.TotalBlocks());
            Check(served <= length);
        }
    }
    return 0;
}
