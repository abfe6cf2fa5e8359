// The reader's side of an XMODEM transfer (128-byte blocks, CRC-16 or 8-bit checksum).
// Both ends are byte-driven state machines: feed them what arrives, send what they return.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace readersim::xmodem {

constexpr char SOH = 0x01, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18, CRCREQ = 'C';

// The block checks: CRC-16 of XMODEM-CRC and the 8-bit sum, computed by the link control's
// own (dorlin/XmodemCheck.h).
uint16_t Crc16(std::string_view data);
uint8_t Sum8(std::string_view data);
// One block as sent: SOH, number, complement, 128 data bytes (padded with 0x00), check.
std::string Block(uint8_t number, std::string_view data, bool crc);

// The reader receiving a file ("ZX").
class Receiver {
public:
    explicit Receiver(bool crc) : crc_(crc) {}
    // What the reader sends to ask for the first block, and again after a silence.
    std::string Poke();
    // Takes bytes from the host; returns the answers (ACK, NAK) to send.
    std::string Feed(std::string_view bytes);
    bool Done() const { return done_; }
    bool Failed() const { return failed_; }
    const std::string& Data() const { return data_; }
    int Blocks() const { return blocks_; }
    bool Started() const { return blocks_ > 0 || !frame_.empty(); }

private:
    bool crc_;
    std::string frame_;
    std::string data_;
    int blocks_ = 0;
    int pokes_ = 0;
    int cancels_ = 0;
    bool done_ = false, failed_ = false;
};

// The reader sending a file ("UX"). The host starts it with "C" (CRC) or NAK (checksum).
class Sender {
public:
    explicit Sender(std::string data) : data_(std::move(data)) {}
    std::string Feed(std::string_view bytes);
    bool Done() const { return done_; }
    bool Failed() const { return failed_; }
    int BlocksAcked() const { return acked_; }
    // Every block is acknowledged and only the answer to the EOT is missing.
    bool AwaitingEotAck() const { return eotSent_ && !done_ && !failed_; }

private:
    std::string Current() const; // the block (or EOT) now due
    std::string data_;
    bool started_ = false, crc_ = true;
    int acked_ = 0;
    int cancels_ = 0;
    bool eotSent_ = false;
    bool done_ = false, failed_ = false;
};

} // namespace readersim::xmodem
