// The application tests run with Qt's offscreen platform: windows are real
// widgets, drawn without a display.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "tests/support/private_registry.h"

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Neither the tests nor the tapscope processes they start touch the
    // machine's or the user's log configuration.
    tapscope::testing::PrivateRegistry registry;
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
