// Rnet framing: the request frame (STX, text, optional two-digit checksum, CR), the reply
// collector that the wait loop feeds byte by byte, and the protocol's number readings.
// Shared by the link control and the simulated reader.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
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

// True when the last two characters of text are the checksum of the characters before them
// (at least one). anyCase also takes lower-case hexadecimal digits, as the console's own
// exchange reads them; the link control compares with the upper-case text.
DORLIN_EXPORT bool TrailingChecksumOk(std::string_view text, bool anyCase = false);

// Checks and removes the reply checksum the way the link control does: only replies that
// start with "A" and are longer than two characters carry one. Returns false (and leaves
// the text alone) when the two last characters do not match the sum of the others.
DORLIN_EXPORT bool StripReplyChecksum(std::string& reply);

// The record count in the reply to "N": "A" + four digits (five characters), or "A" + four
// digits + their checksum (seven characters). Four decimal digits are read as decimal, with
// or without the checksum ("A003004" is 30, not 0x30); digits holding a letter A-F as
// hexadecimal ("A00FF" is 255). Anything else is no count. The count only ever feeds
// progress and warnings: a download ends where the reader's records end.
DORLIN_EXPORT std::optional<long> RecordCountFromReply(std::string_view reply);
// The other reading of a count that could be either: four decimal digits with their checksum
// ("A003206") read as hexadecimal (0x32 = 50), as a reader that writes its count in
// hexadecimal means it. Nothing for any other reply.
DORLIN_EXPORT std::optional<long> HexadecimalCountReading(std::string_view reply);

// Hexadecimal reading of the protocol: every character counts as a digit, "0"-"9" as 0-9
// and any other as (c - 55), so upper-case A-F read correctly and nothing is rejected.
// Computed in 32 bits with wrap-around.
DORLIN_EXPORT int32_t HexReading(std::string_view digits);
// Decimal reading (value * 10 + c - '0') into a 16-bit result.
DORLIN_EXPORT int16_t DecReading(std::string_view digits);

// What differs between the loops that read frames from a line.
struct CollectorOptions {
    // A CR before any STX ends the wait with an empty reply (the link control's wait, which
    // ends on the reader's own line end); otherwise it is dropped like any noise (the
    // console's exchange and the reader's request reading).
    bool crBeforeStxEnds = true;
    // An STX inside a reply is kept as data (the console's lSkipSTXCount > 0); otherwise it
    // restarts the reply.
    bool keepInnerStx = false;
    // The longest reply text kept; 0 = no limit. Bytes beyond it are dropped and the reply
    // is marked as overflowed.
    size_t maxLength = 0;
};

// Collects one reply frame from a byte stream: bytes before the first STX are dropped, an
// STX restarts the reply (unless kept as data), a CR after an STX ends it. Every loop that
// reads frames (the link control's wait, the console's exchange and probes, the simulated
// reader's request reading) feeds one of these.
class DORLIN_EXPORT ReplyCollector {
public:
    ReplyCollector() = default;
    explicit ReplyCollector(const CollectorOptions& options) : opt_(options) {}

    // Takes one byte; returns true when it ended the wait: the CR of a complete reply, or
    // (with crBeforeStxEnds) a CR before any STX.
    bool Feed(char c);
    void Reset();
    const std::string& Text() const { return text_; }
    bool SeenStx() const { return seenStx_; }
    // An STX and its CR have been seen: Text() is a whole reply.
    bool Complete() const { return complete_; }
    bool Overflowed() const { return overflow_; }
    const CollectorOptions& Options() const { return opt_; }

private:
    CollectorOptions opt_;
    std::string text_;
    bool seenStx_ = false;
    bool complete_ = false;
    bool overflow_ = false;
};

// Writes a byte string readably: printable ASCII as is, STX/CR/LF as <STX>, <CR>, <LF>,
// any other control or non-ASCII byte as <xx> in upper-case hex.
DORLIN_EXPORT std::string Visible(std::string_view bytes);

// The bytes with every Login ID hidden, for showing a request on a monitor: wherever a reader
// would read a login ("L") or change-ID ("P") frame (the text after an STX, up to the next CR
// or STX), the characters after the command letter become "*", a checksum included.
DORLIN_EXPORT std::string MaskLoginIds(std::string_view bytes);

} // namespace rnet
