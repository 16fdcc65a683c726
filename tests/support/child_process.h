// ChildProcess: a real child process for interprocess tests, started from a
// program path and arguments, with a pipe to its standard input and one from
// its standard output. A child still running when the object goes is killed.
// Every wait is bounded.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace tapscope::testing {

class ChildProcess {
public:
    // Starts |program| with |arguments| (not counting the program name).
    // Throws std::runtime_error when it cannot be started.
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line the child wrote, without its "\n"; empty at end of output
    // or when none came within |timeoutMs|.
    std::string ReadLine(int timeoutMs = 30000);
    // Everything the child wrote until it closed its output (bounded).
    std::string ReadAll(int timeoutMs = 30000);
    // Closes the child's standard input: it reads end of file.
    void CloseInput();
    // Waits up to |timeoutMs| for the child to end. True when it ended;
    // |exitCode| receives its exit code, or 128 + the signal that ended it.
    bool Wait(int timeoutMs, int* exitCode);
    void Kill();
    int Pid() const { return m_pid; }

private:
    // Waits until |deadline| for more output and adds it to m_pending. False
    // when the time is up or the output has ended (the pipe is closed then).
    bool ReadMore(std::chrono::steady_clock::time_point deadline);

    int m_pid = -1;
    int m_input = -1;   // the child's standard input
    int m_output = -1;  // the child's standard output
    std::string m_pending;
    bool m_reaped = false;
};

}  // namespace tapscope::testing
