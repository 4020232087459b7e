// Test main for suites that need a real X server with a window manager
// (focus, activation, captions as the window manager shows them): starts a
// private Xvfb and openbox, runs the tests on Qt's xcb platform, and stops
// both at the end. Listing the tests needs no display.
#include <QApplication>
#include <cstdio>
#include <gtest/gtest.h>

#include "support/x_session.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
    pelk::test::XSession x;
    if (!x.Start()) {
        std::fprintf(stderr, "No X session for the tests: %s\n", x.Error.c_str());
        return 1;
    }
    qputenv("DISPLAY", x.Display.c_str());
    qputenv("QT_QPA_PLATFORM", "xcb");
    // Nothing of the user's own desktop session: no session bus (a global
    // menu service, accessibility), which the private display does not have.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
    int status;
    {
        QApplication app(argc, argv);
        status = RUN_ALL_TESTS();
    }
    return status;
}
