#include "readersim/Reader.h"

#include "dorlin/Rnet.h"

#include <algorithm>
#include <cstdio>

namespace readersim {
namespace {

constexpr size_t kMaxRecords = 32767; // record numbers are 16-bit signed on the wire

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Strict hexadecimal number of 1..maxDigits digits; -1 when it is not one.
long ParseHex(std::string_view s, size_t maxDigits) {
    if (s.empty() || s.size() > maxDigits) return -1;
    long v = 0;
    for (char c : s) {
        int d = HexDigit(c);
        if (d < 0) return -1;
        v = v * 16 + d;
    }
    return v;
}

bool AllDigits(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int Num(std::string_view s) {
    int v = 0;
    for (char c : s)
        v = v * 10 + (c - '0');
    return v;
}

std::string Hex2(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "%02X", v & 0xFFu);
    return b;
}

Reply Plain(std::string text) {
    Reply r;
    r.text = std::move(text);
    return r;
}

Reply Refuse() {
    return Plain("N");
}

// A command text that ends in the checksum of everything before it: the text without it.
bool TakeChecksum(std::string_view text, std::string_view& body) {
    if (text.size() < 3) return false;
    body = text.substr(0, text.size() - 2);
    return rnet::CheckSumText(body) == text.substr(text.size() - 2);
}

std::string ParentOf(const std::string& path) {
    size_t p = path.rfind('/');
    return p == std::string::npos ? std::string() : path.substr(0, p);
}

} // namespace

ReaderState::ReaderState() {
    registers.fill(0x00);
    registers[reg::PowerOffLow] = 0x58; // 600 s
    registers[reg::PowerOffHigh] = 0x02;
    registers[reg::PowerMode] = 0x00;
    registers[reg::LcdOff] = 30;
    registers[reg::Beep] = 0xFF;
    registers[reg::DateMode] = 0xFF;
    registers[reg::LargeFonts] = 0x00;
    registers[reg::ScanTime] = 3;
    registers[reg::EventCount] = 4;
    registers[reg::ScanMode] = 0x00;
    registers[reg::LockDateTime] = 0xFF; // not locked
    SetUserName("Front Door");
}

void ReaderState::SetUserName(const std::string& name) {
    std::string n = name.size() > 16 ? name.substr(name.size() - 16) : name;
    std::string field = std::string(16 - n.size(), '\0') + n;
    for (int i = 0; i < 16; ++i)
        registers[reg::UserName + i] = uint8_t(field[size_t(i)]);
}

std::string ReaderState::UserName() const {
    std::string out;
    for (int i = reg::UserName; i <= reg::UserNameEnd; ++i) {
        uint8_t b = registers[size_t(i)];
        if (b != 0x00 && b != 0xFF) out += char(b);
    }
    return out;
}

Reader::Reader(ReaderState state, ReaderOptions options)
    : state_(std::move(state)), opt_(options), rng_(options.seed),
      pcClock_([] { return QDateTime::currentDateTime(); }) {}

QDateTime Reader::Now() const {
    return pcClock_().addSecs(state_.clockOffset);
}

std::string Reader::ChallengeAnswer(uint8_t h, uint8_t l, uint8_t hiCode, uint8_t loCode) {
    return Hex2(unsigned(h - hiCode) & 0xFF) + Hex2(unsigned(l ^ loCode) & 0xFF);
}

Reply Reader::WithChecksum(std::string text) const {
    Reply r;
    if (opt_.replyChecksums) {
        text += rnet::CheckSumText(text);
        r.hasChecksum = true;
    }
    r.text = std::move(text);
    return r;
}

Reply Reader::Count() const {
    char b[16];
    if (!opt_.hexCount) {
        // Four decimal digits; the count never exceeds 9999 in this reading.
        std::snprintf(b, sizeof b, "A%04zu", std::min<size_t>(state_.records.size(), 9999));
        return Plain(b);
    }
    std::snprintf(b, sizeof b, "A%04zX", state_.records.size());
    return WithChecksum(b);
}

Reply Reader::Handle(std::string_view text) {
    if (text.empty()) return Refuse();
    // Probes and the login work at any time.
    if (text == "O") {
        loggedIn_ = false;
        pendingAnswer_.clear();
        return Plain("A");
    }
    if (text == "f") return Plain("A");
    // The version is what discovery asks every reader for, so it needs no login.
    if (text == "F") return opt_.refuseVersion ? Refuse() : Plain("A" + state_.firmware);
    if (text[0] == 'L') return Login(text.substr(1));
    if (!loggedIn_ && state_.locked) return Refuse();

    std::string_view two = text.substr(0, 2);
    if (two == "FI" || two == "FN" || two == "FD" || two == "FM" || two == "FX" || two == "ZX" ||
        two == "UX" || two == "ZY" || two == "UY")
        return FileCommand(two, text.substr(2));

    std::string_view arg = text.substr(1);
    switch (text[0]) {
    case 'R':
        if (!arg.empty()) return Refuse();
        pointer_ = 0;
        return Plain("A");
    case 'G':
        return GetRecord(arg);
    case 'N':
        if (!arg.empty()) return Refuse();
        if (++countRequests_ == opt_.punchAtCount)
            state_.records.push_back(GenerateRecords(state_.records.size() + 1, opt_.seed).back());
        return Count();
    case 'E':
        return Erase(arg);
    case 'M':
        if (!arg.empty()) return Refuse();
        return Recover();
    case 'T':
        if (!arg.empty()) return Refuse();
        return GetTime();
    case 'S':
        return SetTime(arg);
    case 'F':
        if (!arg.empty()) return Refuse();
        return Plain("A" + state_.firmware);
    case 'I':
    case 'J':
        return MachineId(text);
    case 'D': {
        long id = arg.size() == 2 ? ParseHex(arg, 2) : -1;
        return Plain(id >= 0 && id == state_.machineId ? "A" : "N");
    }
    case 'B':
        return ReadRegister(arg);
    case 'C':
        return WriteRegister(text);
    case 'P':
        return SetPassword(text);
    case 'W':
        return WriteRecord(text);
    default:
        return Refuse();
    }
}

Reply Reader::Login(std::string_view id) {
    if (!pendingAnswer_.empty() && id == pendingAnswer_) {
        pendingAnswer_.clear();
        loggedIn_ = true;
        return Plain("A");
    }
    pendingAnswer_.clear();
    if (id != state_.loginId) return Plain("I");
    if (!opt_.challenge) {
        loggedIn_ = true;
        return Plain("A");
    }
    uint8_t h = uint8_t(rng_() & 0xFF), l = uint8_t(rng_() & 0xFF);
    pendingAnswer_ = ChallengeAnswer(h, l, opt_.hiCode, opt_.loCode);
    return Plain("N" + Hex2(h) + Hex2(l));
}

Reply Reader::GetRecord(std::string_view arg) {
    size_t index = pointer_;
    if (!arg.empty()) {
        long n = arg.size() == 4 ? ParseHex(arg, 4) : -1;
        if (n < 0) return Refuse();
        index = size_t(n);
    }
    if (index >= state_.records.size()) return Refuse();
    pointer_ = index + 1;
    std::string rec = "A" + RecordText(state_.records[index], state_.registers[reg::DateMode]);
    // A record asked for by number carries a checksum; the next one (plain "G") does not,
    // unless the reader is told to add one there too.
    Reply r = (!arg.empty() || opt_.recordChecksums) ? WithChecksum(rec) : Plain(rec);
    r.isRecord = true;
    return r;
}

Reply Reader::WriteRecord(std::string_view text) {
    std::string_view body;
    if (!TakeChecksum(text, body)) return Refuse();
    // W + four hexadecimal digits + "," + record text
    if (body.size() < 6 || body[5] != ',') return Refuse();
    long n = ParseHex(body.substr(1, 4), 4);
    Record rec;
    if (n < 0 || !ParseRecordText(body.substr(6), state_.registers[reg::DateMode], rec))
        return Refuse();
    if (size_t(n) < state_.records.size())
        state_.records[size_t(n)] = rec;
    else if (size_t(n) == state_.records.size() && state_.records.size() < kMaxRecords)
        state_.records.push_back(rec);
    else
        return Refuse();
    return Plain("A");
}

Reply Reader::Erase(std::string_view arg) {
    Reply r = Plain("A");
    if (arg.empty()) {
        r.workMs = uint32_t(state_.records.size()) * opt_.eraseMsPerRecord;
        state_.erased.insert(state_.erased.end(), state_.records.begin(), state_.records.end());
        state_.records.clear();
        pointer_ = 0;
        return r;
    }
    long n = arg.size() == 4 ? ParseHex(arg, 4) : -1;
    if (n < 0 || size_t(n) >= state_.records.size()) return Refuse();
    state_.erased.push_back(state_.records[size_t(n)]);
    state_.records.erase(state_.records.begin() + n);
    if (pointer_ > size_t(n)) --pointer_;
    r.workMs = opt_.eraseMsPerRecord;
    return r;
}

Reply Reader::Recover() {
    // Brings back the most recently erased records, up to the recovery limit, in front of
    // what is stored now (they are older).
    size_t room = kMaxRecords - std::min(kMaxRecords, state_.records.size());
    size_t n = std::min({state_.erased.size(), opt_.recoveryLimit, room});
    auto from = state_.erased.end() - long(n);
    std::vector<Record> back(from, state_.erased.end());
    state_.erased.erase(from, state_.erased.end());
    state_.records.insert(state_.records.begin(), back.begin(), back.end());
    pointer_ = 0;
    Reply r = Plain("A");
    r.workMs = uint32_t(n) * opt_.eraseMsPerRecord;
    return r;
}

Reply Reader::GetTime() const {
    QDateTime now = Now();
    std::string t = now.toString("yyyyMMddHHmmss").toStdString();
    return Plain("A" + t + char('0' + now.date().dayOfWeek() % 7));
}

Reply Reader::SetTime(std::string_view arg) {
    // YYYYMMDDHHNNSS and a weekday digit; the reader works the weekday out itself.
    if (arg.size() != 15 || !AllDigits(arg)) return Refuse();
    QDate d(Num(arg.substr(0, 4)), Num(arg.substr(4, 2)), Num(arg.substr(6, 2)));
    QTime t(Num(arg.substr(8, 2)), Num(arg.substr(10, 2)), Num(arg.substr(12, 2)));
    if (!d.isValid() || !t.isValid()) return Refuse();
    QDateTime wanted(d, t);
    state_.clockOffset = pcClock_().secsTo(wanted);
    return Plain("A");
}

Reply Reader::MachineId(std::string_view text) {
    std::string_view arg = text.substr(1);
    if (text[0] == 'I' && arg.empty()) return Plain("A" + Hex2(state_.machineId));
    // "I" + two digits (SetID) and "J" + one or two digits (SetMacID) both set it.
    if (text[0] == 'I' && arg.size() != 2) return Refuse();
    long id = ParseHex(arg, 2);
    if (id < 0) return Refuse();
    state_.machineId = uint8_t(id);
    return Plain("A");
}

Reply Reader::ReadRegister(std::string_view arg) {
    long a = arg.size() == 2 ? ParseHex(arg, 2) : -1;
    if (a < 0) return Refuse();
    return WithChecksum("A" + Hex2(state_.registers[size_t(a)]));
}

Reply Reader::WriteRegister(std::string_view text) {
    std::string_view body;
    if (!TakeChecksum(text, body)) return Refuse();
    // C + two hexadecimal digits + "," + value of one or two digits
    if (body.size() < 5 || body[3] != ',') return Refuse();
    long a = ParseHex(body.substr(1, 2), 2);
    long v = ParseHex(body.substr(4), 2);
    if (a < 0 || v < 0) return Refuse();
    state_.registers[size_t(a)] = uint8_t(v);
    return Plain("A");
}

Reply Reader::SetPassword(std::string_view text) {
    // The console sends "P" + ID bare, the link control with a checksum behind it.
    std::string_view id = text.substr(1);
    if (text.size() == 7) {
        std::string_view body;
        if (!TakeChecksum(text, body)) return Refuse();
        id = body.substr(1);
    }
    if (id.size() != 4 || !std::all_of(id.begin(), id.end(), [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
        }))
        return Refuse();
    state_.loginId = std::string(id);
    return Plain("A");
}

std::string Reader::NormalPath(std::string_view path) {
    std::string out;
    for (char c : path)
        out += (c == '\\') ? '/' : c;
    while (!out.empty() && out.front() == '/')
        out.erase(out.begin());
    while (!out.empty() && out.back() == '/')
        out.pop_back();
    return out;
}

bool Reader::StoreFile(const std::string& path, const std::string& data) {
    std::string p = NormalPath(path);
    std::string parent = ParentOf(p);
    if (p.empty() || state_.dirs.count(p) || (!parent.empty() && !state_.dirs.count(parent)))
        return false;
    state_.files[p] = data;
    return true;
}

Reply Reader::FileCommand(std::string_view cmd, std::string_view arg) {
    std::string p = NormalPath(arg);
    std::string parent = ParentOf(p);
    bool parentOk = parent.empty() || state_.dirs.count(parent);
    if (cmd == "FI") {
        if (!AllDigits(arg) || arg.size() > 5) return Refuse();
        size_t i = size_t(Num(arg));
        if (i >= state_.files.size()) return Refuse();
        auto it = std::next(state_.files.begin(), long(i));
        return WithChecksum("A" + it->first + "," + std::to_string(it->second.size()));
    }
    if (cmd == "FN") {
        if (!p.empty() && !state_.dirs.count(p)) return Refuse();
        size_t n = 0;
        for (const auto& f : state_.files)
            if (ParentOf(f.first) == p) ++n;
        return Plain("A" + std::to_string(n));
    }
    if (cmd == "FD") return Plain(state_.files.erase(p) ? "A" : "N");
    if (cmd == "FM") {
        if (p.empty() || !parentOk || state_.dirs.count(p) || state_.files.count(p))
            return Refuse();
        state_.dirs.insert(p);
        return Plain("A");
    }
    if (cmd == "FX") {
        if (!state_.dirs.count(p)) return Refuse();
        for (const auto& f : state_.files)
            if (ParentOf(f.first) == p) return Refuse();
        for (const auto& d : state_.dirs)
            if (ParentOf(d) == p) return Refuse();
        state_.dirs.erase(p);
        return Plain("A");
    }
    if (cmd == "ZX") {
        if (p.empty() || !parentOk || state_.dirs.count(p)) return Refuse();
        Reply r = Plain("A");
        r.transfer = Transfer::ReaderReceives;
        r.fileName = p;
        return r;
    }
    if (cmd == "UX") {
        if (!state_.files.count(p)) return Refuse();
        Reply r = Plain("A");
        r.transfer = Transfer::ReaderSends;
        r.fileName = p;
        return r;
    }
    return Refuse(); // YMODEM is not offered
}

std::string RecordText(const Record& r, uint8_t dateMode) {
    QString fmt = dateMode == 0xFF ? "yyyyMMdd" : dateMode == 0 ? "MMddyyyy" : "ddMMyyyy";
    std::string s = r.date.toString(fmt).toStdString() + r.time.toString("HHmmss").toStdString();
    s += ' ';
    s += char('0' + r.date.dayOfWeek() % 7);
    s += r.type;
    s += r.event;
    s += r.card;
    return s;
}

bool ParseRecordText(std::string_view text, uint8_t dateMode, Record& out) {
    if (text.size() < 19 || text[14] != ' ' || !AllDigits(text.substr(0, 14))) return false;
    std::string_view d = text.substr(0, 8);
    int y, m, day;
    if (dateMode == 0xFF)
        y = Num(d.substr(0, 4)), m = Num(d.substr(4, 2)), day = Num(d.substr(6, 2));
    else if (dateMode == 0)
        m = Num(d.substr(0, 2)), day = Num(d.substr(2, 2)), y = Num(d.substr(4, 4));
    else
        day = Num(d.substr(0, 2)), m = Num(d.substr(2, 2)), y = Num(d.substr(4, 4));
    Record r;
    r.date = QDate(y, m, day);
    r.time = QTime(Num(text.substr(8, 2)), Num(text.substr(10, 2)), Num(text.substr(12, 2)));
    if (!r.date.isValid() || !r.time.isValid()) return false;
    // text[15] is the weekday, which the reader works out from the date itself
    r.type = text[16];
    r.event = text[17];
    if (!((r.type >= '1' && r.type <= '9') || r.type == 'A')) return false;
    if (r.event < '0' || r.event > '9') return false;
    std::string_view card = text.substr(18);
    if (card.size() > 32 ||
        !std::all_of(card.begin(), card.end(), [](char c) { return HexDigit(c) >= 0; }))
        return false;
    r.card = std::string(card);
    out = r;
    return true;
}

bool ApplyConfigCommand(std::string_view c, LineSettings& line) {
    if (c.size() != 4) return false;
    std::string_view key = c.substr(0, 3);
    int d = c[3] - '0';
    static const int bauds[] = {1200, 2400, 4800, 9600, 19200, 38400, 115200};
    if (key == "PBR" && d >= 0 && d <= 6)
        line.baud = bauds[d];
    else if (key == "PFC" && (d == 0 || d == 1))
        line.flow = d == 0 ? 0 : 2;
    // PPR0 none, PPR2 odd, and PPR1 for even parity
    else if (key == "PPR" && d >= 0 && d <= 2)
        line.parity = d == 0 ? 0 : d == 2 ? 1 : 2;
    else if (key == "PBB" && (d == 0 || d == 1))
        line.dataBits = d == 0 ? 7 : 8;
    else
        return false;
    return true;
}

std::vector<Record> GenerateRecords(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    static const char types[] = "123456789A";
    // hexadecimal digits of each card type's ID, and the top digit's mask (Wiegand widths)
    static const int digits[10] = {8, 8, 14, 16, 10, 8, 7, 9, 9, 10};
    static const int topMask[10] = {15, 15, 15, 15, 15, 15, 3, 3, 7, 1};
    // a few cards per type that come back again and again, as people do
    std::vector<std::vector<std::string>> cards(10);
    for (int t = 0; t < 10; ++t) {
        for (int k = 0; k < 6; ++k) {
            std::string id;
            for (int i = 0; i < digits[t]; ++i) {
                unsigned v = rng() & 15u;
                if (i == 0) v &= unsigned(topMask[t]);
                id += "0123456789ABCDEF"[v];
            }
            cards[size_t(t)].push_back(id);
        }
    }
    std::vector<int> typeCycle(10), eventCycle(10);
    for (int i = 0; i < 10; ++i)
        typeCycle[size_t(i)] = eventCycle[size_t(i)] = i;
    std::vector<Record> out;
    out.reserve(n);
    QDateTime at(QDate(2025, 1, 6), QTime(7, 30, 0), Qt::UTC); // no daylight-saving steps
    for (size_t i = 0; i < n; ++i) {
        if (i % 10 == 0) {
            std::shuffle(typeCycle.begin(), typeCycle.end(), rng);
            std::shuffle(eventCycle.begin(), eventCycle.end(), rng);
        }
        int t = typeCycle[i % 10];
        Record r;
        r.date = at.date();
        r.time = at.time();
        r.type = types[t];
        r.event = char('0' + eventCycle[i % 10]);
        r.card = cards[size_t(t)][rng() % cards[size_t(t)].size()];
        out.push_back(r);
        at = at.addSecs(5 + long(rng() % 7200));
    }
    return out;
}

} // namespace readersim
