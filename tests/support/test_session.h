// TestSession: the GoogleTest environment around every test program's run. It
// gives the whole run its own registry hives, per-user folders and log folder
// in a fresh temporary folder, so that no test - and no code a test reaches
// through CDebug::Instance - reads or writes /etc/zel, the user's own
// configuration or the program's folder, and test programs running side by
// side share no hive. The process-wide log is made at once, off, without a
// named mutex, so that no two test processes share a mutex name either; tests
// switch it on through CDebugTestAccess.
//
// Child processes started by a test inherit the environment, so their hives
// and folders are the run's as well.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace tapscope::testing {

class TestSession : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;

    // The run's machine hive: it names the run's log folder as "Path".
    static std::string MachineHive();
    // The folder a process-wide log made from the run's registry writes to.
    static std::string LogFolder();

private:
    std::unique_ptr<TempDir> m_dir;
    std::vector<std::unique_ptr<EnvGuard>> m_environment;
};

}  // namespace tapscope::testing
