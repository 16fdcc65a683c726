// The program itself as a child process, for the tests that run it end to
// end: its standard error joined to its output, read a line at a time.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace tapscope::testing {

// tapscope with |args|, its standard error going where its output goes.
inline std::unique_ptr<ChildProcess> StartTapscope(const std::vector<std::string>& args) {
    std::vector<std::string> shellArgs = {"-c", "exec \"$0\" \"$@\" 2>&1", TAPSCOPE_PROGRAM};
    shellArgs.insert(shellArgs.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>("/bin/sh", shellArgs);
}

// Reads lines until one contains |part|; every line read goes to |seen|.
// False when the output ends first without it.
inline bool ReadUntil(ChildProcess& child, const std::string& part, std::string& seen) {
    while (true) {
        const std::string line = child.ReadLine();
        if (line.empty() && child.ReadAll(0).empty()) {
            return seen.find(part) != std::string::npos;
        }
        seen += line + "\n";
        if (line.find(part) != std::string::npos) {
            return true;
        }
    }
}

}  // namespace tapscope::testing
