#include "readersim/Xmodem.h"

#include "dorlin/XmodemCheck.h"

namespace readersim::xmodem {
namespace {

constexpr size_t kBlock = 128;
constexpr int kMaxPokes = 10;          // the receiver gives up after this many unanswered requests
constexpr size_t kMaxFile = 16u << 20; // the reader's file store is small

} // namespace

uint16_t Crc16(std::string_view data) {
    return ::xmodem::Crc16(data);
}

uint8_t Sum8(std::string_view data) {
    return ::xmodem::Sum8(data);
}

std::string Block(uint8_t number, std::string_view data, bool crc) {
    std::string payload(data.substr(0, kBlock));
    payload.resize(kBlock, '\0');
    std::string b;
    b += SOH;
    b += char(number);
    b += char(255 - number);
    b += payload;
    if (crc) {
        uint16_t c = Crc16(payload);
        b += char(c >> 8);
        b += char(c & 0xFF);
    } else
        b += char(Sum8(payload));
    return b;
}

std::string Receiver::Poke() {
    if (done_ || failed_) return {};
    if (++pokes_ > kMaxPokes) {
        failed_ = true;
        return std::string(2, CAN);
    }
    frame_.clear(); // a half block that stalled is dropped and asked for again
    if (blocks_ == 0) return std::string(1, crc_ ? CRCREQ : NAK);
    return std::string(1, NAK);
}

std::string Receiver::Feed(std::string_view bytes) {
    std::string out;
    const size_t whole = crc_ ? 133 : 132;
    for (char c : bytes) {
        if (done_ || failed_) break;
        if (frame_.empty()) {
            if (c == SOH) {
                frame_ += c;
            } else if (c == EOT) {
                out += ACK;
                done_ = true;
            } else if (c == CAN) {
                if (++cancels_ >= 2) failed_ = true;
            } // anything else between blocks is line noise
            continue;
        }
        frame_ += c;
        if (frame_.size() < whole) continue;
        pokes_ = 0;
        uint8_t num = uint8_t(frame_[1]), cpl = uint8_t(frame_[2]);
        std::string_view payload(frame_.data() + 3, kBlock);
        bool ok = uint8_t(255 - num) == cpl;
        if (ok && crc_)
            ok = Crc16(payload) == uint16_t((uint8_t(frame_[131]) << 8) | uint8_t(frame_[132]));
        else if (ok)
            ok = Sum8(payload) == uint8_t(frame_[131]);
        uint8_t expected = uint8_t(blocks_ + 1);
        if (!ok) {
            out += NAK;
        } else if (num == expected && data_.size() + kBlock > kMaxFile) {
            out += std::string(2, CAN); // no room for it
            failed_ = true;
        } else if (num == expected) {
            data_.append(payload);
            ++blocks_;
            out += ACK;
        } else if (num == uint8_t(blocks_)) {
            out += ACK; // the host missed our ACK and sent the block again
        } else {
            out += std::string(2, CAN); // out of step: no way to recover
            failed_ = true;
        }
        frame_.clear();
    }
    return out;
}

std::string Sender::Current() const {
    size_t off = size_t(acked_) * kBlock;
    if (off >= data_.size()) return std::string(1, EOT);
    return Block(uint8_t(acked_ + 1), std::string_view(data_).substr(off), crc_);
}

std::string Sender::Feed(std::string_view bytes) {
    std::string out;
    for (char c : bytes) {
        if (done_ || failed_) break;
        if (c == CAN) {
            if (++cancels_ >= 2) failed_ = true;
            continue;
        }
        cancels_ = 0;
        if (!started_) {
            if (c != CRCREQ && c != NAK) continue;
            started_ = true;
            crc_ = (c == CRCREQ);
            out = Current();
            eotSent_ = out.size() == 1; // an empty file is only an EOT
            continue;
        }
        if (c == ACK) {
            if (eotSent_) {
                done_ = true;
                break;
            }
            ++acked_;
            out = Current(); // only the newest block matters
            eotSent_ = out.size() == 1;
        } else if (c == NAK || c == CRCREQ) {
            out = Current();
            eotSent_ = out.size() == 1;
        }
    }
    return out;
}

} // namespace readersim::xmodem
