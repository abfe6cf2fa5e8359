#include "XmodemCore.h"

#include <array>

namespace xmodem {
namespace {

// Built once, at first use.
const std::array<uint16_t, 256>& CrcTable() {
    static const std::array<uint16_t, 256> t = [] {
        std::array<uint16_t, 256> a{};
        for (unsigned i = 0; i < 256; ++i) {
            uint16_t c = uint16_t(i << 8);
            for (int b = 0; b < 8; ++b)
                c = (c & 0x8000) ? uint16_t((c << 1) ^ 0x1021) : uint16_t(c << 1);
            a[i] = c;
        }
        return a;
    }();
    return t;
}

constexpr int kMaxCrcRequests = 3; // then ask for checksum blocks
constexpr int kMaxEotTries = 10;   // an end of transmission nobody acknowledges

} // namespace

uint16_t Crc16(const uint8_t* data, size_t n) {
    const auto& t = CrcTable();
    uint16_t crc = 0;
    for (size_t i = 0; i < n; ++i)
        crc = uint16_t((crc << 8) ^ t[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

uint8_t Sum8(const uint8_t* data, size_t n) {
    unsigned s = 0;
    for (size_t i = 0; i < n; ++i)
        s += data[i];
    return uint8_t(s);
}

const std::string& CancelSequence() {
    static const std::string s{char(CAN), char(CAN), char(CAN), char(BS), char(BS), char(BS)};
    return s;
}

// ---- receiver ------------------------------------------------------------------------------

void Receiver::Start(Step& out) {
    out.Msg(MsgRxFile, 0);
    requests_ = 1;
    out.send += char(CRC_REQUEST);
}

void Receiver::Fail(Step& out) {
    done_ = true;
    success_ = false;
    frame_.clear();
    cancelSent_ = true;
    out.send += CancelSequence();
    out.Msg(MsgCancel, blocks_);
}

void Receiver::Cancel(Step& out) {
    if (!done_) Fail(out);
}

void Receiver::Feed(uint8_t b, Step& out) {
    if (done_) return;
    if (!frame_.empty()) {
        frame_ += char(b);
        if (int(frame_.size()) == FrameSize()) CheckFrame(out);
        return;
    }
    switch (b) {
    case SOH:
        cans_ = 0;
        frame_ += char(b);
        break;
    case EOT:
        cans_ = 0;
        // The first EOT is questioned; only a second one ends the file, so a damaged byte
        // that looks like EOT cannot cut a transfer short.
        if (++eots_ == 1) {
            out.send += char(NAK);
        } else {
            out.send += char(ACK);
            done_ = true;
            success_ = true;
            out.Msg(MsgEot, blocks_);
        }
        break;
    case CAN:
    case ESC:
        // One is line noise; two in a row are the sender giving up.
        if (++cans_ >= 2) {
            done_ = true;
            success_ = false;
            out.Msg(MsgCancel, blocks_);
        }
        break;
    default:
        cans_ = 0; // noise between frames
        break;
    }
}

void Receiver::CheckFrame(Step& out) {
    const auto* f = reinterpret_cast<const uint8_t*>(frame_.data());
    const uint8_t num = f[1];
    const uint8_t cmp = f[2];
    const uint8_t* data = f + 3;
    bool ok = num == uint8_t(255 - cmp);
    if (ok) {
        if (crc_) {
            const uint16_t crc = Crc16(data, kBlock);
            ok = f[3 + kBlock] == uint8_t(crc >> 8) && f[4 + kBlock] == uint8_t(crc & 0xFF);
        } else {
            ok = f[3 + kBlock] == Sum8(data, kBlock);
        }
    }
    if (!ok) {
        frame_.clear();
        out.send += char(NAK);
        out.Msg(MsgCrcErr, blocks_ + 1);
        return;
    }
    gotBlock_ = true;
    const uint8_t expected = uint8_t(blocks_ + 1);
    if (num == expected) {
        out.data.append(frame_, 3, kBlock);
        frame_.clear();
        ++blocks_;
        eots_ = 0;
        out.send += char(ACK);
        out.Msg(MsgRxPack, blocks_);
    } else if (blocks_ > 0 && num == uint8_t(blocks_)) {
        // Our ACK got lost and the sender repeats the block: acknowledge it, keep it once.
        frame_.clear();
        out.send += char(ACK);
    } else {
        // Out of sequence: the two sides lost each other.
        Fail(out);
    }
}

void Receiver::Timeout(Step& out) {
    if (done_) return;
    frame_.clear();
    out.Msg(MsgTimeout, blocks_);
    if (!gotBlock_) {
        if (crc_ && requests_ >= kMaxCrcRequests) crc_ = false;
        ++requests_;
        out.send += crc_ ? char(CRC_REQUEST) : char(NAK);
    } else {
        out.send += char(NAK);
    }
}

// ---- sender --------------------------------------------------------------------------------

Sender::Sender(int64_t length, Reader read)
    : read_(std::move(read)), total_(int((length + kBlock - 1) / kBlock)) {}

void Sender::Start(Step& out) {
    out.Msg(MsgTxFile, total_);
}

void Sender::Fail(Step& out) {
    done_ = true;
    success_ = false;
    cancelSent_ = true;
    out.send += CancelSequence();
    out.Msg(MsgCancel, acked_);
}

void Sender::Cancel(Step& out) {
    if (!done_) Fail(out);
}

void Sender::SendCurrent(Step& out, bool fresh) {
    out.clearRx = true; // requests queued behind this one are answered by this frame
    if (inEot_ || acked_ >= total_) {
        inEot_ = true;
        out.send += char(EOT);
        return;
    }
    if (fresh) {
        uint8_t data[kBlock] = {};
        int got = 0;
        while (got < kBlock) {
            const int r = read_ ? read_(data + got, kBlock - got) : 0;
            if (r <= 0) break; // the rest of the block stays 0x00
            got += r;
        }
        const uint8_t num = uint8_t(acked_ + 1);
        frame_.assign(1, char(SOH));
        frame_ += char(num);
        frame_ += char(255 - num);
        frame_.append(reinterpret_cast<const char*>(data), kBlock);
        if (crc_) {
            const uint16_t c = Crc16(data, kBlock);
            frame_ += char(c >> 8);
            frame_ += char(c & 0xFF);
        } else {
            frame_ += char(Sum8(data, kBlock));
        }
        out.Msg(MsgTxPack, acked_ + 1);
    }
    out.send += frame_;
}

void Sender::Feed(uint8_t b, Step& out) {
    if (done_) return;
    if (b == CAN || b == ESC) {
        if (++cans_ >= 2) {
            done_ = true;
            success_ = false;
            out.Msg(MsgCancel, acked_);
        }
        return;
    }
    cans_ = 0;
    switch (b) {
    case CRC_REQUEST:
    case NAK:
        if (!started_) {
            // The receiver's first request settles the check: "C" for CRC-16, NAK for the sum.
            crc_ = b == CRC_REQUEST;
            started_ = true;
            SendCurrent(out, true);
        } else if (b == NAK) {
            if (!inEot_) out.Msg(MsgCrcErr, acked_ + 1);
            SendCurrent(out, false);
        } else if (acked_ == 0 && !inEot_) {
            SendCurrent(out, false); // still waiting for the first block
        }
        break;
    case ACK:
        if (!started_) break;
        if (inEot_) {
            done_ = true;
            success_ = true;
            out.Msg(MsgEot, acked_);
            break;
        }
        ++acked_;
        SendCurrent(out, true);
        break;
    default:
        break;
    }
}

void Sender::Timeout(Step& out) {
    if (done_ || !inEot_) return;
    if (++eotTries_ > kMaxEotTries) {
        Fail(out);
        return;
    }
    out.clearRx = true;
    out.send += char(EOT);
}

} // namespace xmodem
