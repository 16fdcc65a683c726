// The main of every GoogleTest program of the project: the tests run inside
// one TestSession.
#include <gtest/gtest.h>

#include "tests/support/test_session.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // GoogleTest owns and deletes the environment.
    ::testing::AddGlobalTestEnvironment(new tapscope::testing::TestSession);
    return RUN_ALL_TESTS();
}
