// Child processes for interprocess tests: a test starts this very test program
// again in a "role" (a function registered with TAPSCOPE_CHILD_ROLE), which runs
// before GoogleTest would and exits with the role's result.
//
//   TAPSCOPE_CHILD_ROLE(WriteValues) { ...; return 0; }   // args: the strings given
//   EXPECT_EQ(RunChild("WriteValues", {hive, "a"}), 0);
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tapscope::testing {

using ChildRole = int (*)(const std::vector<std::string>& args);

// Runs |role| and exits when this process was started for the role |name|.
bool RegisterChildRole(const char* name, ChildRole role);

// Starts the test program in role |name| with |args|; -1 on failure.
pid_t StartChild(const std::string& name, const std::vector<std::string>& args);
// Waits for |child|: its exit status, or -1 when it did not exit normally.
int WaitChild(pid_t child);
inline int RunChild(const std::string& name, const std::vector<std::string>& args) {
    return WaitChild(StartChild(name, args));
}

// Switches this (child) process to the user "nobody"; false when it cannot.
bool DropToNobody();

// The exit status of a role that cannot run here (such as without root).
constexpr int kChildCannotRun = 77;

}  // namespace tapscope::testing

#define TAPSCOPE_CHILD_ROLE(name)                                        \
    static int name##ChildRole(const std::vector<std::string>& args);    \
    [[maybe_unused]] static const bool name##ChildRoleRegistered =       \
        ::tapscope::testing::RegisterChildRole(#name, &name##ChildRole); \
    static int name##ChildRole([[maybe_unused]] const std::vector<std::string>& args)
