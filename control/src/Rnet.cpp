#include "dorlin/Rnet.h"

#include <cstdio>

namespace rnet {

uint8_t CheckSum(std::string_view text) {
    unsigned sum = 0;
    for (unsigned char c : text)
        sum += c;
    return uint8_t(sum & 0xFF);
}

std::string CheckSumText(std::string_view text) {
    char buf[3];
    std::snprintf(buf, sizeof buf, "%02X", CheckSum(text));
    return std::string(buf, 2);
}

std::string BuildFrame(std::string_view text, bool withChecksum) {
    std::string f;
    f.reserve(text.size() + 4);
    f += STX;
    f += text;
    if (withChecksum) f += CheckSumText(text);
    f += CR;
    return f;
}

bool StripReplyChecksum(std::string& reply) {
    if (reply.size() <= 2 || reply[0] != 'A') return true;
    std::string_view body(reply.data(), reply.size() - 2);
    if (CheckSumText(body) != std::string_view(reply).substr(reply.size() - 2)) return false;
    reply.resize(reply.size() - 2);
    return true;
}

int32_t HexReading(std::string_view digits) {
    uint32_t v = 0;
    for (unsigned char c : digits) {
        int d = (c >= '0' && c <= '9') ? c - '0' : int(c) - 55;
        v = v * 16u + uint32_t(d);
    }
    return int32_t(v);
}

int16_t DecReading(std::string_view digits) {
    uint16_t v = 0;
    for (unsigned char c : digits)
        v = uint16_t(v * 10u + uint16_t(int(c) - '0'));
    return int16_t(v);
}

bool ReplyCollector::Feed(char c) {
    if (c == STX) {
        seenStx_ = true;
        text_.clear();
        return false;
    }
    if (c == CR) return true; // before an STX: an empty reply ends the wait as well
    if (seenStx_) text_ += c;
    return false;
}

void ReplyCollector::Reset() {
    text_.clear();
    seenStx_ = false;
}

std::string Visible(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if (c == 0x02)
            out += "<STX>";
        else if (c == 0x0D)
            out += "<CR>";
        else if (c == 0x0A)
            out += "<LF>";
        else if (c < 0x20 || c >= 0x7F) {
            char b[8];
            std::snprintf(b, sizeof b, "<%02X>", c);
            out += b;
        } else
            out += char(c);
    }
    return out;
}

} // namespace rnet
