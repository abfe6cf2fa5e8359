// The settings record: field texts and their limits, the read-out that stops at the first
// time-out, and the write sequence that writes only changed fields and stops at the first
// refusal.
#include "Harness.h"
#include "pelmar/core/DeviceSettings.h"

#include <gtest/gtest.h>

using namespace pelmar;
using namespace pelmar::test;

struct FieldCase {
    const char* name;
    const char* value;
    bool ok;
    const char* readBack; // Field() after a successful SetField
};

class SettingsField : public ::testing::TestWithParam<FieldCase> {};

TEST_P(SettingsField, TextIsTakenWithinTheFieldsLimits) {
    const FieldCase& c = GetParam();
    DeviceSettings s;
    QString why;
    EXPECT_EQ(s.SetField(c.name, c.value, &why), c.ok) << why.toStdString();
    if (c.ok)
        EXPECT_EQ(s.Field(c.name), QString(c.readBack));
    else
        EXPECT_TRUE(why.startsWith(QString(c.name) + ": ") || why.startsWith("unknown setting: "))
            << why.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Fields, SettingsField,
    ::testing::Values(
        FieldCase{"MacID", "7", true, "7"}, FieldCase{"MacID", "1f", true, "1F"},
        FieldCase{"MacID", "1FF", false, ""}, FieldCase{"MacID", "G1", false, ""},
        FieldCase{"UserName", "Front Door", true, "Front Door"},
        FieldCase{"UserName", "0123456789ABCDEFG", false, ""},
        FieldCase{"PowerMode", "255", true, "255"}, FieldCase{"PowerMode", "2", false, ""},
        FieldCase{"PowerOffTime", "1800", true, "1800"},
        FieldCase{"PowerOffTime", "ten", false, ""}, FieldCase{"Beep", "yes", true, "True"},
        FieldCase{"Beep", "0", true, "False"}, FieldCase{"Beep", "maybe", false, ""},
        FieldCase{"DateMode", "YYYY/MM/DD", true, "255"},
        FieldCase{"DateMode", "dd/mm/yyyy", true, "1"}, FieldCase{"DateMode", "0", true, "0"},
        FieldCase{"DateMode", "254", false, ""}, FieldCase{"OptionsOfEvent", "10", true, "10"},
        FieldCase{"OptionsOfEvent", "4", true, "4"}, FieldCase{"OptionsOfEvent", "0", false, ""},
        FieldCase{"OptionsOfEvent", "11", false, ""}, FieldCase{"ScanMode", "255", true, "255"},
        FieldCase{"ScanMode", "1", false, ""}, FieldCase{"RFIDScanTime", "5", true, "5"},
        FieldCase{"RFIDScanTime", "254", true, "254"}, FieldCase{"RFIDScanTime", "4", false, ""},
        FieldCase{"IsLockDateTime", "TRUE", true, "True"}, FieldCase{"Colour", "blue", false, ""}));

TEST(SettingsLimits, PowerOffTimeLimitDependsOnTheFirmware) {
    EXPECT_EQ(MaxPowerOffTime("AKRN-A0103 V2.0"), 1800);
    EXPECT_EQ(MaxPowerOffTime("AKRN-A0102 V1.05"), 255);
    EXPECT_EQ(MaxPowerOffTime(""), 255);
}

namespace {
// A reader that answers every register read with 00 and refuses the writes to one register.
struct SettingsPeer : ::testing::Test {
    QByteArray refusedWrite; // e.g. "C19"
    bool silent = false;
    ScriptedPeer peer{[this](const QByteArray& f) -> QByteArray {
        if (silent) return {};
        qsizetype stx = f.lastIndexOf('\x02');
        QByteArray cmd = f.mid(stx + 1, f.size() - stx - 2);
        if (cmd.startsWith('B')) return Reply("A00", true);
        if (cmd.startsWith('C'))
            return !refusedWrite.isEmpty() && cmd.startsWith(refusedWrite) ? Reply("N")
                                                                           : Reply("A");
        if (cmd == "I") return Reply("A01");
        if (cmd == "N") return Reply("A0000", true);
        return Reply("A");
    }};
    LinkUnderTest lut;
    ReaderSession session{&lut.link};
    modKt9 kt9{session};
    void SetUp() override {
        lut.ctrl.SetRnetTimeout(200);
        ASSERT_TRUE(lut.Open(peer.Path()));
    }
    QList<QByteArray> Writes() {
        QList<QByteArray> w;
        for (const QByteArray& f : peer.Received().split('\r'))
            if (f.contains("\x02"
                           "C"))
                w << f.mid(f.indexOf('\x02') + 1, 3);
        return w;
    }
};
} // namespace

TEST_F(SettingsPeer, ReadOutFillsEveryField) {
    DeviceSettings s;
    SettingsOutcome r = ReadDeviceSettings(kt9, s);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(s.MacID, "01");
    EXPECT_EQ(s.UserName, "");
    EXPECT_TRUE(s.IsLockDateTime) << "register 80 holding 0 means locked";
}

TEST_F(SettingsPeer, ReadOutStopsAtTheFirstTimeout) {
    silent = true;
    DeviceSettings s;
    SettingsOutcome r = ReadDeviceSettings(kt9, s);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.item, "MacID");
}

TEST_F(SettingsPeer, OnlyChangedFieldsAreWrittenInOrder) {
    DeviceSettings loaded, edited;
    edited.ScanMode = 255;
    edited.Beep = true;
    edited.RFIDScanTime = 10;
    SettingsOutcome r = ApplyDeviceSettings(kt9, loaded, edited);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(Writes(), (QList<QByteArray>{"C19", "C1F", "C1D"}));
    EXPECT_TRUE(peer.Received().contains("C1D,FF")) << "a scan time of 10 is stored as 255";
}

TEST_F(SettingsPeer, TheFirstRefusedWriteStopsTheSequence) {
    refusedWrite = "C12";
    DeviceSettings loaded, edited;
    edited.Beep = true;
    edited.PowerMode = 1;
    edited.LCDOffTime = 30;
    SettingsOutcome r = ApplyDeviceSettings(kt9, loaded, edited);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.item, "Power Mode");
    EXPECT_EQ(Writes(), (QList<QByteArray>{"C19", "C12", "C12", "C12"}))
        << "three attempts, and the LCD time after it is not written";
}

TEST_F(SettingsPeer, DateFormatIsWrittenOnAnEmptyReader) {
    DeviceSettings loaded, edited;
    edited.DateMode = kDateModeYMD;
    SettingsOutcome r = ApplyDeviceSettings(kt9, loaded, edited);
    EXPECT_TRUE(r.ok);
    EXPECT_FALSE(r.dateModeKept);
    EXPECT_EQ(Writes(), (QList<QByteArray>{"C1A"}));
}
