// StartedProgram: log_child under a name of its own, for tests of the log as
// a program starts: made by CDebug::Instance from the registry, named after
// the executable. The program is a hard link (else a copy) of log_child in a
// fresh temporary folder, "bin/TapScope-<pid>-<n>.bin", so its module name
// ("tapscope-<pid>-<n>"), its mutex and its default log folder (its own
// folder) are its own, whatever else runs on the machine. Both registry hives
// are private to the object, and so is the per-user state folder.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "platform/named_mutex.h"
#include "tests/support/child_process.h"
#include "tests/support/private_registry.h"
#include "tests/support/temp_dir.h"

namespace ZelLog::testing {

// What one run of the program reported.
struct ProgramRun {
    int exitCode = -1;
    int level = -1;
    bool writer = false;
    std::string module;
    std::string logPath;
    std::vector<std::string> debugTexts;  // with their line breaks restored
};

class StartedProgram {
public:
    StartedProgram() {
        static std::atomic<int> counter{0};
        const std::string id = std::to_string(::getpid()) + "-" + std::to_string(counter++);
        m_module = "tapscope-" + id;
        std::filesystem::create_directory(Bin());
        m_program = Bin() + "/TapScope-" + id + ".bin";
        // A link, not a symbolic one: /proc/self/exe names the path the
        // program was started from only for a hard link.
        std::error_code error;
        std::filesystem::create_hard_link(TAPSCOPE_LOG_CHILD, m_program, error);
        if (error) {
            std::filesystem::copy_file(TAPSCOPE_LOG_CHILD, m_program);
        }
    }
    ~StartedProgram() { tapscope::platform::NamedMutex::Remove(m_module); }

    StartedProgram(const StartedProgram&) = delete;
    StartedProgram& operator=(const StartedProgram&) = delete;

    const tapscope::testing::TempDir& Dir() const { return m_dir; }
    const tapscope::testing::PrivateRegistry& Registry() const { return m_registry; }
    std::string Bin() const { return m_dir.File("bin"); }
    const std::string& Program() const { return m_program; }
    const std::string& Module() const { return m_module; }
    // The log file in the program's own folder, where it goes by default.
    std::string DefaultLog() const { return Bin() + "/" + m_module + ".log"; }
    std::string StateFolder() const { return m_dir.File("state"); }

    // Replaces the machine hive with the header and |sections|.
    void WriteMachineHive(const std::string& sections) const {
        tapscope::testing::WriteFile(m_registry.MachineHive(), "REGEDIT4\n\n" + sections);
    }

    // Starts the program with "start" and |arguments| (see log_child.cpp).
    std::unique_ptr<tapscope::testing::ChildProcess> Launch(
        const std::vector<std::string>& arguments) const {
        std::vector<std::string> all{"start"};
        all.insert(all.end(), arguments.begin(), arguments.end());
        return std::make_unique<tapscope::testing::ChildProcess>(m_program, all);
    }

    // Waits for a launched program and reads its report.
    static ProgramRun Finish(tapscope::testing::ChildProcess& child) {
        ProgramRun run;
        const std::string output = child.ReadAll();
        child.Wait(30000, &run.exitCode);
        std::size_t start = 0;
        while (start < output.size()) {
            std::size_t end = output.find('\n', start);
            if (end == std::string::npos) {
                end = output.size();
            }
            const std::string line = output.substr(start, end - start);
            start = end + 1;
            int writer = 0;
            if (line.rfind("debug: ", 0) == 0) {
                run.debugTexts.push_back(Unescape(line.substr(7)));
            } else if (std::sscanf(line.c_str(), "level=%d writer=%d", &run.level, &writer) == 2) {
                run.writer = writer != 0;
            } else if (line.rfind("module=", 0) == 0) {
                run.module = line.substr(7);
            } else if (line.rfind("log=", 0) == 0) {
                run.logPath = line.substr(4);
            }
        }
        return run;
    }

    ProgramRun Run(const std::vector<std::string>& arguments) const {
        auto child = Launch(arguments);
        return Finish(*child);
    }

private:
    static std::string Unescape(const std::string& text) {
        std::string plain;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\\' && i + 1 < text.size()) {
                const char escaped = text[++i];
                plain += escaped == 'n' ? '\n' : escaped == 'r' ? '\r' : escaped;
            } else {
                plain += text[i];
            }
        }
        return plain;
    }

    tapscope::testing::TempDir m_dir;
    tapscope::testing::PrivateRegistry m_registry;
    tapscope::testing::EnvGuard m_state{"XDG_STATE_HOME", m_dir.File("state")};
    std::string m_module;
    std::string m_program;
};

}  // namespace ZelLog::testing
