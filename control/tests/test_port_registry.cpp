// Stable COM numbers: the environment's entries, the settings store, resolution of names and
// paths, and numbering of the ports the system scan finds.
#include "PortRegistry.h"

#include <QSettings>
#include <gtest/gtest.h>

#include "TestStore.h"

using namespace dorlin;

namespace {
QSettings Store() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Lorvane", "Lorvane");
}

class PortRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        IsolateSettings();
        Store().remove("Ports");
        qputenv("DORLIN_PORTS", "");
    }
    void TearDown() override { qputenv("DORLIN_PORTS", ""); }
};
} // namespace

TEST_F(PortRegistry, EnvironmentEntriesResolveAndList) {
    qputenv("DORLIN_PORTS", "COM7=/dev/pts/5, com8=/tmp/reader0,bad,COMx=/a,=/b,COM9=");
    EXPECT_EQ(ResolvePort("COM7"), "/dev/pts/5");
    EXPECT_EQ(ResolvePort("com8"), "/tmp/reader0");
    EXPECT_EQ(ResolvePort("COM9"), "");
    QStringList names;
    for (const PortEntry& e : ListPorts())
        if (e.description == "DORLIN_PORTS") names << e.name + "=" + e.path;
    EXPECT_EQ(names, QStringList({"COM7=/dev/pts/5", "COM8=/tmp/reader0"}));
}

TEST_F(PortRegistry, PathsPassThroughAndUnknownNamesResolveToNothing) {
    EXPECT_EQ(ResolvePort("/dev/ttyUSB3"), "/dev/ttyUSB3");
    EXPECT_EQ(ResolvePort("LPT1"), "");
    EXPECT_EQ(ResolvePort("COM"), "");
    EXPECT_EQ(ResolvePort("COM4321"), "");
}

TEST_F(PortRegistry, StoredNumbersAreKeptAndTheEnvironmentOverridesThem) {
    {
        QSettings s = Store();
        s.setValue("Ports/COM5", "/dev/serial/by-id/usb-Reader_A-if00");
        s.setValue("Ports/COM6", "/dev/ttyS9");
    }
    EXPECT_EQ(ResolvePort("COM5"), "/dev/serial/by-id/usb-Reader_A-if00");
    qputenv("DORLIN_PORTS", "COM6=/dev/pts/9");
    EXPECT_EQ(ResolvePort("COM6"), "/dev/pts/9");
}

TEST_F(PortRegistry, ScannedPortsGetNumbersThatStay) {
    const QList<FoundPort> found = ScanSerialPorts();
    const QList<PortEntry> first = ListPorts();
    EXPECT_EQ(first.size(), found.size());
    // Every port got a number, written to the store, and a second listing agrees.
    QSettings s = Store();
    for (const PortEntry& e : first) {
        EXPECT_GE(e.number, 1);
        EXPECT_EQ(s.value(QStringLiteral("Ports/%1").arg(e.name)).toString(), e.path);
        EXPECT_EQ(ResolvePort(e.name), e.path);
    }
    const QList<PortEntry> second = ListPorts();
    ASSERT_EQ(second.size(), first.size());
    for (int i = 0; i < first.size(); ++i) {
        EXPECT_EQ(second[i].name, first[i].name);
        EXPECT_EQ(second[i].path, first[i].path);
    }
}

TEST_F(PortRegistry, NewPortsSkipNumbersAlreadyTaken) {
    const QList<FoundPort> found = ScanSerialPorts();
    if (found.isEmpty()) GTEST_SKIP() << "this machine has no serial port to number";
    {
        QSettings s = Store();
        s.setValue("Ports/COM1", "/dev/gone-adapter");
        s.setValue("Ports/COM2", "/dev/other-gone-adapter");
    }
    qputenv("DORLIN_PORTS", "COM3=/tmp/x");
    const QList<PortEntry> ports = ListPorts();
    for (const PortEntry& e : ports) {
        if (e.description == "DORLIN_PORTS") continue;
        EXPECT_GE(e.number, 4) << e.path.toStdString();
    }
    // Ports that are gone are remembered but not listed.
    for (const PortEntry& e : ports)
        EXPECT_NE(e.path, "/dev/gone-adapter");
    EXPECT_EQ(ResolvePort("COM1"), "/dev/gone-adapter");
}
