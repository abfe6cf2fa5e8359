// The port watcher and the public port list.
#include "dorlin/PortWatcher.h"

#include <gtest/gtest.h>

#include "TestStore.h"

#include "PortRegistry.h"

TEST(PortWatcher, StartsOrSaysWhyNot) {
    dorlin::PortWatcher w;
    // Containers without udev have no monitor; then the watcher stays inactive and silent.
    if (!w.IsActive()) GTEST_SKIP() << "no udev monitor on this machine";
    EXPECT_TRUE(w.IsActive());
}

TEST(PortWatcher, SerialPortsMatchTheNumberedList) {
    IsolateSettings();
    qputenv("DORLIN_PORTS", "COM21=/tmp/reader21");
    const QList<dorlin::PortInfo> pub = dorlin::SerialPorts();
    const QList<dorlin::PortEntry> all = dorlin::ListPorts();
    ASSERT_EQ(pub.size(), all.size());
    for (int i = 0; i < pub.size(); ++i) {
        EXPECT_EQ(pub[i].name, all[i].name);
        EXPECT_EQ(pub[i].path, all[i].path);
        EXPECT_EQ(pub[i].description, all[i].description);
    }
    EXPECT_EQ(pub.last().name, "COM21");
    qputenv("DORLIN_PORTS", "");
}
