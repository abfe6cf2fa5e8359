// The device server's answer to a configuration command: one datagram on the configuration
// port, of which the first kConfigReplyBytes are read. One that starts with "A" acknowledges
// the command; an empty datagram is passed over, and anything else ("N", an error text,
// noise) refuses it.
#pragma once

namespace dorlin {

constexpr int kConfigReplyBytes = 64;

// `length` is what the socket's read returned (negative on an error); `datagram` holds
// min(length, kConfigReplyBytes) bytes.
inline bool ConfigReplyAccepts(const char* datagram, long long length) {
    return length > 0 && datagram[0] == 'A';
}

} // namespace dorlin
