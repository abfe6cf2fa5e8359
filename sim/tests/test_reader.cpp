// The reader's state machine driven in memory: request text in, reply text out.
#include "dorlin/Rnet.h"
#include "readersim/Reader.h"

#include <gtest/gtest.h>

using namespace readersim;

namespace {

std::string WithSum(const std::string& text) {
    return text + rnet::CheckSumText(text);
}

Record Rec(int y, int m, int d, int hh, int mm, int ss, char type, char event,
           const std::string& card) {
    Record r;
    r.date = QDate(y, m, d);
    r.time = QTime(hh, mm, ss);
    r.type = type;
    r.event = event;
    r.card = card;
    return r;
}

// A reader with three known records, logged in, and a fixed PC clock.
struct LoggedIn : ::testing::Test {
    Reader reader;
    QDateTime pcNow{QDate(2026, 12, 7), QTime(8, 30, 5)};
    void SetUp() override {
        reader.State().records = {Rec(2026, 12, 7, 8, 30, 5, '2', '5', "0012345678"),
                                  Rec(2026, 12, 8, 17, 0, 0, 'A', '0', "1FFFFFFFFF"),
                                  Rec(2027, 1, 2, 6, 5, 4, '5', '9', "35FEC32440")};
        reader.SetPcClock([this] { return pcNow; });
        ASSERT_EQ(reader.Handle("L4826").text, "A");
    }
};

} // namespace

TEST(ReaderLogin, CommandsAreRefusedUntilLogin) {
    Reader r;
    for (const char* cmd :
         {"R",   "G",   "N",      "E",     "M",   "T",       "S202501050903070", "I",
          "J07", "B00", "B1A",    "C1A,00", "P1234", "D01", "W0000,x", "FI0", "FNx",
          "FDx", "FMx", "FXx", "ZXx",    "UXx"})
        EXPECT_EQ(r.Handle(cmd).text, "N") << cmd;
    EXPECT_FALSE(r.LoggedIn());
    EXPECT_EQ(r.State().records.size(), 0u);
}

TEST(ReaderLogin, ProbesAnswerWithoutLogin) {
    Reader r;
    EXPECT_EQ(r.Handle("O").text, "A");
    EXPECT_EQ(r.Handle("f").text, "A");
    // Discovery asks every reader for its version: it needs no login.
    EXPECT_EQ(r.Handle("F").text, "AKRN-A0102 V1.05");
    EXPECT_EQ(r.Handle("B00").text, "N"); // the access probe tells "not logged in"
}

TEST(ReaderLogin, WrongIdIsAnsweredWithI) {
    Reader r;
    EXPECT_EQ(r.Handle("L1111").text, "I");
    EXPECT_EQ(r.Handle("L").text, "I");
    EXPECT_EQ(r.Handle("L48261").text, "I");
    EXPECT_FALSE(r.LoggedIn());
    EXPECT_EQ(r.Handle("L4826").text, "A");
    EXPECT_TRUE(r.LoggedIn());
    EXPECT_EQ(r.Handle("L4826").text, "A"); // the console sends it twice
    EXPECT_EQ(r.Handle("B00").text, WithSum("A00"));
}

TEST(ReaderLogin, LogoutLocksAgain) {
    Reader r;
    ASSERT_EQ(r.Handle("L4826").text, "A");
    EXPECT_EQ(r.Handle("T").text[0], 'A');
    EXPECT_EQ(r.Handle("O").text, "A");
    EXPECT_EQ(r.Handle("T").text, "N");
    EXPECT_EQ(r.Handle("F").text, "AKRN-A0102 V1.05");
}

TEST(ReaderLogin, UnlockedReaderNeedsNoLogin) {
    ReaderState st;
    st.locked = false;
    Reader r(st);
    EXPECT_EQ(r.Handle("F").text, "AKRN-A0102 V1.05");
    EXPECT_EQ(r.Handle("B00").text, WithSum("A00"));
}

TEST(ReaderLogin, ChallengeIsAnsweredTheWayLoginXComputesIt) {
    ReaderOptions o;
    o.challenge = true;
    o.hiCode = 0x5A;
    o.loCode = 0xA5;
    Reader r(ReaderState(), o);
    Reply c = r.Handle("L4826");
    ASSERT_EQ(c.text.size(), 5u);
    ASSERT_EQ(c.text[0], 'N');
    uint8_t h = uint8_t(std::stoi(c.text.substr(1, 2), nullptr, 16));
    uint8_t l = uint8_t(std::stoi(c.text.substr(3, 2), nullptr, 16));
    char want[8];
    std::snprintf(want, sizeof want, "%02X%02X", (h - 0x5A) & 0xFF, (l ^ 0xA5) & 0xFF);
    EXPECT_FALSE(r.LoggedIn());
    EXPECT_EQ(r.Handle(std::string("L") + want).text, "A");
    EXPECT_TRUE(r.LoggedIn());
}

TEST(ReaderLogin, WrongChallengeAnswerIsInvalid) {
    ReaderOptions o;
    o.challenge = true;
    Reader r(ReaderState(), o);
    Reply c = r.Handle("L4826");
    ASSERT_EQ(c.text[0], 'N');
    std::string wrong = Reader::ChallengeAnswer(0, 0, 1, 1) == c.text.substr(1) ? "0001" : "FFFF";
    EXPECT_EQ(r.Handle("L" + wrong).text, "I");
    EXPECT_FALSE(r.LoggedIn());
}

TEST(ReaderLogin, ChallengeAnswerFormula) {
    // b1 = (h - HiCode) mod 256, b2 = l XOR LoCode, written "%02X%02X"
    EXPECT_EQ(Reader::ChallengeAnswer(0x12, 0x34, 0x5A, 0xA5), "B891");
    EXPECT_EQ(Reader::ChallengeAnswer(0x00, 0x00, 0x01, 0x00), "FF00");
}

TEST_F(LoggedIn, RecordPointerRewindsAndAdvances) {
    // A plain "G" answers the record without a checksum.
    EXPECT_EQ(reader.Handle("R").text, "A");
    EXPECT_EQ(reader.Handle("G").text, "A20261207083005 1250012345678");
    EXPECT_EQ(reader.Handle("G").text, "A20261208170000 2A01FFFFFFFFF");
    EXPECT_EQ(reader.Handle("G").text, "A20270102060504 65935FEC32440");
    EXPECT_EQ(reader.Handle("G").text, "N"); // past the last record
    EXPECT_EQ(reader.Handle("R").text, "A");
    EXPECT_EQ(reader.Handle("G").text, "A20261207083005 1250012345678");
}

TEST(ReaderRecords, RecordChecksumsOptionProtectsPlainGToo) {
    ReaderOptions o;
    o.recordChecksums = true;
    ReaderState st;
    st.locked = false;
    st.records = GenerateRecords(2, 7);
    Reader r(st, o);
    const std::string first = r.Handle("G0000").text;
    EXPECT_EQ(r.Handle("R").text, "A");
    EXPECT_EQ(r.Handle("G").text, first);
    EXPECT_TRUE(rnet::TrailingChecksumOk(first));
}

TEST_F(LoggedIn, RecordByNumberMovesThePointer) {
    // By number (0 = the first record) the reply carries a checksum.
    EXPECT_EQ(reader.Handle("G0002").text, WithSum("A20270102060504 65935FEC32440"));
    EXPECT_EQ(reader.Handle("G").text, "N");
    EXPECT_EQ(reader.Handle("G0001").text, WithSum("A20261208170000 2A01FFFFFFFFF"));
    EXPECT_EQ(reader.RecordPointer(), 2u);
    EXPECT_EQ(reader.Handle("G0003").text, "N");
    EXPECT_EQ(reader.Handle("G01").text, "N");
    EXPECT_EQ(reader.Handle("GZZZZ").text, "N");
}

TEST_F(LoggedIn, RecordDateFollowsTheDateFormatRegister) {
    struct Case {
        uint8_t mode;
        const char* reply;
    } cases[] = {{0xFF, "A20261207083005 1250012345678"},
                 {0x00, "A12072026083005 1250012345678"},
                 {0x01, "A07122026083005 1250012345678"},
                 {0xFE, "A07122026083005 1250012345678"}};
    for (const Case& c : cases) {
        reader.State().registers[reg::DateMode] = c.mode;
        EXPECT_EQ(reader.Handle("G0000").text, WithSum(c.reply)) << int(c.mode);
    }
}

TEST_F(LoggedIn, RecordRepliesAreMarkedForDropAfter) {
    Reply g = reader.Handle("G0000");
    EXPECT_TRUE(g.isRecord);
    EXPECT_TRUE(g.hasChecksum);
    EXPECT_FALSE(reader.Handle("N").isRecord);
}

TEST_F(LoggedIn, CountIsFourDecimalDigitsWithoutChecksum) {
    EXPECT_EQ(reader.Handle("N").text, "A0003");
    reader.State().records = GenerateRecords(300, 7);
    EXPECT_EQ(reader.Handle("N").text, "A0300");
    EXPECT_EQ(reader.Handle("N1").text, "N");
}

TEST(ReaderCount, HexadecimalWithChecksumAndPlainVariants) {
    ReaderOptions o;
    o.hexCount = true;
    ReaderState st;
    st.locked = false;
    st.records = GenerateRecords(300, 7);
    Reader hex(st, o);
    EXPECT_EQ(hex.Handle("N").text, WithSum("A012C"));
    o.hexCount = false;
    o.replyChecksums = false;
    Reader plain(st, o);
    EXPECT_EQ(plain.Handle("N").text, "A0300");
    EXPECT_EQ(plain.Handle("B1A").text, "AFF");
}

TEST_F(LoggedIn, RegistersReadWithChecksumAndWriteWithChecksum) {
    EXPECT_EQ(reader.Handle("B1A").text, WithSum("AFF"));
    EXPECT_EQ(reader.Handle("B10").text, WithSum("A58"));
    EXPECT_EQ(reader.Handle("B11").text, WithSum("A02"));
    EXPECT_EQ(reader.Handle("B50").text, WithSum("AFF"));
    EXPECT_EQ(reader.Handle(WithSum("C1A,00")).text, "A");
    EXPECT_EQ(reader.Handle("B1A").text, WithSum("A00"));
    EXPECT_EQ(reader.Handle(WithSum("CFF,7")).text, "A");
    EXPECT_EQ(reader.State().registers[0xFF], 7);
}

TEST_F(LoggedIn, RegisterCommandsRefuseBadFrames) {
    for (std::string cmd :
         {std::string("C1A,00"), std::string("C1A,0045"), WithSum("C1A00"), WithSum("C1G,00"),
          WithSum("C1A,100"), WithSum("C1A,"), std::string("C"), std::string("B1"),
          std::string("B123"), std::string("BXY")})
        EXPECT_EQ(reader.Handle(cmd).text, "N") << cmd;
    EXPECT_EQ(reader.State().registers[reg::DateMode], 0xFF);
}

TEST_F(LoggedIn, UserNameLivesRightAlignedInRegisters) {
    reader.State().SetUserName("Gate 7");
    EXPECT_EQ(reader.Handle("B2F").text, WithSum("A37"));
    EXPECT_EQ(reader.Handle("B2A").text, WithSum("A47"));
    EXPECT_EQ(reader.Handle("B29").text, WithSum("A00"));
    reader.State().SetUserName("ABCDEFGHIJKLMNOPQR"); // keeps the last 16
    EXPECT_EQ(reader.State().UserName(), "CDEFGHIJKLMNOPQR");
    EXPECT_EQ(reader.Handle("B20").text, WithSum("A43"));
}

TEST_F(LoggedIn, ClockRunsFromThePcClockPlusOffset) {
    EXPECT_EQ(reader.Handle("T").text, "A202612070830051"); // Monday
    EXPECT_EQ(reader.Handle("S202501050903070").text, "A");
    EXPECT_EQ(reader.Handle("T").text, "A202501050903070"); // Sunday
    pcNow = pcNow.addSecs(65);
    EXPECT_EQ(reader.Handle("T").text, "A202501050904120");
    EXPECT_EQ(reader.State().clockOffset,
              QDateTime(QDate(2026, 12, 7), QTime(8, 30, 5))
                  .secsTo(QDateTime(QDate(2025, 1, 5), QTime(9, 3, 7))));
}

TEST_F(LoggedIn, SetTimeRefusesBadDates) {
    for (const char* cmd : {"S20250105090307", "S2025010509030700", "S202502300903070",
                            "S202501052503070", "S20250105090a070", "S"})
        EXPECT_EQ(reader.Handle(cmd).text, "N") << cmd;
    EXPECT_EQ(reader.State().clockOffset, 0);
}

TEST_F(LoggedIn, MachineIdReadAndWritten) {
    EXPECT_EQ(reader.Handle("I").text, "A01");
    EXPECT_EQ(reader.Handle("J7").text, "A");
    EXPECT_EQ(reader.Handle("I").text, "A07");
    EXPECT_EQ(reader.Handle("J1F").text, "A");
    EXPECT_EQ(reader.Handle("I").text, "A1F");
    EXPECT_EQ(reader.Handle("I2C").text, "A"); // SetID
    EXPECT_EQ(reader.State().machineId, 0x2C);
    for (const char* cmd : {"J", "J123", "JXY", "I1", "I123"})
        EXPECT_EQ(reader.Handle(cmd).text, "N") << cmd;
    EXPECT_EQ(reader.Handle("D2C").text, "A"); // polling answers its own number only
    EXPECT_EQ(reader.Handle("D01").text, "N");
}

TEST_F(LoggedIn, FirmwareVersion) {
    reader.State().firmware = "KRN-A0101 V2.10";
    EXPECT_EQ(reader.Handle("F").text, "AKRN-A0101 V2.10");
    EXPECT_EQ(reader.Handle("FX").text, "N"); // a file command, not the version
}

TEST_F(LoggedIn, PasswordWithAndWithoutChecksum) {
    EXPECT_EQ(reader.Handle("P1234").text, "A"); // the console's form
    EXPECT_EQ(reader.State().loginId, "1234");
    EXPECT_EQ(reader.Handle(WithSum("PABCD")).text, "A"); // the link control's form
    EXPECT_EQ(reader.State().loginId, "ABCD");
    for (std::string cmd : {std::string("P12"), std::string("P12345"), std::string("Pabcd"),
                            std::string("P1234XX"), std::string("P")})
        EXPECT_EQ(reader.Handle(cmd).text, "N") << cmd;
    EXPECT_EQ(reader.State().loginId, "ABCD");
    EXPECT_EQ(reader.Handle("O").text, "A");
    EXPECT_EQ(reader.Handle("L4826").text, "I");
    EXPECT_EQ(reader.Handle("LABCD").text, "A");
}

TEST_F(LoggedIn, EraseTakesTwentyMillisecondsPerRecord) {
    reader.State().records = GenerateRecords(100, 3);
    Reply e = reader.Handle("E");
    EXPECT_EQ(e.text, "A");
    EXPECT_EQ(e.workMs, 100u * 20u);
    EXPECT_EQ(reader.Handle("N").text, "A0000");
    EXPECT_EQ(reader.Handle("G").text, "N");
    Reply again = reader.Handle("E");
    EXPECT_EQ(again.workMs, 0u);
}

TEST_F(LoggedIn, EraseOneRecordByNumber) {
    Reply e = reader.Handle("E0001");
    EXPECT_EQ(e.text, "A");
    EXPECT_EQ(e.workMs, 20u);
    EXPECT_EQ(reader.Handle("N").text, "A0002");
    EXPECT_EQ(reader.Handle("G0001").text, WithSum("A20270102060504 65935FEC32440"));
    EXPECT_EQ(reader.Handle("E0002").text, "N");
    EXPECT_EQ(reader.Handle("E01").text, "N");
}

TEST_F(LoggedIn, RecoveryBringsBackErasedRecordsUpToItsLimit) {
    ReaderOptions o;
    o.recoveryLimit = 2048;
    ReaderState st;
    st.locked = false;
    st.records = GenerateRecords(2100, 5);
    Reader r(st, o);
    ASSERT_EQ(r.Handle("E").workMs, 2100u * 20u);
    Reply m = r.Handle("M");
    EXPECT_EQ(m.text, "A");
    EXPECT_EQ(m.workMs, 2048u * 20u);
    EXPECT_EQ(r.Handle("N").text, "A2048");
    // the newest 2048 of the erased records come back, oldest first
    EXPECT_EQ(r.State().records.front(), GenerateRecords(2100, 5)[52]);
    EXPECT_EQ(r.State().erased.size(), 52u);
    EXPECT_EQ(r.Handle("M").workMs, 52u * 20u);
    EXPECT_EQ(r.State().records, GenerateRecords(2100, 5));
    EXPECT_EQ(r.Handle("M").workMs, 0u);
}

TEST_F(LoggedIn, WriteRecordNeedsItsChecksum) {
    std::string data = "20280229235959 0390ABCDEF";
    EXPECT_EQ(reader.Handle("W0003," + data).text, "N");
    EXPECT_EQ(reader.Handle(WithSum("W0003," + data)).text, "A"); // appends
    EXPECT_EQ(reader.Handle("G0003").text, WithSum("A20280229235959 2390ABCDEF"));
    EXPECT_EQ(reader.Handle(WithSum("W0000," + data)).text, "A"); // replaces
    EXPECT_EQ(reader.State().records[0].card, "0ABCDEF");
    EXPECT_EQ(reader.State().records.size(), 4u);
    for (std::string bad : std::vector<std::string>{
             "W0005," + data, "W000g," + data, "W0000,20280230235959 0390ABCDEF",
             "W0000,20280229235959 0B90ABCDEF", "W0000,2028022923595 0390", "W0000"})
        EXPECT_EQ(reader.Handle(WithSum(bad)).text, "N") << bad;
}

TEST_F(LoggedIn, LowerCaseRecordNumberOfWriteRecord) {
    reader.State().records = GenerateRecords(30, 1);
    std::string data = "20280229235959 0390ABCDEF";
    EXPECT_EQ(reader.Handle(WithSum("W001a," + data)).text, "A");
    EXPECT_EQ(reader.State().records[26].card, "0ABCDEF");
}

TEST_F(LoggedIn, FileStoreCommands) {
    EXPECT_EQ(reader.Handle("FN").text, "A0");
    EXPECT_EQ(reader.Handle("FMlogs").text, "A");
    EXPECT_EQ(reader.Handle("FMlogs").text, "N");     // exists
    EXPECT_EQ(reader.Handle("FMnone/sub").text, "N"); // no parent
    EXPECT_TRUE(reader.StoreFile("logs/a.txt", "hello"));
    EXPECT_TRUE(reader.StoreFile("\\top.bin", std::string(300, 'x')));
    EXPECT_FALSE(reader.StoreFile("nodir/x", "y"));
    EXPECT_EQ(reader.Handle("FN").text, "A1");
    EXPECT_EQ(reader.Handle("FNlogs").text, "A1");
    EXPECT_EQ(reader.Handle("FN/logs/").text, "A1");
    EXPECT_EQ(reader.Handle("FNnone").text, "N");
    EXPECT_EQ(reader.Handle("FI0").text, WithSum("Alogs/a.txt,5"));
    EXPECT_EQ(reader.Handle("FI1").text, WithSum("Atop.bin,300"));
    EXPECT_EQ(reader.Handle("FI2").text, "N");
    EXPECT_EQ(reader.Handle("FIx").text, "N");
    EXPECT_EQ(reader.Handle("FXlogs").text, "N"); // not empty
    EXPECT_EQ(reader.Handle("FDlogs\\a.txt").text, "A");
    EXPECT_EQ(reader.Handle("FDlogs/a.txt").text, "N");
    EXPECT_EQ(reader.Handle("FXlogs").text, "A");
    EXPECT_EQ(reader.Handle("FXlogs").text, "N");
}

TEST_F(LoggedIn, TransferRequestsNameTheFile) {
    reader.StoreFile("card.db", "data");
    Reply up = reader.Handle("UXcard.db");
    EXPECT_EQ(up.text, "A");
    EXPECT_EQ(up.transfer, Transfer::ReaderSends);
    EXPECT_EQ(up.fileName, "card.db");
    Reply down = reader.Handle("ZX/new.db");
    EXPECT_EQ(down.text, "A");
    EXPECT_EQ(down.transfer, Transfer::ReaderReceives);
    EXPECT_EQ(down.fileName, "new.db");
    EXPECT_EQ(reader.Handle("UXmissing").text, "N");
    EXPECT_EQ(reader.Handle("ZXnodir/x").text, "N");
    EXPECT_EQ(reader.Handle("ZX").text, "N");
    EXPECT_EQ(reader.Handle("ZYcard.db").text, "N"); // no YMODEM
    EXPECT_EQ(reader.Handle("UYcard.db").text, "N");
}

TEST_F(LoggedIn, UnknownCommandsAreRefused) {
    for (const char* cmd : {"", "X", "g", "Q123", "RR", "TT", "FF", "ZZ", "\x01", "\xff\xfe"})
        EXPECT_EQ(reader.Handle(cmd).text, "N") << cmd;
}

TEST(ReaderFuzz, RandomFramesNeverBreakTheReader) {
    std::mt19937 rng(42);
    ReaderState st;
    st.records = GenerateRecords(20, 2);
    Reader r(st);
    const std::string alphabet = "RGNEMTSFIJBCPDWLOfXZU0123456789ABCDEF,/\\ \x01\x7f\xff";
    for (int i = 0; i < 20000; ++i) {
        std::string cmd;
        size_t n = rng() % 24;
        for (size_t k = 0; k < n; ++k)
            cmd += alphabet[rng() % alphabet.size()];
        if (i % 50 == 0) r.Handle("L4826");
        Reply rep = r.Handle(cmd);
        ASSERT_FALSE(rep.text.empty()) << cmd;
        ASSERT_TRUE(rep.text[0] == 'A' || rep.text[0] == 'N' || rep.text[0] == 'I') << cmd;
        ASSERT_LE(r.State().records.size(), 32767u);
    }
}

TEST(ReaderRecords, GeneratedRecordsAreDeterministicAndCoverEveryTypeAndEvent) {
    auto a = GenerateRecords(500, 9);
    EXPECT_EQ(a, GenerateRecords(500, 9));
    EXPECT_NE(a, GenerateRecords(500, 10));
    std::set<char> types, events;
    for (size_t i = 0; i < a.size(); ++i) {
        types.insert(a[i].type);
        events.insert(a[i].event);
        if (i) {
            EXPECT_LT(QDateTime(a[i - 1].date, a[i - 1].time, Qt::UTC),
                      QDateTime(a[i].date, a[i].time, Qt::UTC));
        }
        EXPECT_FALSE(a[i].card.empty());
    }
    EXPECT_EQ(types, (std::set<char>{'1', '2', '3', '4', '5', '6', '7', '8', '9', 'A'}));
    EXPECT_EQ(events.size(), 10u);
    EXPECT_EQ(a.front().date, QDate(2025, 1, 6));
}

TEST(ReaderRecords, RecordTextRoundTrips) {
    for (uint8_t mode : {uint8_t(0xFF), uint8_t(0), uint8_t(1)}) {
        for (const Record& r : GenerateRecords(50, 4)) {
            Record back;
            ASSERT_TRUE(ParseRecordText(RecordText(r, mode), mode, back));
            EXPECT_EQ(back, r);
        }
    }
}

TEST(DeviceServerConfig, EveryCommandOfTheTableIsKept) {
    struct Case {
        const char* cmd;
        LineSettings want;
    } cases[] = {
        {"PBR0", {1200, 0, 0, 8}},   {"PBR1", {2400, 0, 0, 8}},  {"PBR2", {4800, 0, 0, 8}},
        {"PBR3", {9600, 0, 0, 8}},   {"PBR4", {19200, 0, 0, 8}}, {"PBR5", {38400, 0, 0, 8}},
        {"PBR6", {115200, 0, 0, 8}}, {"PFC1", {19200, 2, 0, 8}}, {"PPR2", {19200, 0, 1, 8}},
        {"PPR1", {19200, 0, 2, 8}},  {"PBB0", {19200, 0, 0, 7}},
    };
    for (const Case& c : cases) {
        LineSettings l;
        EXPECT_TRUE(ApplyConfigCommand(c.cmd, l)) << c.cmd;
        EXPECT_EQ(l, c.want) << c.cmd;
    }
    LineSettings l{115200, 2, 1, 7};
    EXPECT_TRUE(ApplyConfigCommand("PFC0", l));
    EXPECT_TRUE(ApplyConfigCommand("PPR0", l));
    EXPECT_TRUE(ApplyConfigCommand("PBB1", l));
    EXPECT_EQ(l, (LineSettings{115200, 0, 0, 8}));
    for (const char* bad : {"PBR7", "PFC2", "PPR3", "PBB2", "PBR", "PBR66", "XYZ0", ""})
        EXPECT_FALSE(ApplyConfigCommand(bad, l)) << bad;
    EXPECT_EQ(l, (LineSettings{115200, 0, 0, 8}));
}
