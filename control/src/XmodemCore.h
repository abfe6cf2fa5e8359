// The XMODEM protocol engines of the file transfer, free of any I/O: the receiver and the
// sender are state machines fed one byte (or one time-out) at a time. Each step says what to
// put on the wire, which data to append to the file and which transfer messages to raise;
// CJXmodem runs them against the channel, the fuzz target against random bytes.
#pragma once
#include "dorlin/XmodemCheck.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace xmodem {

constexpr uint8_t SOH = 0x01;
constexpr uint8_t EOT = 0x04;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t BS = 0x08;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t CAN = 0x18;
constexpr uint8_t ESC = 0x1B;
constexpr uint8_t CRC_REQUEST = 'C';
constexpr int kBlock = 128;

// The block checks, Crc16 and Sum8, are in dorlin/XmodemCheck.h.
// CAN CAN CAN BS BS BS
const std::string& CancelSequence();

// Transfer messages (the control's XMODEM_MSG values).
enum Msg {
    MsgTimeout = 1,
    MsgCrcErr = 2,
    MsgRxFile = 3,
    MsgTxFile = 4,
    MsgRxPack = 5,
    MsgTxPack = 6,
    MsgCancel = 7,
    MsgEot = 8,
};

struct Step {
    std::string send;     // bytes for the wire, in order
    bool clearRx = false; // discard what is still queued before sending (a new block goes out)
    std::string data;     // bytes to append to the file (whole blocks)
    std::vector<std::pair<int, long>> msgs;
    void Msg(int code, long value) { msgs.emplace_back(code, value); }
};

// The receiving side. Asks for CRC-16 blocks ("C"); after three unanswered requests it falls
// back to the 8-bit checksum (NAK), so a sender without CRC support still gets through.
class Receiver {
public:
    // The first request.
    void Start(Step& out);
    void Feed(uint8_t b, Step& out);
    // Nothing arrived for the transfer time-out: ask again.
    void Timeout(Step& out);
    // The user gave up.
    void Cancel(Step& out);

    bool Done() const { return done_; }
    bool Success() const { return success_; }
    int Blocks() const { return blocks_; }
    bool CrcMode() const { return crc_; }
    // Bytes of the frame being collected (never more than one frame).
    int FrameFill() const { return int(frame_.size()); }
    bool CancelSent() const { return cancelSent_; }

private:
    int FrameSize() const { return crc_ ? 3 + kBlock + 2 : 3 + kBlock + 1; }
    void Fail(Step& out);
    void CheckFrame(Step& out);

    std::string frame_;
    bool crc_ = true;
    bool gotBlock_ = false; // a block has arrived (the mode is settled)
    int requests_ = 0;      // unanswered "C" requests
    int blocks_ = 0;        // blocks accepted
    int eots_ = 0;
    int cans_ = 0; // consecutive CAN/ESC
    bool done_ = false;
    bool success_ = false;
    bool cancelSent_ = false;
};

// The sending side. `read` fills up to 128 bytes of the next block and returns how many it
// gave; `length` is the file's size.
class Sender {
public:
    using Reader = std::function<int(uint8_t* dest, int n)>;
    Sender(int64_t length, Reader read);

    // Messages at the start (the file and its block count).
    void Start(Step& out);
    void Feed(uint8_t b, Step& out);
    // The receiver stayed silent for the transfer time-out. Only the end of transmission is
    // repeated; a data block waits for the receiver (or the user) as it is.
    void Timeout(Step& out);
    void Cancel(Step& out);

    bool Done() const { return done_; }
    bool Success() const { return success_; }
    int Acked() const { return acked_; }
    int TotalBlocks() const { return total_; }
    bool CrcMode() const { return crc_; }
    bool CancelSent() const { return cancelSent_; }

private:
    void SendCurrent(Step& out, bool fresh);
    void Fail(Step& out);

    Reader read_;
    int total_;
    std::string frame_;
    int acked_ = 0;
    bool started_ = false; // the first block (or the EOT of an empty file) went out
    bool inEot_ = false;
    int eotTries_ = 0;
    bool crc_ = true;
    int cans_ = 0;
    bool done_ = false;
    bool success_ = false;
    bool cancelSent_ = false;
};

} // namespace xmodem
