// GoogleTest entry point for tests that need a Qt event loop. Runs on the offscreen
// platform with the C locale so that results never depend on the machine. The tests' own
// sockets go direct: their peers are on loopback, and a system proxy look-up would run on a
// thread of libproxy's that ThreadSanitizer sees racing with ours.
#include <QApplication>
#include <QLocale>
#include <QNetworkProxy>
#include <clocale>
#include <cstdlib>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("LC_ALL", "C.UTF-8", 1);
    std::setlocale(LC_ALL, "C.UTF-8");
    QLocale::setDefault(QLocale::c());
    QApplication app(argc, argv);
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
