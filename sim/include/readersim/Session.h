// One connection to the simulated reader: splits the incoming byte stream into frames, runs
// them through the Reader, applies the fault options and schedules every sent byte on a
// simulated serial line. Time is passed in, so the same code runs under a test's clock.
#pragma once
#include "readersim/Reader.h"
#include "readersim/Xmodem.h"

#include "dorlin/Rnet.h"

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <string_view>

namespace readersim {

struct SessionOptions {
    int baud = 0;                 // pace both directions at 10 bits a byte; 0 = no pacing
    uint32_t slowMs = 0;          // extra time before every reply
    bool silent = false;          // never answer
    double noise = 0;             // chance of 1..4 random bytes in front of a reply
    double corrupt = 0;           // chance of a wrong checksum on a reply that carries one
    bool partial = false;         // replies go out without their CR
    long dropAfter = -1;          // vanish after this many record replies (-1: never)
    uint32_t seed = 1;            // for the faults
    bool xmodemChecksum = false;  // ask for checksum blocks (NAK) instead of CRC ("C")
    uint32_t xmodemPokeMs = 3000; // receiver: ask again after this much silence
    uint32_t xmodemFirstPokeMs = 200;
};

class Session {
public:
    using Clock = std::chrono::steady_clock;
    using Time = Clock::time_point;
    using LogFn = std::function<void(const std::string&)>;

    Session(Reader& reader, const SessionOptions& options, LogFn log = {});

    // Bytes from the client, read at `now`.
    void Receive(std::string_view bytes, Time now);
    // Works off everything that is due at `now`; returns the bytes to write now.
    std::string TakeDue(Time now);
    // When TakeDue should run next (Time::max() when nothing is scheduled).
    Time NextDeadline() const;
    // The drop-after count is reached and the last reply is out: the device vanishes now.
    bool Vanish() const { return vanishing_ && tx_.empty(); }
    long RecordReplies() const { return recordReplies_; }
    bool InTransfer() const { return mode_ != Mode::Rnet; }
    // Time on the line for one byte (0 without pacing).
    Clock::duration ByteTime() const;

private:
    enum class Mode { Rnet, Receive, Send };
    struct Timed {
        char c;
        Time at;
    };
    static rnet::CollectorOptions RequestOptions();
    void HandleFrame(const std::string& frame, bool overflow, Time base);
    void HandleTransferBytes(std::string_view bytes, Time base);
    void EndTransfer();
    void Send(const std::string& bytes, Time notBefore);
    Time ByteDue(Time lineStart, long k) const;
    void Log(const std::string& line) const {
        if (log_) log_(line);
    }

    Reader& reader_;
    SessionOptions opt_;
    LogFn log_;
    std::mt19937 rng_;

    std::deque<Timed> rx_; // received bytes with the time their transfer on the line ends
    Time rxLineStart_{};
    long rxK_ = 0;
    Time rxFree_{};

    std::deque<Timed> tx_; // bytes to send with the time they are due
    Time txLineStart_{};
    long txK_ = 0;
    Time txFree_{};

    rnet::ReplyCollector request_; // the request frame being read

    Mode mode_ = Mode::Rnet;
    std::string transferFile_;
    std::unique_ptr<xmodem::Receiver> receiver_;
    std::unique_ptr<xmodem::Sender> sender_;
    Time nextPoke_ = Time::max();
    Time transferIdleLimit_ = Time::max();
    int eotRepeats_ = 0;

    long recordReplies_ = 0;
    bool vanishing_ = false;
};

} // namespace readersim
