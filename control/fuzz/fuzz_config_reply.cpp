// libFuzzer target: datagrams on the device server's configuration port. Input: datagrams
// separated by 0x1E. Each is read as the control reads a reply (the first 64 bytes into its
// buffer) and must be taken as the acknowledgement exactly when it starts with "A"; each is
// also given as a command to the simulated device server, which must accept exactly the
// commands of its table and change only the setting the command names.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "ConfigReply.h"
#include "readersim/Reader.h"

namespace {
void Check(bool ok) {
    if (!ok) __builtin_trap();
}

// The table of the device server's commands, written out independently of the simulator.
bool Known(std::string_view c, readersim::LineSettings& want) {
    static const int bauds[] = {1200, 2400, 4800, 9600, 19200, 38400, 115200};
    if (c.size() != 4 || c[3] < '0' || c[3] > '9') return false;
    const int d = c[3] - '0';
    const std::string_view key = c.substr(0, 3);
    if (key == "PBR" && d <= 6) return want.baud = bauds[d], true;
    if (key == "PFC" && d <= 1) return want.flow = d * 2, true;
    if (key == "PPR" && d <= 2) return want.parity = d == 0 ? 0 : d == 1 ? 2 : 1, true;
    if (key == "PBB" && d <= 1) return want.dataBits = d ? 8 : 7, true;
    return false;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> datagrams(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0x1E)
            datagrams.emplace_back();
        else
            datagrams.back() += char(data[i]);
    }
    readersim::LineSettings line;
    for (const std::string& d : datagrams) {
        // What the socket read hands over: at most the buffer's size, the rest discarded.
        char buf[dorlin::kConfigReplyBytes];
        const size_t n = std::min(d.size(), sizeof buf);
        std::memcpy(buf, d.data(), n);
        const long long got = d.empty() && (size & 1) ? -1 : (long long)n;
        Check(dorlin::ConfigReplyAccepts(buf, got) == (got > 0 && d[0] == 'A'));

        readersim::LineSettings want = line;
        const bool known = Known(d, want);
        Check(readersim::ApplyConfigCommand(d, line) == known);
        Check(line == want);
    }
    return 0;
}
