// Rnet framing: the request frame (STX, text, optional two-digit checksum, CR), the reply
// collector that the wait loop feeds byte by byte, and the protocol's number readings.
// Shared by the link control and the simulated reader.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#if defined(DORLIN_BUILD)
#define DORLIN_EXPORT __attribute__((visibility("default")))
#else
#define DORLIN_EXPORT
#endif

namespace rnet {

constexpr char STX = 0x02;
constexpr char CR = 0x0D;

// 8-bit sum of the bytes, each taken unsigned, modulo 256.
DORLIN_EXPORT uint8_t CheckSum(std::string_view text);
// The checksum written as two upper-case hexadecimal digits ("%02X").
DORLIN_EXPORT std::string CheckSumText(std::string_view text);
// STX + text [+ checksum] + CR.
DORLIN_EXPORT std::string BuildFrame(std::string_view text, bool withChecksum);

// Checks and removes the reply checksum the way the link control does: only replies that
// start with "A" and are longer than two characters carry one. Returns false (and leaves
// the text alone) when the two last characters do not match the sum of the others.
DORLIN_EXPORT bool StripReplyChecksum(std::string& reply);

// Hexadecimal reading of the protocol: every character counts as a digit, "0"-"9" as 0-9
// and any other as (c - 55), so upper-case A-F read correctly and nothing is rejected.
// Computed in 32 bits with wrap-around.
DORLIN_EXPORT int32_t HexReading(std::string_view digits);
// Decimal reading (value * 10 + c - '0') into a 16-bit result.
DORLIN_EXPORT int16_t DecReading(std::string_view digits);

// Collects one reply frame from a byte stream: bytes before the first STX are dropped, an
// STX restarts the reply, a CR after an STX ends it. A CR seen before any STX also ends the
// wait (with an empty reply), as the reader's own line end would.
class DORLIN_EXPORT ReplyCollector {
public:
    // Takes one byte; returns true when it was the CR that ends the wait.
    bool Feed(char c);
    void Reset();
    const std::string& Text() const { return text_; }
    bool SeenStx() const { return seenStx_; }

private:
    std::string text_;
    bool seenStx_ = false;
};

// Writes a byte string readably: printable ASCII as is, STX/CR/LF as <STX>, <CR>, <LF>,
// any other control or non-ASCII byte as <xx> in upper-case hex.
DORLIN_EXPORT std::string Visible(std::string_view bytes);

} // namespace rnet
