// The save options dialog: filled from the options, the format list from "Format.ini", OK
// copies every control back, Cancel leaves the options alone.
#include "DialogDriver.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <pelmar/dialogs/frmSaveOptions.h>

using namespace pelmar::dialogs;
using dlgtest::Find;
using dlgtest::WhenModal;

namespace {

QString WriteIni(const QTemporaryDir& dir, const QByteArray& text) {
    const QString path = dir.path() + "/Format.ini";
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(text);
    return path;
}

clsSaveOptions Sample(bool formatFile) {
    clsSaveOptions o;
    o.SetIsFormatFileExist(formatFile);
    o.SetEventNames(0, "IN");
    o.SetEventNames(9, "OUT");
    o.SetIsAddUserName(true);
    o.SetSaveFormat("Payroll");
    o.SetConvertIDMethod(clsSaveOptions::ConvertDecToHex);
    return o;
}

TEST(SaveOptionsDialog, FilledFromTheOptions) {
    QTemporaryDir dir;
    const QString ini =
        WriteIni(dir, "[GENERAL]\r\nx=1\r\n[(Default)]\r\n[Payroll]\r\n[general]\r\n");
    frmSaveOptions dlg(Sample(true), ini);
    EXPECT_EQ(Find<QLineEdit>(&dlg, "txtEvents_0")->text(), "IN");
    EXPECT_EQ(Find<QLineEdit>(&dlg, "txtEvents_0")->cursorPosition(), 2);
    EXPECT_EQ(Find<QLineEdit>(&dlg, "txtEvents_9")->text(), "OUT");
    EXPECT_EQ(Find<QLineEdit>(&dlg, "txtEvents_5")->text(), "");
    EXPECT_FALSE(Find<QCheckBox>(&dlg, "chkAddMachineID")->isChecked());
    EXPECT_TRUE(Find<QCheckBox>(&dlg, "chkAddUserName")->isChecked());
    EXPECT_FALSE(Find<QCheckBox>(&dlg, "chkSDTInTwoFields")->isChecked());
    auto* fmt = Find<QComboBox>(&dlg, "cboSaveFormat");
    ASSERT_EQ(fmt->count(), 2) << "GENERAL in any letter case is left out";
    EXPECT_EQ(fmt->itemText(0), "(Default)");
    EXPECT_EQ(fmt->currentText(), "Payroll");
    auto* conv = Find<QComboBox>(&dlg, "cboConvertID");
    EXPECT_EQ(conv->count(), 3);
    EXPECT_EQ(conv->currentText(), "DEC to HEX");
    EXPECT_FALSE(Find<QGroupBox>(&dlg, "fraSaveFile")->isHidden());
    EXPECT_EQ(dlg.windowTitle(), " Save Options");
}

TEST(SaveOptionsDialog, UnknownSavedFormatSelectsTheFirstAndOnlySiteAIsOffered) {
    QTemporaryDir dir;
    const QString ini = WriteIni(dir, "[GENERAL]\r\n[SiteA]\r\nFormat=x\r\n");
    clsSaveOptions o = Sample(true);
    o.SetSaveFormat("   ");
    frmSaveOptions dlg(o, ini);
    auto* fmt = Find<QComboBox>(&dlg, "cboSaveFormat");
    ASSERT_EQ(fmt->count(), 1);
    EXPECT_EQ(fmt->currentText(), "SiteA");
}

TEST(SaveOptionsDialog, WithoutFormatFileOnlyEventsAndFieldsShow) {
    frmSaveOptions dlg(Sample(false), "/nonexistent/Format.ini");
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    EXPECT_TRUE(Find<QGroupBox>(&dlg, "fraSaveFile")->isHidden());
    // Rows 5 to 9 stand in a second column beside rows 0 to 4.
    auto* e0 = Find<QLineEdit>(&dlg, "txtEvents_0");
    auto* e4 = Find<QLineEdit>(&dlg, "txtEvents_4");
    auto* e5 = Find<QLineEdit>(&dlg, "txtEvents_5");
    EXPECT_EQ(e5->y(), e0->y());
    EXPECT_GT(e5->x(), e0->x());
    EXPECT_GT(e4->y(), e0->y());
}

TEST(SaveOptionsDialog, OKCopiesEveryControl) {
    QTemporaryDir dir;
    const QString ini = WriteIni(dir, "[(Default)]\r\n[Payroll]\r\n[InOut]\r\n");
    clsSaveOptions o = Sample(true);
    WhenModal<frmSaveOptions>([](frmSaveOptions* d) {
        auto* e1 = Find<QLineEdit>(d, "txtEvents_1");
        QTest::keyClicks(e1, "  BREAK  ");
        auto* e0 = Find<QLineEdit>(d, "txtEvents_0");
        e0->selectAll();
        QTest::keyClick(e0, Qt::Key_Backspace);
        QTest::mouseClick(Find<QCheckBox>(d, "chkAddMachineID"), Qt::LeftButton);
        QTest::mouseClick(Find<QCheckBox>(d, "chkAddUserName"), Qt::LeftButton);
        Find<QCheckBox>(d, "chkSDTInTwoFields")->click();
        Find<QComboBox>(d, "cboSaveFormat")->setCurrentIndex(2);
        Find<QComboBox>(d, "cboConvertID")->setCurrentIndex(1);
        Find<QPushButton>(d, "cmdOK")->click();
    });
    ASSERT_TRUE(ShowOptions(o, nullptr, ini));
    EXPECT_EQ(o.EventNames(0), "");
    EXPECT_FALSE(o.EventEnableds(0));
    EXPECT_EQ(o.EventNames(1), "BREAK");
    EXPECT_TRUE(o.EventEnableds(1));
    EXPECT_EQ(o.EventNames(9), "OUT");
    EXPECT_TRUE(o.IsAddMachineID());
    EXPECT_FALSE(o.IsAddUserName());
    EXPECT_TRUE(o.IsSDTInTwoFields());
    EXPECT_EQ(o.SaveFormat(), "InOut");
    EXPECT_EQ(o.ConvertIDMethod(), clsSaveOptions::ConvertHexToDec);
}

TEST(SaveOptionsDialog, CancelLeavesTheOptionsAlone) {
    const clsSaveOptions before = Sample(true);
    clsSaveOptions o = before;
    WhenModal<frmSaveOptions>([](frmSaveOptions* d) {
        QTest::keyClicks(Find<QLineEdit>(d, "txtEvents_3"), "LUNCH");
        Find<QCheckBox>(d, "chkAddMachineID")->click();
        Find<QPushButton>(d, "cmdCancel")->click();
    });
    EXPECT_FALSE(ShowOptions(o, nullptr, "/nonexistent/Format.ini"));
    EXPECT_TRUE(o == before);
}

TEST(SaveOptionsDialog, WithoutFormatFileTheSavedFormatStays) {
    clsSaveOptions o = Sample(false);
    WhenModal<frmSaveOptions>([](frmSaveOptions* d) { Find<QPushButton>(d, "cmdOK")->click(); });
    ASSERT_TRUE(ShowOptions(o, nullptr, "/nonexistent/Format.ini"));
    EXPECT_EQ(o.SaveFormat(), "Payroll");
    EXPECT_EQ(o.ConvertIDMethod(), clsSaveOptions::ConvertDecToHex);
}

} // namespace
