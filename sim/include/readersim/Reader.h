// The simulated reader's state machine: takes the text of one request frame (what stood
// between STX and CR) and answers with the reply a reader gives. No I/O happens here; the
// transports and the session feed it and put its replies on the wire.
#pragma once
#include <QDate>
#include <QDateTime>
#include <QTime>
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace readersim {

// One stored card read.
struct Record {
    QDate date;
    QTime time;
    char type = '1';  // card type digit '1'..'9', 'A'
    char event = '0'; // event number '0'..'9'
    std::string card; // card ID as the reader sends it (upper-case hexadecimal)

    bool operator==(const Record&) const = default;
};

// Line settings the simulated device server was given over its configuration port.
struct LineSettings {
    int baud = 19200;
    int flow = 0;     // 0 none, 2 RTS/CTS
    int parity = 0;   // 0 none, 1 odd, 2 even
    int dataBits = 8; // 7 or 8
    bool operator==(const LineSettings&) const = default;
};

// Register numbers of the reader's register map.
namespace reg {
constexpr int PowerOffLow = 0x10, PowerOffHigh = 0x11, PowerMode = 0x12, LcdOff = 0x18, Beep = 0x19,
              DateMode = 0x1A, LargeFonts = 0x1C, ScanTime = 0x1D, EventCount = 0x1E,
              ScanMode = 0x1F, UserName = 0x20, UserNameEnd = 0x2F, LockDateTime = 0x50;
}

// Everything a reader remembers across a power cycle (and the simulator across runs).
struct ReaderState {
    std::string loginId = "4826";
    bool locked = true; // commands need a login first
    std::string firmware = "KRN-A0102 V1.05";
    uint8_t machineId = 1;
    std::array<uint8_t, 256> registers{};
    int64_t clockOffset = 0; // seconds added to the PC clock
    std::vector<Record> records;
    std::vector<Record> erased;               // what "M" can bring back, oldest first
    std::map<std::string, std::string> files; // path -> contents
    std::set<std::string> dirs;               // directories besides the root ("")
    LineSettings line;

    ReaderState(); // plausible factory settings
    // The user name lives right-aligned in registers 32..47, padded with 0x00 on the left.
    void SetUserName(const std::string& name);
    std::string UserName() const;
};

struct ReaderOptions {
    bool challenge = false; // "L" with the right ID answers "N" + a challenge (LoginX)
    uint8_t hiCode = 0x5A;  // the codes the challenge answer is derived with
    uint8_t loCode = 0xA5;
    uint32_t eraseMsPerRecord = 20; // time "E" and "M" take per record
    size_t recoveryLimit = 2048;    // most records "M" brings back
    // "N" answers "A" + four hexadecimal digits + checksum (else "A" + four decimal digits,
    // no checksum)
    bool hexCount = false;
    bool replyChecksums = true;   // checksum on "G" + number, "B", "FI" (and a hex count)
    bool recordChecksums = false; // checksum on the replies of a plain "G" as well
    bool refuseVersion = false;   // "F" is answered "N" (a reader that refuses the probe)
    uint32_t seed = 1;            // challenges
    // A punch arrives (the next generated record) when the count is asked for the n-th time
    // (0: never), as on a reader in use while it is being read.
    size_t punchAtCount = 0;
};

enum class Transfer { None, ReaderReceives, ReaderSends };

// What the reader does with one request.
struct Reply {
    std::string text;                   // reply text without STX and CR; empty when silent
    bool silent = false;                // no answer at all
    bool hasChecksum = false;           // the last two characters are a checksum
    bool isRecord = false;              // a record reply to "G"
    uint32_t workMs = 0;                // time the reader works before it answers (erase, recovery)
    Transfer transfer = Transfer::None; // an XMODEM transfer starts after the reply
    std::string fileName;               // the file of that transfer
};

class Reader {
public:
    explicit Reader(ReaderState state = ReaderState(), ReaderOptions options = ReaderOptions());

    Reply Handle(std::string_view text);

    ReaderState& State() { return state_; }
    const ReaderState& State() const { return state_; }
    const ReaderOptions& Options() const { return opt_; }
    bool LoggedIn() const { return loggedIn_; }
    size_t RecordPointer() const { return pointer_; }

    // The reader's clock: the PC clock (replaceable for tests) plus the state's offset.
    void SetPcClock(std::function<QDateTime()> clock) { pcClock_ = std::move(clock); }
    QDateTime Now() const;

    // The password LoginX derives from a challenge h, l with the given codes.
    static std::string ChallengeAnswer(uint8_t h, uint8_t l, uint8_t hiCode, uint8_t loCode);

    // The file store, also used when an XMODEM transfer ends.
    bool StoreFile(const std::string& path, const std::string& data);
    static std::string NormalPath(std::string_view path);

private:
    Reply Login(std::string_view id);
    Reply GetRecord(std::string_view arg);
    Reply WriteRecord(std::string_view text);
    Reply Erase(std::string_view arg);
    Reply Recover();
    Reply SetTime(std::string_view arg);
    Reply GetTime() const;
    Reply MachineId(std::string_view arg);
    Reply ReadRegister(std::string_view arg);
    Reply WriteRegister(std::string_view text);
    Reply SetPassword(std::string_view text);
    Reply FileCommand(std::string_view cmd, std::string_view arg);
    Reply WithChecksum(std::string text) const;
    Reply Count() const;

    ReaderState state_;
    ReaderOptions opt_;
    bool loggedIn_ = false;
    std::string pendingAnswer_; // expected LoginX answer while a challenge is open
    size_t pointer_ = 0;
    size_t countRequests_ = 0;
    std::mt19937 rng_;
    std::function<QDateTime()> pcClock_;
};

// Record text as "G" sends it after the "A": eight date digits in the order of the
// date-format register (255 year-first, 0 month-first, others day-first), HHMMSS, a blank,
// the weekday digit (0 Sunday), type, event and card ID.
std::string RecordText(const Record& r, uint8_t dateMode);
// Reads that text back (the data of "W"); false when it is not a record.
bool ParseRecordText(std::string_view text, uint8_t dateMode, Record& out);

// A configuration datagram of the serial device server ("PBR6", "PFC1", "PPR0", "PBB1" ...).
// Stores the setting and returns true when the command is one the server knows.
bool ApplyConfigCommand(std::string_view command, LineSettings& line);

// N plausible records, the same for the same seed: every card type and event, dates rising
// from January 2025 in steps of seconds to hours.
std::vector<Record> GenerateRecords(size_t n, uint32_t seed);

} // namespace readersim
