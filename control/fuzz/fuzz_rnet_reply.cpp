// libFuzzer target: a byte stream from the line into the reply collector, then the checksum
// check the link control applies. Every completed reply must be exactly the bytes between the
// last STX and the CR, a checksum must only ever be stripped when it matches, and a frame we
// build must always come back as the text it was built from.
#include <cstddef>
#include <cstdint>
#include <string>

#include "dorlin/Rnet.h"

namespace {
void Check(bool ok) {
    if (!ok) __builtin_trap();
}

void CheckReply(const std::string& collected, const std::string& expected, bool seenStx) {
    Check(collected == expected);
    Check(collected.find(rnet::STX) == std::string::npos);
    Check(collected.find(rnet::CR) == std::string::npos);
    if (!seenStx) Check(collected.empty());

    std::string stripped = collected;
    const bool ok = rnet::StripReplyChecksum(stripped);
    if (collected.size() > 2 && collected[0] == 'A') {
        const std::string body = collected.substr(0, collected.size() - 2);
        const bool matches = rnet::CheckSumText(body) == collected.substr(collected.size() - 2);
        Check(ok == matches);
        Check(stripped == (ok ? body : collected));
    } else {
        Check(ok && stripped == collected);
    }
    (void)rnet::HexReading(collected);
    (void)rnet::DecReading(collected);
    for (unsigned char c : rnet::Visible(collected))
        Check(c >= 0x20 && c < 0x7F);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The collector as the wait loop drives it: fed byte by byte, reset after each reply.
    rnet::ReplyCollector collector;
    std::string model; // the bytes since the last STX, kept independently
    bool modelStx = false;
    for (size_t i = 0; i < size; ++i) {
        const char c = char(data[i]);
        const bool done = collector.Feed(c);
        Check(done == (c == rnet::CR));
        if (c == rnet::STX) {
            modelStx = true;
            model.clear();
        } else if (done) {
            CheckReply(collector.Text(), model, modelStx);
            Check(collector.SeenStx() == modelStx);
            collector.Reset();
            model.clear();
            modelStx = false;
        } else if (modelStx) {
            model += c;
        }
    }

    // The console's options: a CR before any STX is noise, an inner STX may be data, and a
    // length limit cuts and marks. A wait ends exactly on a CR after an STX.
    if (size > 0) {
        rnet::CollectorOptions o;
        o.crBeforeStxEnds = false;
        o.keepInnerStx = (data[0] & 1) != 0;
        o.maxLength = (data[0] & 2) != 0 ? 8 : 0;
        rnet::ReplyCollector console(o);
        bool stx = false;
        std::string text;
        for (size_t i = 1; i < size; ++i) {
            const char c = char(data[i]);
            const bool done = console.Feed(c);
            Check(done == (c == rnet::CR && stx));
            if (done) {
                Check(console.Complete());
                Check(console.Text() == (o.maxLength ? text.substr(0, o.maxLength) : text));
                Check(console.Overflowed() == (o.maxLength && text.size() > o.maxLength));
                stx = false;
                text.clear();
            } else if (c == rnet::STX && !(stx && o.keepInnerStx)) {
                stx = true;
                text.clear();
            } else if (stx && c != rnet::CR) {
                text += c;
            }
        }
        (void)rnet::RecordCountFromReply(std::string(reinterpret_cast<const char*>(data), size));
    }

    // Any text without STX/CR framed by us comes back whole, its checksum accepted.
    std::string text;
    for (size_t i = 0; i < size && text.size() < 1024; ++i)
        if (data[i] != uint8_t(rnet::STX) && data[i] != uint8_t(rnet::CR)) text += char(data[i]);
    for (bool withSum : {false, true}) {
        const std::string frame = rnet::BuildFrame(text, withSum);
        rnet::ReplyCollector again;
        size_t ends = 0;
        for (char c : frame)
            ends += again.Feed(c) ? 1 : 0;
        Check(ends == 1);
        Check(again.Text() == (withSum ? text + rnet::CheckSumText(text) : text));
        if (withSum && !text.empty() && text[0] == 'A') {
            std::string back = again.Text();
            Check(rnet::StripReplyChecksum(back));
            Check(back == text);
        }
    }
    return 0;
}
