#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tapscope::testing {
namespace {

void CloseFd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments) {
    int input[2];
    int output[2];
    if (pipe2(input, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    }
    if (pipe2(output, O_CLOEXEC) != 0) {
        close(input[0]);
        close(input[1]);
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int result = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    close(output[1]);
    if (result != 0) {
        close(input[1]);
        close(output[0]);
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(result));
    }
    m_pid = pid;
    m_input = input[1];
    m_output = output[0];
}

ChildProcess::~ChildProcess() {
    CloseInput();
    if (!m_reaped && m_pid > 0) {
        Kill();
        int code = 0;
        Wait(30000, &code);
    }
    CloseFd(m_output);
}

bool ChildProcess::ReadMore(std::chrono::steady_clock::time_point deadline) {
    while (m_output >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd wanted{m_output, POLLIN, 0};
        if (poll(&wanted, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t got = read(m_output, buffer, sizeof buffer);
        if (got <= 0) {
            CloseFd(m_output);
            return false;
        }
        m_pending.append(buffer, static_cast<std::size_t>(got));
        return true;
    }
    return false;
}

std::string ChildProcess::ReadLine(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        const std::string::size_type newline = m_pending.find('\n');
        if (newline != std::string::npos) {
            std::string line = m_pending.substr(0, newline);
            m_pending.erase(0, newline + 1);
            return line;
        }
        if (!ReadMore(deadline)) {
            if (m_output >= 0) {
                return {};  // time is up; the partial line stays for the next call
            }
            std::string rest;
            rest.swap(m_pending);
            return rest;
        }
    }
}

std::string ChildProcess::ReadAll(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (ReadMore(deadline)) {
    }
    std::string all;
    all.swap(m_pending);
    return all;
}

void ChildProcess::CloseInput() {
    CloseFd(m_input);
}

bool ChildProcess::Wait(int timeoutMs, int* exitCode) {
    if (m_reaped) {
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        int status = 0;
        const pid_t done = waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            m_reaped = true;
            if (exitCode != nullptr) {
                *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            return true;
        }
        if (done < 0 || std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void ChildProcess::Kill() {
    if (!m_reaped && m_pid > 0) {
        kill(m_pid, SIGKILL);
    }
}

}  // namespace tapscope::testing
