#include "readersim/Session.h"

#include "dorlin/Rnet.h"

#include <algorithm>

namespace readersim {
namespace {

constexpr size_t kMaxFrame = 1024;

} // namespace

Session::Session(Reader& reader, const SessionOptions& options, LogFn log)
    : reader_(reader), opt_(options), log_(std::move(log)), rng_(options.seed),
      request_(RequestOptions()) {}

rnet::CollectorOptions Session::RequestOptions() {
    rnet::CollectorOptions o;
    o.crBeforeStxEnds = false;
    o.maxLength = kMaxFrame;
    return o;
}

Session::Clock::duration Session::ByteTime() const {
    if (opt_.baud <= 0) return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(10'000'000'000LL / opt_.baud));
}

// The k-th byte (1-based) of a stretch of back-to-back bytes that began at lineStart has
// crossed the line at lineStart + k * 10 bits. Computed from the start each time, so the
// schedule never drifts however long the stretch.
Session::Time Session::ByteDue(Time lineStart, long k) const {
    return lineStart + std::chrono::nanoseconds(k * 10'000'000'000LL / opt_.baud);
}

void Session::Receive(std::string_view bytes, Time now) {
    if (vanishing_) return;
    for (char c : bytes) {
        Time at = now;
        if (opt_.baud > 0) {
            if (rxK_ == 0 || now > rxFree_) {
                rxLineStart_ = std::max(now, rxFree_);
                rxK_ = 0;
            }
            at = ByteDue(rxLineStart_, ++rxK_);
            rxFree_ = at;
        }
        rx_.push_back({c, at});
    }
}

void Session::Send(const std::string& bytes, Time notBefore) {
    for (char c : bytes) {
        Time due = notBefore;
        if (opt_.baud > 0) {
            if (txK_ == 0 || notBefore > txFree_) {
                txLineStart_ = std::max(notBefore, txFree_);
                txK_ = 0;
            }
            due = ByteDue(txLineStart_, ++txK_);
        }
        txFree_ = std::max(txFree_, due);
        tx_.push_back({c, due});
    }
}

std::string Session::TakeDue(Time now) {
    // Received bytes whose time on the line has passed are taken in order; a frame is
    // answered no earlier than the end of the previous answer (the reader does one thing at
    // a time) and the schedule is built from those instants, not from when we woke up.
    while (!rx_.empty() && rx_.front().at <= now && !vanishing_) {
        Timed b = rx_.front();
        rx_.pop_front();
        Time base = std::max(b.at, txFree_);
        if (mode_ != Mode::Rnet && b.c == rnet::STX) {
            // A host that has moved on to Rnet again: a transfer that never got going, or one
            // whose EOT answer got lost, ends here and the frame is taken as a command.
            if (mode_ == Mode::Send && sender_->AwaitingEotAck()) {
                Log("XMODEM sent " + transferFile_ + " in " +
                    std::to_string(sender_->BlocksAcked()) + " blocks (EOT not acknowledged)");
                EndTransfer();
            } else if (mode_ == Mode::Receive && !receiver_->Started()) {
                Log("XMODEM receive " + transferFile_ + " abandoned");
                EndTransfer();
            }
        }
        if (mode_ != Mode::Rnet) {
            // one byte at a time: the bytes behind the end of a transfer are Rnet again
            HandleTransferBytes(std::string_view(&b.c, 1), base);
            continue;
        }
        // Bytes outside a frame (the LF behind a probe, noise, a stray CR) are dropped.
        if (request_.Feed(b.c) && request_.Complete()) {
            HandleFrame(request_.Text(), request_.Overflowed(), base);
            request_.Reset();
        }
    }
    if (mode_ == Mode::Receive && now >= nextPoke_) {
        std::string poke = receiver_->Poke();
        Send(poke, nextPoke_);
        nextPoke_ = now + std::chrono::milliseconds(opt_.xmodemPokeMs);
        if (receiver_->Failed()) {
            Log("XMODEM receive " + transferFile_ + " failed");
            EndTransfer();
        }
    }
    if (mode_ == Mode::Send && now >= transferIdleLimit_) {
        if (sender_->AwaitingEotAck() && eotRepeats_ < 3) {
            // The receiver may have flushed its line on the way out and lost our EOT or its
            // own ACK: say it again a few times, then count the file as delivered.
            ++eotRepeats_;
            Send(std::string(1, xmodem::EOT), transferIdleLimit_);
            transferIdleLimit_ = now + std::chrono::milliseconds(1000);
        } else if (sender_->AwaitingEotAck()) {
            Log("XMODEM sent " + transferFile_ + " in " + std::to_string(sender_->BlocksAcked()) +
                " blocks (EOT not acknowledged)");
            EndTransfer();
        } else {
            Log("XMODEM send " + transferFile_ + " failed: no answer");
            EndTransfer();
        }
    }
    std::string out;
    while (!tx_.empty() && tx_.front().at <= now) {
        out += tx_.front().c;
        tx_.pop_front();
    }
    return out;
}

Session::Time Session::NextDeadline() const {
    Time next = Time::max();
    if (!rx_.empty()) next = std::min(next, rx_.front().at);
    if (!tx_.empty()) {
        // Bytes due within a millisecond of the first one go out together, at the time of
        // the last of them: never early, at most a millisecond late, and far fewer wake-ups.
        Time limit = tx_.front().at + std::chrono::milliseconds(1);
        Time group = tx_.front().at;
        for (size_t i = 1; i < tx_.size() && i < 512 && tx_[i].at <= limit; ++i)
            group = tx_[i].at;
        next = std::min(next, group);
    }
    if (mode_ == Mode::Receive) next = std::min(next, nextPoke_);
    if (mode_ == Mode::Send) next = std::min(next, transferIdleLimit_);
    return next;
}

void Session::HandleFrame(const std::string& frame, bool overflow, Time base) {
    std::string raw = std::string(1, rnet::STX) + frame + rnet::CR;
    if (overflow) {
        Log("RX " + rnet::Visible(raw.substr(0, 64)) + "... (over " + std::to_string(kMaxFrame) +
            " bytes)");
    } else {
        Log("RX " + rnet::Visible(raw));
    }
    if (opt_.silent) return;
    Reply r;
    if (overflow)
        r.text = "N";
    else
        r = reader_.Handle(frame);
    if (r.silent) return;
    std::string text = r.text;
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    if (r.hasChecksum && opt_.corrupt > 0 && chance(rng_) < opt_.corrupt && text.size() >= 2) {
        std::string body = text.substr(0, text.size() - 2);
        char wrong[3];
        std::snprintf(wrong, sizeof wrong, "%02X", (rnet::CheckSum(body) + 1) & 0xFF);
        text = body + wrong;
    }
    std::string bytes;
    if (opt_.noise > 0 && chance(rng_) < opt_.noise) {
        int n = 1 + int(rng_() % 4);
        for (int i = 0; i < n; ++i) {
            char c;
            do
                c = char(rng_() & 0xFF);
            while (c == rnet::STX || c == rnet::CR);
            bytes += c;
        }
    }
    bytes += rnet::STX;
    bytes += text;
    if (!opt_.partial) bytes += rnet::CR;
    Time notBefore = base + std::chrono::milliseconds(r.workMs + opt_.slowMs);
    Send(bytes, notBefore);
    Log("TX " + rnet::Visible(bytes));
    if (r.isRecord && ++recordReplies_ == opt_.dropAfter) {
        vanishing_ = true;
        Log("DROP after " + std::to_string(recordReplies_) + " record replies");
    }
    if (r.transfer == Transfer::ReaderReceives) {
        mode_ = Mode::Receive;
        transferFile_ = r.fileName;
        receiver_ = std::make_unique<xmodem::Receiver>(!opt_.xmodemChecksum);
        nextPoke_ = txFree_ + std::chrono::milliseconds(opt_.xmodemFirstPokeMs);
        Log("XMODEM receive " + transferFile_);
    } else if (r.transfer == Transfer::ReaderSends) {
        mode_ = Mode::Send;
        transferFile_ = r.fileName;
        sender_ = std::make_unique<xmodem::Sender>(reader_.State().files[r.fileName]);
        eotRepeats_ = 0;
        transferIdleLimit_ = txFree_ + std::chrono::milliseconds(opt_.xmodemPokeMs * 10);
        Log("XMODEM send " + transferFile_);
    }
}

void Session::HandleTransferBytes(std::string_view bytes, Time base) {
    if (mode_ == Mode::Receive) {
        std::string answer = receiver_->Feed(bytes);
        Send(answer, base);
        nextPoke_ =
            base + std::chrono::milliseconds(receiver_->Started() ? 1000 : opt_.xmodemPokeMs);
        if (receiver_->Done()) {
            bool stored = reader_.StoreFile(transferFile_, receiver_->Data());
            Log("XMODEM received " + transferFile_ + " " +
                std::to_string(receiver_->Data().size()) + " bytes in " +
                std::to_string(receiver_->Blocks()) + " blocks" + (stored ? "" : " (not stored)"));
            EndTransfer();
        } else if (receiver_->Failed()) {
            Log("XMODEM receive " + transferFile_ + " failed");
            EndTransfer();
        }
    } else {
        std::string answer = sender_->Feed(bytes);
        Send(answer, base);
        transferIdleLimit_ = base + std::chrono::milliseconds(
                                        sender_->AwaitingEotAck() ? 1000 : opt_.xmodemPokeMs * 10);
        if (sender_->Done()) {
            Log("XMODEM sent " + transferFile_ + " in " + std::to_string(sender_->BlocksAcked()) +
                " blocks");
            EndTransfer();
        } else if (sender_->Failed()) {
            Log("XMODEM send " + transferFile_ + " cancelled");
            EndTransfer();
        }
    }
}

void Session::EndTransfer() {
    mode_ = Mode::Rnet;
    receiver_.reset();
    sender_.reset();
    nextPoke_ = Time::max();
    transferIdleLimit_ = Time::max();
    request_.Reset();
}

} // namespace readersim
