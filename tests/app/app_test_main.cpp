// The application tests run with Qt's offscreen platform: windows are real
// widgets, drawn without a display.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "tests/support/test_session.h"

#if defined(__SANITIZE_THREAD__)
// Qt is not built with ThreadSanitizer: its own locks (futex-based QMutex)
// are invisible to it, so the memory it allocates, copies and frees under
// them would be reported as races. Calls into the sanitizer's interceptors
// from such libraries are ignored; our code, and every lock it takes itself,
// is still checked.
extern "C" const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1";
}
#endif

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    // Neither the tests nor the tapscope processes they start touch the
    // machine's or the user's log configuration (GoogleTest owns and deletes
    // the environment).
    ::testing::AddGlobalTestEnvironment(new tapscope::testing::TestSession);
    return RUN_ALL_TESTS();
}
