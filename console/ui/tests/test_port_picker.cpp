// The main window's port list on its own: what it lists, and ports that come and go.
#include "UiTestSupport.h"
#include "pelmar/ui/PortPicker.h"

#include <QComboBox>
#include <gtest/gtest.h>

using pelmar::ui::PortPicker;

namespace {

QStringList Entries(const QComboBox* box) {
    QStringList out;
    for (int i = 0; i < box->count(); ++i)
        out << box->itemText(i);
    return out;
}

TEST(PortPicker, ListsAutoTcpIpAndTheComPortsWithTheirDevices) {
    PortPicker picker(nullptr, false);
    EXPECT_EQ(picker.objectName(), "Frame1");
    EXPECT_EQ(picker.cboBaud->currentText(), "19200");
    EXPECT_EQ(picker.cboBaud->count(), 5);
    picker.Fill({"COM1", "LPT1", "com7", "COM12"},
                {{"com7", "/dev/pts/4", "a pseudo terminal"}, {"COM9", "/dev/ttyUSB0", "usb"}});
    EXPECT_EQ(Entries(picker.cboPort), (QStringList{"AUTO", "TCP/IP", "COM1", "com7", "COM12"}));
    EXPECT_EQ(picker.cboPort->currentIndex(), -1);
    EXPECT_EQ(picker.cboPort->itemData(4).toInt(), 12);
    EXPECT_EQ(picker.cboPort->itemData(3, PortPicker::kPathRole).toString(), "/dev/pts/4");
    EXPECT_EQ(picker.cboPort->itemData(3, Qt::ToolTipRole).toString(), "a pseudo terminal");
    EXPECT_EQ(picker.NameOfPath("/dev/pts/4"), "com7");
    EXPECT_EQ(picker.NameOfPath("/dev/ttyUSB0"), ""); // not listed
    // A second fill starts over.
    picker.Fill({"COM3"}, {});
    EXPECT_EQ(Entries(picker.cboPort), (QStringList{"AUTO", "TCP/IP", "COM3"}));
}

TEST(PortPicker, ArrivedPortsAreAddedOnceAndRemovedOnes) {
    PortPicker picker(nullptr, false);
    picker.Fill({"COM1"}, {});
    picker.cboPort->setCurrentIndex(2);
    const struct {
        const char* name;
        bool added;
    } arrivals[] = {{"COM12", true}, {"COM12", false}, {"com1", false}, {"ttyS0", false}};
    for (const auto& a : arrivals)
        EXPECT_EQ(picker.Add(a.name, {{"COM12", "/dev/ttyUSB3", "usb"}}), a.added) << a.name;
    EXPECT_EQ(Entries(picker.cboPort), (QStringList{"AUTO", "TCP/IP", "COM1", "COM12"}));
    EXPECT_EQ(picker.NameOfPath("/dev/ttyUSB3"), "COM12");
    EXPECT_TRUE(picker.Remove("com12"));
    EXPECT_FALSE(picker.Remove("COM12"));
    EXPECT_EQ(Entries(picker.cboPort), (QStringList{"AUTO", "TCP/IP", "COM1"}));
    EXPECT_EQ(picker.cboPort->currentText(), "COM1"); // the choice stays
}

} // namespace
