// The main window's address editor on its own, typed into as a person would: digits only,
// numbers of 0 to 255, the keys that move between the fields, and the caption that shows
// the address once a field is left.
#include "UiTestSupport.h"
#include "pelmar/ui/IpAddressEditor.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <TestSupport.h>
#include <gtest/gtest.h>

using pelmar::ui::IpAddressEditor;

namespace {

class AddressEditor : public ::testing::Test {
protected:
    void SetUp() override {
        editor = std::make_unique<IpAddressEditor>();
        editor->show();
        // The fields take the focus only in the active window.
        QApplication::setActiveWindow(editor.get());
        ASSERT_TRUE(lvtest::waitFor([&] { return editor->isActiveWindow(); }, 5000));
    }
    QLineEdit* Field(int i) const { return editor->txtIP[i]; }
    // Field i with the cursor at `pos` and nothing selected (once the selection the focus
    // brings has been made).
    void Cursor(int i, int pos) {
        QCoreApplication::processEvents();
        Field(i)->setCursorPosition(pos);
    }
    // Focus into field i (its text selected, as a click or Tab leaves it).
    void Enter(int i) {
        Field(i)->setFocus(Qt::TabFocusReason);
        ASSERT_TRUE(lvtest::waitFor([&] { return Field(i)->hasFocus(); }, 2000));
        Field(i)->selectAll();
    }
    std::unique_ptr<IpAddressEditor> editor;
};

TEST_F(AddressEditor, StartsAtZeroAndShowsAStoredAddress) {
    EXPECT_EQ(editor->objectName(), "FrameIP");
    EXPECT_EQ(editor->title(), "0.0.0.0");
    EXPECT_EQ(editor->Address(), "0.0.0.0");
    EXPECT_EQ(editor->Label5->text(), "IP");
    editor->SetFields({192, 168, 0, 20});
    EXPECT_EQ(editor->title(), "192.168.0.20");
    EXPECT_EQ(Field(1)->text(), "168");
    EXPECT_EQ(editor->Field(3), 20);
}

TEST_F(AddressEditor, FieldsReadAsNumbers) {
    const struct {
        const char* fields[4];
        const char* address;
    } cases[] = {
        {{"010", "", "7", "255"}, "10.0.7.255"},
        {{"0", "00", "000", "1"}, "0.0.0.1"},
    };
    for (const auto& c : cases) {
        for (int i = 0; i < 4; ++i)
            Field(i)->setText(QString::fromLatin1(c.fields[i]));
        EXPECT_EQ(editor->Address(), c.address);
    }
}

TEST_F(AddressEditor, DigitsOnlyAndANumberAbove255Becomes255) {
    QSignalSpy outOfRange(editor.get(), &IpAddressEditor::OutOfRange);
    Enter(0);
    QTest::keyClicks(Field(0), "1a.-2");
    EXPECT_EQ(Field(0)->text(), "12");
    EXPECT_EQ(outOfRange.count(), 0);
    Enter(1);
    QTest::keyClicks(Field(1), "256");
    EXPECT_EQ(Field(1)->text(), "255");
    EXPECT_EQ(outOfRange.count(), 1);
    // A stored number above 255 is mended the same way.
    editor->SetFields({1, 2, 3, 999});
    EXPECT_EQ(Field(3)->text(), "255");
    EXPECT_EQ(editor->title(), "1.2.3.255");
    EXPECT_EQ(outOfRange.count(), 2);
}

TEST_F(AddressEditor, UpAndDownStepWithinTheRange) {
    editor->SetFields({254, 1, 0, 0});
    Enter(0);
    for (int i = 0; i < 3; ++i)
        QTest::keyClick(Field(0), Qt::Key_Up);
    EXPECT_EQ(Field(0)->text(), "255");
    Enter(1);
    for (int i = 0; i < 3; ++i)
        QTest::keyClick(Field(1), Qt::Key_Down);
    EXPECT_EQ(Field(1)->text(), "0");
}

TEST_F(AddressEditor, KeysMoveBetweenTheFields) {
    // Three typed digits move on, except from the last field.
    Enter(0);
    QTest::keyClicks(Field(0), "192");
    EXPECT_TRUE(Field(1)->hasFocus());
    Enter(3);
    QTest::keyClicks(Field(3), "100");
    EXPECT_TRUE(Field(3)->hasFocus());
    // Space, Return and Enter move on, from the last field to the first.
    QTest::keyClick(Field(3), Qt::Key_Space);
    EXPECT_TRUE(Field(0)->hasFocus());
    QTest::keyClick(Field(0), Qt::Key_Return);
    EXPECT_TRUE(Field(1)->hasFocus());
    QTest::keyClick(Field(1), Qt::Key_Enter);
    EXPECT_TRUE(Field(2)->hasFocus());
    // Left at the start and Backspace in an empty field go back; Right at the end goes on.
    Field(2)->setText("");
    QTest::keyClick(Field(2), Qt::Key_Backspace);
    EXPECT_TRUE(Field(1)->hasFocus());
    Cursor(1, 0);
    QTest::keyClick(Field(1), Qt::Key_Left);
    EXPECT_TRUE(Field(0)->hasFocus());
    Cursor(0, int(Field(0)->text().size()));
    QTest::keyClick(Field(0), Qt::Key_Right);
    EXPECT_TRUE(Field(1)->hasFocus());
    // Inside a field the arrows only move the cursor.
    Field(1)->setText("25");
    Cursor(1, 1);
    QTest::keyClick(Field(1), Qt::Key_Right);
    EXPECT_TRUE(Field(1)->hasFocus());
    EXPECT_EQ(Field(1)->cursorPosition(), 2);
}

TEST_F(AddressEditor, LeavingAFieldWritesItAsANumberAndShowsTheAddress) {
    Enter(2);
    QTest::keyClicks(Field(2), "07");
    EXPECT_EQ(editor->title(), "0.0.0.0"); // shown once the field is left
    Enter(3);
    EXPECT_EQ(Field(2)->text(), "7");
    EXPECT_EQ(editor->title(), "0.0.7.0");
}

} // namespace
