// Save options: the property rules and their storage in section "SaveOptions".
#include "pelmar/SaveOptions.h"

#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <cstdlib>
#include <gtest/gtest.h>

namespace {

// The settings store must point into a private folder before the first QSettings exists,
// since Qt reads XDG_CONFIG_HOME once per process.
struct PrivateConfigHome {
    QTemporaryDir dir;
    PrivateConfigHome() { setenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit().constData(), 1); }
};
PrivateConfigHome& ConfigHome() {
    static PrivateConfigHome home;
    return home;
}
[[maybe_unused]] const bool kHomeSet = (ConfigHome(), true);

QSettings Store() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Lorvane"),
                     QStringLiteral("Lorvane"));
}

class SaveOptionsStore : public ::testing::Test {
protected:
    void SetUp() override {
        QSettings s(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Lorvane"),
                    QStringLiteral("Lorvane"));
        s.clear();
        s.sync();
    }
    static void Put(const QString& key, const QString& value) {
        QSettings s(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Lorvane"),
                    QStringLiteral("Lorvane"));
        s.setValue(QStringLiteral("SaveOptions/") + key, value);
        s.sync();
    }
};

TEST(SaveOptionsProperties, EventNamesAreTrimmedAndEnable) {
    clsSaveOptions o;
    o.SetEventNames(1, QStringLiteral("  IN  "));
    EXPECT_EQ(o.EventNames(1), QStringLiteral("IN"));
    EXPECT_TRUE(o.EventEnableds(1));
    o.SetEventNames(1, QStringLiteral("   "));
    EXPECT_EQ(o.EventNames(1), QString());
    EXPECT_FALSE(o.EventEnableds(1));
}

TEST(SaveOptionsProperties, IndexOutsideZeroToNineIsIgnored) {
    clsSaveOptions o;
    o.SetEventNames(10, QStringLiteral("X"));
    o.SetEventNames(-1, QStringLiteral("X"));
    EXPECT_EQ(o.EventNames(10), QString());
    EXPECT_EQ(o.EventNames(-1), QString());
    EXPECT_FALSE(o.EventEnableds(10));
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(o.EventNames(i), QString()) << i;
}

TEST(SaveOptionsProperties, Defaults) {
    const clsSaveOptions o;
    EXPECT_FALSE(o.IsFormatFileExist());
    EXPECT_FALSE(o.IsAddMachineID());
    EXPECT_FALSE(o.IsAddUserName());
    EXPECT_FALSE(o.IsSDTInTwoFields());
    EXPECT_EQ(o.SaveFormat(), QStringLiteral("(Default)"));
    EXPECT_EQ(o.ConvertIDMethod(), 0);
}

TEST_F(SaveOptionsStore, EmptyStoreGivesDefaults) {
    clsSaveOptions o;
    o.SetEventNames(3, QStringLiteral("old"));
    o.SetIsAddUserName(true);
    o.SetSaveFormat(QStringLiteral("SiteA"));
    o.SetConvertIDMethod(2);
    pelmar::LoadSaveOptions(o);
    EXPECT_EQ(o, clsSaveOptions());
}

TEST_F(SaveOptionsStore, RoundTripWritesTheExactKeys) {
    clsSaveOptions o;
    o.SetEventNames(0, QStringLiteral("Start"));
    o.SetEventNames(9, QStringLiteral("Out, late"));
    o.SetIsAddMachineID(true);
    o.SetIsSDTInTwoFields(true);
    o.SetSaveFormat(QStringLiteral("SiteA"));
    o.SetConvertIDMethod(1);
    o.SetIsFormatFileExist(true);
    pelmar::StoreSaveOptions(o);

    QSettings s = Store();
    EXPECT_EQ(s.childGroups(), QStringList{QStringLiteral("SaveOptions")});
    s.beginGroup(QStringLiteral("SaveOptions"));
    QStringList keys = s.childKeys();
    keys.sort();
    EXPECT_EQ(keys, (QStringList{"ConvertIDMethod", "EventName_0", "EventName_1", "EventName_2",
                                 "EventName_3", "EventName_4", "EventName_5", "EventName_6",
                                 "EventName_7", "EventName_8", "EventName_9", "IsAddMachineID",
                                 "IsAddUserName", "IsSDTInTwoFields", "SaveFormat"}));
    EXPECT_EQ(s.value("EventName_0").toString(), QStringLiteral("Start"));
    EXPECT_EQ(s.value("EventName_5").toString(), QString());
    EXPECT_EQ(s.value("EventName_9").toString(), QStringLiteral("Out, late"));
    EXPECT_EQ(s.value("IsAddMachineID").toString(), QStringLiteral("True"));
    EXPECT_EQ(s.value("IsAddUserName").toString(), QStringLiteral("False"));
    EXPECT_EQ(s.value("IsSDTInTwoFields").toString(), QStringLiteral("True"));
    EXPECT_EQ(s.value("SaveFormat").toString(), QStringLiteral("SiteA"));
    EXPECT_EQ(s.value("ConvertIDMethod").toString(), QStringLiteral("1"));
    s.endGroup();

    clsSaveOptions back;
    back.SetIsFormatFileExist(true); // not stored: loading leaves it alone
    pelmar::LoadSaveOptions(back);
    EXPECT_EQ(back, o);
}

TEST_F(SaveOptionsStore, StoreLivesUnderTheConfigHome) {
    pelmar::StoreSaveOptions(clsSaveOptions());
    EXPECT_TRUE(QFile::exists(ConfigHome().dir.path() + QStringLiteral("/Lorvane/Lorvane.conf")));
}

struct FlagCase {
    const char* name;
    QString stored;
    bool value;
};
class StoredFlag : public SaveOptionsStore, public ::testing::WithParamInterface<FlagCase> {};
TEST_P(StoredFlag, CountsAsTrueOnlyWhenItReadsTrue) {
    Put(QStringLiteral("IsAddUserName"), GetParam().stored);
    Put(QStringLiteral("IsAddMachineID"), GetParam().stored);
    Put(QStringLiteral("IsSDTInTwoFields"), GetParam().stored);
    clsSaveOptions o;
    pelmar::LoadSaveOptions(o);
    EXPECT_EQ(o.IsAddUserName(), GetParam().value);
    EXPECT_EQ(o.IsAddMachineID(), GetParam().value);
    EXPECT_EQ(o.IsSDTInTwoFields(), GetParam().value);
}
const FlagCase kFlags[] = {
    {"LowerTrue", "true", true}, {"UpperTrue", "TRUE", true}, {"Mixed", "True", true},
    {"Yes", "yes", false},       {"One", "1", false},         {"Empty", "", false},
    {"False", "False", false},
};
INSTANTIATE_TEST_SUITE_P(Values, StoredFlag, ::testing::ValuesIn(kFlags),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(SaveOptionsStore, StoredTextsAreReadBack) {
    Put(QStringLiteral("EventName_2"), QStringLiteral("  Lunch "));
    Put(QStringLiteral("SaveFormat"), QStringLiteral(""));
    Put(QStringLiteral("ConvertIDMethod"), QStringLiteral("2"));
    clsSaveOptions o;
    pelmar::LoadSaveOptions(o);
    EXPECT_EQ(o.EventNames(2), QStringLiteral("Lunch"));
    EXPECT_TRUE(o.EventEnableds(2));
    EXPECT_EQ(o.SaveFormat(), QString());
    EXPECT_EQ(o.ConvertIDMethod(), 2);
}

TEST_F(SaveOptionsStore, UnreadableMethodIsNone) {
    Put(QStringLiteral("ConvertIDMethod"), QStringLiteral("abc"));
    clsSaveOptions o;
    o.SetConvertIDMethod(2);
    pelmar::LoadSaveOptions(o);
    EXPECT_EQ(o.ConvertIDMethod(), 0);
}

TEST_F(SaveOptionsStore, HandEditedCommaListReadsAsOneName) {
    {
        QFile f(ConfigHome().dir.path() + QStringLiteral("/Lorvane/Lorvane.conf"));
        QDir().mkpath(ConfigHome().dir.path() + QStringLiteral("/Lorvane"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("[SaveOptions]\nEventName_4=In, Out\n");
    }
    clsSaveOptions o;
    pelmar::LoadSaveOptions(o);
    EXPECT_EQ(o.EventNames(4), QStringLiteral("In, Out"));
}

} // namespace
