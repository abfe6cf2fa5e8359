// The console's link control opened on a device path, and a fixture that opens it (with the
// reader session and module on top) on a simulated reader from testing/SimReader.h.
#pragma once
#include "SimReader.h"

#include <dorlin/CDorlinCtrl.h>
#include <gtest/gtest.h>
#include <memory>
#include <pelmar/core/DorlinLink.h>
#include <pelmar/core/ReaderSession.h>
#include <pelmar/core/modKt9.h>

namespace dlgtest {

struct Link {
    Link() : ctrl(nullptr, false), link(&ctrl) { ctrl.SetRnetTimeout(1000); }
    bool Open(const QString& path) {
        ctrl.SetExtPort(path);
        ctrl.SetExtPortOpen(true);
        return ctrl.PortOpen();
    }
    CDorlinCtrl ctrl;
    pelmar::DorlinLink link;
};

struct Kt9OnReader : ::testing::Test {
    std::unique_ptr<lvtest::SimReader> sim;
    Link link;
    std::unique_ptr<pelmar::ReaderSession> session;
    std::unique_ptr<pelmar::modKt9> kt9;

    // Starts readersim with `args`, opens the link on it and, when asked, logs in with the
    // reader's default ID.
    void Start(const QStringList& args, bool login = true) {
        sim = std::make_unique<lvtest::SimReader>(args);
        ASSERT_TRUE(sim->ok());
        ASSERT_TRUE(link.Open(sim->Link()));
        session = std::make_unique<pelmar::ReaderSession>(&link.link);
        kt9 = std::make_unique<pelmar::modKt9>(*session);
        if (login) {
            ASSERT_TRUE(link.ctrl.Login("4826"));
        }
    }
};

} // namespace dlgtest
