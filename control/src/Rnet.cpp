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

namespace {
int HexValue(char c, bool anyCase) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (anyCase && c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}
} // namespace

bool TrailingChecksumOk(std::string_view text, bool anyCase) {
    if (text.size() < 3) return false;
    const int hi = HexValue(text[text.size() - 2], anyCase);
    const int lo = HexValue(text[text.size() - 1], anyCase);
    if (hi < 0 || lo < 0) return false;
    return uint8_t(hi * 16 + lo) == CheckSum(text.substr(0, text.size() - 2));
}

bool StripReplyChecksum(std::string& reply) {
    if (reply.size() <= 2 || reply[0] != 'A') return true;
    if (!TrailingChecksumOk(reply)) return false;
    reply.resize(reply.size() - 2);
    return true;
}

std::optional<long> RecordCountFromReply(std::string_view reply) {
    if (reply.empty() || reply[0] != 'A') return std::nullopt;
    std::string_view digits;
    if (reply.size() == 5)
        digits = reply.substr(1);
    else if (reply.size() == 7 && TrailingChecksumOk(reply))
        digits = reply.substr(1, 4);
    else
        return std::nullopt;
    // Four decimal digits are decimal, with or without a checksum behind them ("A003004" is
    // 30); only digits holding a letter A-F are read as hexadecimal.
    bool decimal = true;
    for (char c : digits) {
        if (HexValue(c, false) < 0) return std::nullopt;
        decimal = decimal && c >= '0' && c <= '9';
    }
    long v = 0;
    for (char c : digits)
        v = v * (decimal ? 10 : 16) + HexValue(c, false);
    return v;
}

std::optional<long> HexadecimalCountReading(std::string_view reply) {
    if (reply.size() != 7 || reply[0] != 'A' || !TrailingChecksumOk(reply)) return std::nullopt;
    long v = 0;
    for (char c : reply.substr(1, 4)) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 16 + (c - '0');
    }
    return v;
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
    if (complete_) {
        // a new frame after a finished one
        text_.clear();
        seenStx_ = complete_ = overflow_ = false;
    }
    if (c == STX) {
        if (seenStx_ && opt_.keepInnerStx) {
            if (opt_.maxLength == 0 || text_.size() < opt_.maxLength)
                text_ += c;
            else
                overflow_ = true;
            return false;
        }
        seenStx_ = true;
        overflow_ = false;
        text_.clear();
        return false;
    }
    if (c == CR) {
        if (seenStx_) {
            complete_ = true;
            return true;
        }
        return opt_.crBeforeStxEnds; // before an STX: the reader's own line end, or noise
    }
    if (!seenStx_) return false;
    if (opt_.maxLength == 0 || text_.size() < opt_.maxLength)
        text_ += c;
    else
        overflow_ = true;
    return false;
}

void ReplyCollector::Reset() {
    text_.clear();
    seenStx_ = complete_ = overflow_ = false;
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

std::string MaskLoginIds(std::string_view bytes) {
    std::string out(bytes);
    size_t i = 0;
    while ((i = out.find(STX, i)) != std::string::npos) {
        ++i;
        if (i >= out.size() || (out[i] != 'L' && out[i] != 'P')) continue;
        for (size_t k = i + 1; k < out.size() && out[k] != CR && out[k] != STX; ++k)
            out[k] = '*';
    }
    return out;
}

} // namespace rnet
