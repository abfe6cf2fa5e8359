// A session driven under a test clock: framing, the line-rate schedule, the faults, the log
// and XMODEM after a transfer request.
#include "dorlin/Rnet.h"
#include "readersim/Session.h"

#include <gtest/gtest.h>

using namespace readersim;
using namespace std::chrono_literals;
using Time = Session::Time;

namespace {

std::string Frame(const std::string& text) {
    return rnet::BuildFrame(text, false);
}
std::string Sum(const std::string& text) {
    return text + rnet::CheckSumText(text);
}

struct Harness {
    Reader reader;
    SessionOptions opt;
    std::vector<std::string> log;
    std::unique_ptr<Session> s;
    Time t0 = Time(1000s); // any fixed instant

    explicit Harness(SessionOptions o = {}, size_t records = 5, bool locked = false) : opt(o) {
        reader.State().records = GenerateRecords(records, 1);
        reader.State().locked = locked;
        s = std::make_unique<Session>(reader, opt,
                                      [this](const std::string& l) { log.push_back(l); });
    }
    // Everything the session sends from now until it falls quiet, with no clock limits.
    std::string Drain(Time from) {
        std::string out;
        Time t = from;
        for (int i = 0; i < 100000; ++i) {
            out += s->TakeDue(t);
            Time next = s->NextDeadline();
            if (next == Time::max()) break;
            t = std::max(t, next);
        }
        return out;
    }
    std::string Ask(const std::string& bytes) {
        s->Receive(bytes, t0);
        return Drain(t0);
    }
};

} // namespace

TEST(SessionFraming, RepliesToEachFrame) {
    Harness h;
    EXPECT_EQ(h.Ask(Frame("F")), Frame("AKRN-A0102 V1.05"));
    EXPECT_EQ(h.Ask(Frame("N")), Frame("A0005"));
    EXPECT_EQ(h.Ask(Frame("Q")), Frame("N"));
}

TEST(SessionFraming, NoiseLineFeedsAndSplitFramesAreHandled) {
    Harness h;
    // junk before the STX, the probe's LF behind the CR, a second STX restarting a frame
    h.s->Receive("xx\r", h.t0);
    h.s->Receive("\x02"
                 "f\r\n\x02"
                 "ZZ\x02"
                 "I",
                 h.t0);
    h.s->Receive("\r", h.t0);
    EXPECT_EQ(h.Drain(h.t0), Frame("A") + Frame("A01"));
}

TEST(SessionFraming, OverlongFrameIsRefused) {
    Harness h;
    EXPECT_EQ(h.Ask("\x02" + std::string(5000, 'G') + "\r"), Frame("N"));
    EXPECT_EQ(h.Ask(Frame("I")), Frame("A01"));
}

TEST(SessionFraming, LogShowsEveryFrameVisibly) {
    Harness h;
    h.Ask(Frame("G0001"));
    h.Ask(Frame("L4826"));
    ASSERT_EQ(h.log.size(), 4u);
    EXPECT_EQ(h.log[0], "RX <STX>G0001<CR>");
    EXPECT_EQ(h.log[1], "TX " + rnet::Visible(Frame(
                                    Sum("A" + RecordText(h.reader.State().records[1], 0xFF)))));
    EXPECT_EQ(h.log[2], "RX <STX>L4826<CR>");
    EXPECT_EQ(h.log[3], "TX <STX>A<CR>");
}

TEST(SessionPacing, BytesCrossTheLineAtTenBitsEach) {
    SessionOptions o;
    o.baud = 9600;
    Harness h(o);
    auto bits = [](long bytes) {
        return std::chrono::nanoseconds(bytes * 10'000'000'000LL / 9600);
    };
    h.s->Receive(Frame("O"), h.t0); // three bytes in, three bytes ("<STX>A<CR>") out
    Time rxEnd = h.t0 + bits(3);
    EXPECT_EQ(h.s->TakeDue(rxEnd - 1ns), "");
    EXPECT_EQ(h.s->TakeDue(rxEnd + bits(1) - 1ns), "");
    EXPECT_EQ(h.s->TakeDue(rxEnd + bits(1)), "\x02");
    EXPECT_EQ(h.s->TakeDue(rxEnd + bits(3) - 1ns), "A");
    EXPECT_EQ(h.s->TakeDue(rxEnd + bits(3)), "\r");
    EXPECT_EQ(h.s->NextDeadline(), Time::max());
}

TEST(SessionPacing, LongStretchesDoNotDriftAndNothingLeavesEarly) {
    SessionOptions o;
    o.baud = 115200;
    Harness h(o, 2000);
    std::string requests;
    for (int i = 0; i < 2000; ++i)
        requests += Frame("G");
    h.s->Receive(requests, h.t0);
    // Replies follow each other back to back; each byte is due at a fixed offset of the
    // first reply byte, however many bytes came before.
    size_t sent = 0;
    Time t = h.t0;
    Time lastByteAt{};
    Time firstByteAt{};
    while (true) {
        std::string out = h.s->TakeDue(t);
        for (size_t i = 0; i < out.size(); ++i) {
            if (sent == 0) firstByteAt = t;
            ++sent;
        }
        if (!out.empty()) lastByteAt = t;
        Time next = h.s->NextDeadline();
        if (next == Time::max()) break;
        ASSERT_GT(next, t);
        t = next;
    }
    size_t replyBytes = 0;
    for (const Record& r : h.reader.State().records)
        replyBytes += Frame("A" + RecordText(r, 0xFF)).size(); // plain "G": no checksum
    EXPECT_EQ(sent, replyBytes);
    const double bit10 = 10.0 / 115200.0;
    double span = std::chrono::duration<double>(lastByteAt - firstByteAt).count();
    // the first byte may wait up to a millisecond for its group; the last is exactly on time
    EXPECT_NEAR(span, double(replyBytes - 1) * bit10, 0.0011);
    Time rxFirstFrameEnd = h.t0 + std::chrono::nanoseconds(3 * 10'000'000'000LL / 115200);
    EXPECT_EQ(lastByteAt,
              rxFirstFrameEnd + std::chrono::nanoseconds(replyBytes * 10'000'000'000LL / 115200));
}

TEST(SessionPacing, EraseWaitsTwentyMillisecondsPerRecord) {
    Harness h({}, 100);
    h.s->Receive(Frame("E"), h.t0);
    EXPECT_EQ(h.s->TakeDue(h.t0 + 1999ms), "");
    EXPECT_EQ(h.s->NextDeadline(), h.t0 + 2000ms);
    EXPECT_EQ(h.s->TakeDue(h.t0 + 2000ms), Frame("A"));
}

TEST(SessionPacing, AReplyWaitsForTheOneBefore) {
    Harness h({}, 10);
    h.s->Receive(Frame("E") + Frame("N"), h.t0);
    EXPECT_EQ(h.s->TakeDue(h.t0 + 199ms), "");
    EXPECT_EQ(h.s->TakeDue(h.t0 + 200ms), Frame("A") + Frame("A0000"));
}

TEST(SessionFaults, SlowDelaysEveryReply) {
    SessionOptions o;
    o.slowMs = 250;
    Harness h(o);
    h.s->Receive(Frame("I"), h.t0);
    EXPECT_EQ(h.s->TakeDue(h.t0 + 249ms), "");
    EXPECT_EQ(h.s->TakeDue(h.t0 + 250ms), Frame("A01"));
}

TEST(SessionFaults, SilentNeverAnswersButLogs) {
    SessionOptions o;
    o.silent = true;
    Harness h(o);
    EXPECT_EQ(h.Ask(Frame("F")), "");
    EXPECT_EQ(h.log, std::vector<std::string>{"RX <STX>F<CR>"});
}

TEST(SessionFaults, PartialRepliesLackTheirCr) {
    SessionOptions o;
    o.partial = true;
    Harness h(o);
    EXPECT_EQ(h.Ask(Frame("F")), "\x02"
                                 "AKRN-A0102 V1.05");
}

TEST(SessionFaults, CorruptSpoilsOnlyChecksums) {
    SessionOptions o;
    o.corrupt = 1.0;
    Harness h(o);
    EXPECT_EQ(h.Ask(Frame("N")), Frame("A0005")); // the decimal count carries none
    EXPECT_EQ(h.Ask(Frame("B1A")),
              Frame("AFF" + rnet::CheckSumText(std::string(1, char(rnet::CheckSum("AFF") + 1)))));
    std::string g = h.Ask(Frame("G0000"));
    std::string reply = g.substr(1, g.size() - 2);
    EXPECT_FALSE(rnet::StripReplyChecksum(reply));
    EXPECT_EQ(h.Ask(Frame("F")), Frame("AKRN-A0102 V1.05")); // no checksum to spoil
}

TEST(SessionFaults, NoiseComesBeforeTheFrameAndIsNeverStxOrCr) {
    SessionOptions o;
    o.noise = 1.0;
    Harness h(o);
    for (int i = 0; i < 50; ++i) {
        std::string out = h.Ask(Frame("I"));
        size_t stx = out.find('\x02');
        ASSERT_GE(stx, 1u);
        ASSERT_LE(stx, 4u);
        EXPECT_EQ(out.substr(stx), Frame("A01"));
        EXPECT_EQ(out.substr(0, stx).find('\r'), std::string::npos);
    }
}

TEST(SessionFaults, DropAfterVanishesBehindTheLastRecordReply) {
    SessionOptions o;
    o.dropAfter = 2;
    Harness h(o);
    EXPECT_FALSE(h.Ask(Frame("G")).empty());
    EXPECT_FALSE(h.s->Vanish());
    EXPECT_EQ(h.Ask(Frame("N")), Frame("A0005")); // not a record reply
    h.s->Receive(Frame("G") + Frame("G"), h.t0);
    EXPECT_FALSE(h.s->Vanish()); // the reply is not out yet
    std::string out = h.Drain(h.t0);
    EXPECT_EQ(out, Frame("A" + RecordText(h.reader.State().records[1], 0xFF)));
    EXPECT_TRUE(h.s->Vanish());
    EXPECT_EQ(h.s->RecordReplies(), 2);
    EXPECT_EQ(h.log.back(), "DROP after 2 record replies");
}

TEST(SessionFuzz, RandomBytesNeverBreakTheSession) {
    Harness h({}, 20, true);
    std::mt19937 rng(7);
    Time t = h.t0;
    for (int i = 0; i < 3000; ++i) {
        std::string chunk;
        size_t n = rng() % 40;
        for (size_t k = 0; k < n; ++k) {
            unsigned r = rng() % 10;
            chunk += r == 0 ? '\x02' : r == 1 ? '\r' : "GLNZXUB48260\x01\xff"[rng() % 14];
        }
        if (i % 100 == 0) chunk += Frame("L4826");
        h.s->Receive(chunk, t);
        t += 1ms;
        h.s->TakeDue(t + 100s);
    }
    // after all that (and the end of any transfer the noise asked for), an exchange works
    h.Drain(t + 200s);
    t += 400s;
    h.s->Receive(Frame("O") + Frame("L4826") + Frame("I"), t);
    std::string out = h.Drain(t);
    EXPECT_EQ(out.substr(out.size() - 5), Frame("A01"));
}

TEST(SessionXmodem, ReaderReceivesAFile) {
    Harness h;
    h.s->Receive(Frame("ZXup.bin"), h.t0);
    EXPECT_EQ(h.s->TakeDue(h.t0), Frame("A"));
    ASSERT_TRUE(h.s->InTransfer());
    // the reader asks for CRC blocks a little after its reply
    EXPECT_EQ(h.s->NextDeadline(), h.t0 + 200ms);
    EXPECT_EQ(h.s->TakeDue(h.t0 + 200ms), "C");
    std::string data(200, 'q');
    Time t = h.t0 + 300ms;
    h.s->Receive(xmodem::Block(1, data.substr(0, 128), true), t);
    EXPECT_EQ(h.s->TakeDue(t), "\x06");
    h.s->Receive(xmodem::Block(2, data.substr(128), true), t);
    EXPECT_EQ(h.s->TakeDue(t), "\x06");
    // the host's next command follows its EOT without a pause
    h.s->Receive("\x04" + Frame("FN"), t);
    EXPECT_EQ(h.s->TakeDue(t), "\x06" + Frame("A1"));
    EXPECT_FALSE(h.s->InTransfer());
    EXPECT_EQ(h.reader.State().files.at("up.bin"), data + std::string(56, '\0'));
    EXPECT_EQ(h.log[h.log.size() - 3], "XMODEM received up.bin 256 bytes in 2 blocks");
}

TEST(SessionXmodem, ReaderSendsAFileInChecksumMode) {
    Harness h;
    h.reader.State().files["log.txt"] = "abc";
    h.s->Receive(Frame("UXlog.txt"), h.t0);
    EXPECT_EQ(h.s->TakeDue(h.t0), Frame("A"));
    h.s->Receive("\x15", h.t0);
    EXPECT_EQ(h.s->TakeDue(h.t0), xmodem::Block(1, "abc", false));
    h.s->Receive("\x06", h.t0);
    EXPECT_EQ(h.s->TakeDue(h.t0), "\x04");
    h.s->Receive("\x15", h.t0);
    EXPECT_EQ(h.s->TakeDue(h.t0), "\x04");
    h.s->Receive("\x06" + Frame("I"), h.t0);
    EXPECT_EQ(h.s->TakeDue(h.t0), Frame("A01"));
    EXPECT_FALSE(h.s->InTransfer());
    EXPECT_EQ(h.log[h.log.size() - 3], "XMODEM sent log.txt in 1 blocks");
}

TEST(SessionXmodem, UnansweredEotIsRepeatedThenTheFileCountsAsSent) {
    Harness h;
    h.reader.State().files["a"] = "abc";
    h.s->Receive(Frame("UXa"), h.t0);
    h.s->TakeDue(h.t0);
    h.s->Receive("C", h.t0);
    EXPECT_EQ(h.s->TakeDue(h.t0).size(), 133u);
    h.s->Receive("\x06", h.t0);
    EXPECT_EQ(h.s->TakeDue(h.t0), "\x04");
    EXPECT_EQ(h.s->TakeDue(h.t0 + 999ms), "");
    EXPECT_EQ(h.s->TakeDue(h.t0 + 1000ms), "\x04");
    EXPECT_EQ(h.s->TakeDue(h.t0 + 2000ms), "\x04");
    EXPECT_EQ(h.s->TakeDue(h.t0 + 3000ms), "\x04");
    EXPECT_TRUE(h.s->InTransfer());
    EXPECT_EQ(h.s->TakeDue(h.t0 + 4000ms), "");
    EXPECT_FALSE(h.s->InTransfer());
    EXPECT_EQ(h.log.back(), "XMODEM sent a in 1 blocks (EOT not acknowledged)");
}

TEST(SessionXmodem, AnRnetFrameEndsATransferThatIsOverOrNeverStarted) {
    Harness h;
    h.reader.State().files["a"] = "abc";
    h.s->Receive(Frame("UXa") + "C", h.t0);
    h.s->TakeDue(h.t0);
    h.s->Receive("\x06", h.t0);
    EXPECT_EQ(h.s->TakeDue(h.t0), "\x04");
    h.s->Receive(Frame("FN"), h.t0);
    EXPECT_EQ(h.s->TakeDue(h.t0), Frame("A1"));
    EXPECT_EQ(h.log[h.log.size() - 3], "XMODEM sent a in 1 blocks (EOT not acknowledged)");

    h.s->Receive(Frame("ZXb") + Frame("FN"), h.t0);
    EXPECT_EQ(h.s->TakeDue(h.t0), Frame("A") + Frame("A1"));
    EXPECT_FALSE(h.s->InTransfer());
    EXPECT_EQ(h.log[h.log.size() - 3], "XMODEM receive b abandoned");
}

TEST(SessionXmodem, SilentHostEndsTheTransfer) {
    Harness h;
    h.Ask(Frame("ZXx"));
    EXPECT_FALSE(h.s->InTransfer()); // ten unanswered requests, then it gives up
    EXPECT_EQ(h.log.back(), "XMODEM receive x failed");
    h.reader.State().files["y"] = "1";
    h.Ask(Frame("UXy"));
    EXPECT_FALSE(h.s->InTransfer());
    EXPECT_EQ(h.log.back(), "XMODEM send y failed: no answer");
}
