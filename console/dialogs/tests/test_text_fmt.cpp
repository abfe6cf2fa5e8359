// The input formatter on real line edits and combo boxes, driven by key clicks, pastes and
// focus changes: the key filter, the change rule and the lost-focus rule of each field kind.
#include "pelmar/dialogs/clsTextFMT.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QVBoxLayout>
#include <gtest/gtest.h>

using pelmar::dialogs::clsTextFMT;

namespace {

struct FieldKind {
    int type;
    double max, min;
    int byteLen;
};
const FieldKind kScanTime{clsTextFMT::FMTDecimal, 254, 5, 0};
const FieldKind kMachineID{clsTextFMT::FMTHex, 0, 0, 2};
const FieldKind kUserName{clsTextFMT::FMTText, 0, 0, 16};
const FieldKind kHexRange{clsTextFMT::FMTHex, 0xFF, 0x10, 2};
const FieldKind kDecNoRange{clsTextFMT::FMTDecimal, 0, 0, 4};

struct Field {
    QLineEdit edit;
    clsTextFMT fmt;
    explicit Field(const FieldKind& k, const QString& start = {}) {
        fmt.SetFMTTextBox(&edit);
        fmt.SetFMTType(k.type);
        fmt.SetMaxValue(k.max);
        fmt.SetMinValue(k.min);
        fmt.SetByteLen(k.byteLen);
        edit.setText(start);
    }
};

struct TypingCase {
    const char* name;
    FieldKind kind;
    QString start;
    QString keys;
    QString expected;
};

class Typing : public ::testing::TestWithParam<TypingCase> {};

TEST_P(Typing, KeysGiveText) {
    const TypingCase& c = GetParam();
    Field f(c.kind, c.start);
    f.edit.end(false);
    QTest::keyClicks(&f.edit, c.keys);
    EXPECT_EQ(f.edit.text(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Typing,
    ::testing::Values(
        // "3" may still become 30 to 39: kept while typing (the lost-focus rule clamps).
        TypingCase{"ScanTimeThreeIsOnTheWayToThirty", kScanTime, "", "3", "3"},
        TypingCase{"ScanTimeFiveThenZero", kScanTime, "", "50", "50"},
        // A first digit below the minimum is kept while more digits can reach the range.
        TypingCase{"ScanTimeTwentyCanBeTyped", kScanTime, "", "20", "20"},
        TypingCase{"ScanTimeHundredCanBeTyped", kScanTime, "", "100", "100"},
        TypingCase{"ScanTimeOneStaysWhileTyping", kScanTime, "", "1", "1"},
        TypingCase{"ScanTimeAboveMaximumRefused", kScanTime, "", "255", "25"},
        TypingCase{"ScanTimeFourthDigitRefused", kScanTime, "", "2540", "254"},
        TypingCase{"ScanTimeLettersRefused", kScanTime, "", "a7x", "7"},
        TypingCase{"ScanTimeThreeAfterTwentyFiveRefused", kScanTime, "", "263", "26"},
        TypingCase{"MachineIDLowerCaseBecomesUpper", kMachineID, "", "a", "A"},
        TypingCase{"MachineIDGRefused", kMachineID, "", "G", ""},
        TypingCase{"MachineIDThirdCharacterRefused", kMachineID, "", "1fe", "1F"},
        TypingCase{"HexRangeFirstDigitCanGrow", kHexRange, "", "1", "1"},
        TypingCase{"HexRangeZeroCannotGrowWithinTwoDigits", kHexRange, "", "0", ""},
        TypingCase{"DecimalWithoutRangeCutAtLength", kDecNoRange, "", "123456", "1234"},
        TypingCase{"UserNameSixteenthFitsSeventeenthRefused", kUserName, "", "ABCDEFGHIJKLMNOPQ",
                   "ABCDEFGHIJKLMNOP"},
        TypingCase{"UserNameKeepsCase", kUserName, "", "Front door", "Front door"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(TextFMT, DoubleByteCharactersCountTwoBytes) {
    Field f(kUserName);
    // Characters outside the single-byte code page count as two bytes: eight fit.
    const QString kanji = QString::fromUtf8("\u65e5");
    for (int i = 0; i < 10; ++i) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, kanji);
        QApplication::sendEvent(&f.edit, &press);
    }
    EXPECT_EQ(f.edit.text(), kanji.repeated(8));
    EXPECT_EQ(clsTextFMT::AnsiByteLen(f.edit.text()), 16);
    QTest::keyClicks(&f.edit, "x");
    EXPECT_EQ(f.edit.text(), kanji.repeated(8));
}

TEST(TextFMT, BackspaceAndDeleteAlwaysWork) {
    Field f(kScanTime, "254");
    f.edit.end(false);
    QTest::keyClick(&f.edit, Qt::Key_Backspace);
    EXPECT_EQ(f.edit.text(), "25");
    QTest::keyClick(&f.edit, Qt::Key_Backspace);
    // "2" is on its way to a value in range: typing goes on, the lost-focus rule decides.
    EXPECT_EQ(f.edit.text(), "2");
    f.edit.home(false);
    QTest::keyClick(&f.edit, Qt::Key_Delete);
    EXPECT_EQ(f.edit.text(), "");

    Field m(kMachineID, "AB");
    m.edit.home(false);
    QTest::keyClick(&m.edit, Qt::Key_Delete);
    EXPECT_EQ(m.edit.text(), "B");
}

TEST(TextFMT, TypingOverASelectionReplacesIt) {
    Field f(kScanTime, "10");
    f.edit.selectAll();
    QTest::keyClicks(&f.edit, "9");
    EXPECT_EQ(f.edit.text(), "9");
    f.edit.setSelection(0, 1);
    QTest::keyClicks(&f.edit, "3");
    EXPECT_EQ(f.edit.text(), "3") << "the selected 9 is replaced by a prefix of 30 to 39";
}

struct PasteCase {
    const char* name;
    FieldKind kind;
    QString pasted;
    QString expected;
};

class Pasting : public ::testing::TestWithParam<PasteCase> {};

TEST_P(Pasting, ChangeRuleFixesText) {
    const PasteCase& c = GetParam();
    Field f(c.kind);
    QGuiApplication::clipboard()->setText(c.pasted);
    QTest::keyClick(&f.edit, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(f.edit.text(), c.expected) << "pasted through the clipboard";
    Field g(c.kind);
    g.edit.setText(c.pasted);
    EXPECT_EQ(g.edit.text(), c.expected) << "set by program";
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Pasting,
    ::testing::Values(PasteCase{"ScanTimeAboveMaximumBecomesMaximum", kScanTime, "999", "254"},
                      PasteCase{"ScanTimeUnreadableBecomesMaximum", kScanTime, "abc", "254"},
                      PasteCase{"ScanTimeBelowMinimumBecomesMinimum", kScanTime, "2", "5"},
                      PasteCase{"ScanTimeInRangeKept", kScanTime, "77", "77"},
                      PasteCase{"ScanTimeHugeNumberBecomesMaximum", kScanTime,
                                "99999999999999999999999", "254"},
                      PasteCase{"MachineIDCutToTwo", kMachineID, "ABC", "AB"},
                      // The box holds at most two characters: "g1" is left, and the stranger goes.
                      PasteCase{"MachineIDStrangersDropped", kMachineID, "g1e", "1"},
                      PasteCase{"MachineIDLowerCaseRaised", kMachineID, "be", "BE"},
                      PasteCase{"HexRangePaddedToByteLen", kHexRange, "5", "10"},
                      PasteCase{"HexRangeUnreadableBecomesMaximum", kHexRange, "ZZ", "FF"},
                      PasteCase{"HexRangeZeroBecomesMinimum", kHexRange, "0", "10"},
                      PasteCase{"UserNameCutToSixteenBytes", kUserName, "Twenty characters 20",
                                "Twenty character"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(TextFMT, LostFocusClampsATypedPrefixBelowTheMinimum) {
    QWidget w;
    auto* lay = new QVBoxLayout(&w);
    auto* edit = new QLineEdit;
    auto* other = new QPushButton("x");
    lay->addWidget(edit);
    lay->addWidget(other);
    clsTextFMT fmt;
    fmt.SetFMTTextBox(edit);
    fmt.SetMaxValue(254);
    fmt.SetMinValue(5);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    edit->setFocus();
    QTest::keyClicks(edit, "2");
    EXPECT_EQ(edit->text(), "2");
    other->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !edit->hasFocus(); }, 5000));
    EXPECT_EQ(edit->text(), "5");
}

TEST(TextFMT, CommitRunsTheLostFocusRule) {
    Field f(kScanTime);
    QTest::keyClicks(&f.edit, "1");
    EXPECT_EQ(f.edit.text(), "1");
    f.fmt.Commit();
    EXPECT_EQ(f.edit.text(), "5");
    QTest::keyClicks(&f.edit, "0");
    EXPECT_EQ(f.edit.text(), "50");
    f.fmt.Commit();
    EXPECT_EQ(f.edit.text(), "50");
}

TEST(TextFMT, FixedLengthPadsAtOnceAndOnLostFocus) {
    Field f(kMachineID, "7");
    EXPECT_EQ(f.edit.text(), "7");
    f.fmt.SetHaveToFixLen(true);
    EXPECT_EQ(f.edit.text(), "07");
    f.edit.setText("C");
    f.fmt.Commit();
    EXPECT_EQ(f.edit.text(), "0C");
    f.edit.setText("");
    f.fmt.Commit();
    EXPECT_EQ(f.edit.text(), "00");
}

TEST(TextFMT, WritingPropertiesRerunsTheChangeRule) {
    QLineEdit edit;
    clsTextFMT fmt;
    fmt.SetFMTTextBox(&edit);
    edit.setText("300");
    EXPECT_EQ(edit.text(), "300") << "no rule yet: decimal without range or length";
    fmt.SetMaxValue(254);
    EXPECT_EQ(edit.text(), "254");
    fmt.SetMinValue(255);
    EXPECT_EQ(edit.text(), "254") << "range off when MaxValue < MinValue";
    fmt.SetByteLen(2);
    EXPECT_EQ(edit.maxLength(), 2);
    EXPECT_EQ(edit.text(), "25");
    fmt.SetByteLen(0);
    EXPECT_EQ(edit.maxLength(), 32767);
}

TEST(TextFMT, OnlyLineEditsAndComboBoxesBind) {
    clsTextFMT fmt;
    QPushButton button;
    fmt.SetFMTTextBox(&button);
    EXPECT_FALSE(fmt.IsBound());
    EXPECT_EQ(fmt.Text(), "");
    fmt.SetText("x");
    EXPECT_EQ(fmt.Text(), "");

    QComboBox combo;
    combo.setEditable(true);
    fmt.SetFMTTextBox(&combo);
    ASSERT_TRUE(fmt.IsBound());
    fmt.SetFMTType(clsTextFMT::FMTHex);
    fmt.SetByteLen(2);
    QTest::keyClicks(combo.lineEdit(), "a9z7");
    EXPECT_EQ(combo.currentText(), "A9");
    EXPECT_EQ(fmt.Text(), "A9");
}

} // namespace
