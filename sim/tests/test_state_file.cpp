// The reader's state as JSON: what is written, what is read back, what is refused.
#include "readersim/StateFile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace readersim;

TEST(StateFile, EverythingSurvivesARoundTrip) {
    ReaderState st;
    st.loginId = "A1B2";
    st.locked = false;
    st.firmware = "KRN-A0101 V2.10";
    st.machineId = 0x2C;
    st.clockOffset = -3600;
    st.registers[0x99] = 0x42;
    st.SetUserName("Gate 7");
    st.records = GenerateRecords(40, 3);
    st.erased = GenerateRecords(3, 4);
    st.dirs = {"logs", "logs/old"};
    st.files = {{"logs/a.bin", std::string("\x00\x01\xff"
                                           "abc",
                                           6)},
                {"top.txt", "hello"}};
    st.line = {115200, 2, 1, 7};
    ReaderState back;
    QString err;
    ASSERT_TRUE(StateFromJson(StateToJson(st), back, &err)) << err.toStdString();
    EXPECT_EQ(back.loginId, st.loginId);
    EXPECT_EQ(back.locked, false);
    EXPECT_EQ(back.firmware, st.firmware);
    EXPECT_EQ(back.machineId, 0x2C);
    EXPECT_EQ(back.clockOffset, -3600);
    EXPECT_EQ(back.registers, st.registers);
    EXPECT_EQ(back.UserName(), "Gate 7");
    EXPECT_EQ(back.records, st.records);
    EXPECT_EQ(back.erased, st.erased);
    EXPECT_EQ(back.dirs, st.dirs);
    EXPECT_EQ(back.files, st.files);
    EXPECT_EQ(back.line, st.line);
}

// Registers may hold any byte, also inside the user name: the readable copy of the name leaves
// out 0x00 and 0xFF, so loading must not let it overwrite the registers it was taken from.
TEST(StateFile, UserNameRegistersWithGapsSurviveARoundTrip) {
    for (const std::string& name : {std::string("rre\0isteont Door", 16),
                                    std::string("A\xFF\x00Z", 4), std::string(16, '\xFF')}) {
        ReaderState st;
        st.SetUserName(name);
        ReaderState back;
        QString err;
        ASSERT_TRUE(StateFromJson(StateToJson(st), back, &err)) << err.toStdString();
        EXPECT_EQ(back.registers, st.registers) << name;
        EXPECT_EQ(StateToJson(back), StateToJson(st)) << name;
    }
    // A name edited by hand still wins over the registers.
    ReaderState st;
    QJsonObject o = QJsonDocument::fromJson(StateToJson(st)).object();
    o["userName"] = "Side Gate";
    ReaderState back;
    QString err;
    ASSERT_TRUE(StateFromJson(QJsonDocument(o).toJson(), back, &err)) << err.toStdString();
    EXPECT_EQ(back.UserName(), "Side Gate");
}

TEST(StateFile, WrittenLayoutIsReadable) {
    ReaderState st;
    st.records = {GenerateRecords(1, 1)[0]};
    QJsonObject o = QJsonDocument::fromJson(StateToJson(st)).object();
    EXPECT_EQ(o["loginId"].toString(), "4826");
    EXPECT_EQ(o["firmware"].toString(), "KRN-A0102 V1.05");
    EXPECT_EQ(o["machineId"].toString(), "01");
    EXPECT_EQ(o["userName"].toString(), "Front Door");
    EXPECT_EQ(o["records"].toArray()[0].toString(), "2025-01-06 07:30:00 7 8 1C56B6C");
    // row 1 holds registers 0x10..0x1F: power-off time 600 s, LCD 30 s, beep on, year-first
    EXPECT_EQ(o["registers"].toArray()[1].toString().toStdString(),
              "58020000000000001EFFFF0000030400");
}

TEST(StateFile, HandWrittenFilesNeedOnlyWhatTheyChange) {
    ReaderState st;
    QString err;
    ASSERT_TRUE(StateFromJson(R"({"loginId": "1234", "registers": {"1A": "00", "50": "0"},
                                  "records": ["2026-12-07 08:30:05 2 5 0012345678"]})",
                              st, &err))
        << err.toStdString();
    EXPECT_EQ(st.loginId, "1234");
    EXPECT_EQ(st.registers[0x1A], 0x00);
    EXPECT_EQ(st.registers[0x50], 0x00);
    EXPECT_EQ(st.registers[0x19], 0xFF); // untouched default
    EXPECT_EQ(st.firmware, "KRN-A0102 V1.05");
    ASSERT_EQ(st.records.size(), 1u);
    EXPECT_EQ(RecordText(st.records[0], 0xFF), "20261207083005 1250012345678");
}

TEST(StateFile, BadDocumentsAreRefusedWithTheReasonAndChangeNothing) {
    struct Case {
        const char* json;
        const char* error;
    } cases[] = {
        {"[1,2]", "not a JSON object"},
        {"{", "not a JSON object"},
        {R"({"loginId": "48261"})", "bad loginId: 48261"},
        {R"({"loginId": "48zz"})", "bad loginId: 48zz"},
        {R"({"machineId": "123"})", "bad machineId"},
        {R"({"registers": ["00"]})", "bad register row 0"},
        {R"({"registers": {"100": "00"}})", "bad register 100"},
        {R"({"registers": 5})", "bad registers"},
        {R"({"records": ["2025-02-30 07:30:00 7 8 1C56B6C"]})",
         "bad record: 2025-02-30 07:30:00 7 8 1C56B6C"},
        {R"({"records": ["2025-01-06 07:30:00 B 8 1C56B6C"]})",
         "bad record: 2025-01-06 07:30:00 B 8 1C56B6C"},
        {R"({"records": ["2025-01-06 07:30:00 7 8 xyz"]})",
         "bad record: 2025-01-06 07:30:00 7 8 xyz"},
        {R"({"files": {"": "AAAA"}})", "bad file name"},
        {R"({"clockOffset": 1e300})", "bad clockOffset"},
        {R"({"clockOffset": -1e12})", "bad clockOffset"},
        {R"({"clockOffset": 0.5})", "bad clockOffset"},
        {R"({"clockOffset": "soon"})", "bad clockOffset"},
    };
    for (const Case& c : cases) {
        ReaderState st;
        st.loginId = "9999";
        QString err;
        EXPECT_FALSE(StateFromJson(c.json, st, &err)) << c.json;
        EXPECT_TRUE(err.startsWith(c.error)) << c.json << " -> " << err.toStdString();
        EXPECT_EQ(st.loginId, "9999");
    }
}

TEST(StateFile, SaveAndLoadThroughAFile) {
    QTemporaryDir dir;
    QString path = dir.filePath("s.json");
    ReaderState st;
    st.records = GenerateRecords(10, 2);
    QString err;
    ASSERT_TRUE(SaveState(path, st, &err)) << err.toStdString();
    ReaderState back;
    ASSERT_TRUE(LoadState(path, back, &err));
    EXPECT_EQ(back.records, st.records);
    EXPECT_FALSE(LoadState(dir.filePath("missing.json"), back, &err));
    EXPECT_TRUE(err.contains("missing.json"));
    EXPECT_FALSE(SaveState(dir.filePath("no/such/dir/s.json"), st, &err));
}
