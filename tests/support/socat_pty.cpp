#include "tests/support/socat_pty.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

extern char** environ;

namespace tapscope::testing {
namespace {

// How long socat may take to create both ends; only a guard against a socat
// that never gets there.
constexpr auto kStartLimit = std::chrono::seconds(20);
constexpr auto kPollInterval = std::chrono::milliseconds(5);

}  // namespace

SocatPty::SocatPty() {
    Launch();
}

SocatPty::SocatPty(const std::string& folder) : m_links(folder) {
    Launch();
}

void SocatPty::Launch() {
    const std::string device = "pty,raw,echo=0,link=" + DevicePath();
    const std::string peer = "pty,raw,echo=0,link=" + PeerPath();
    std::vector<char*> argv = {const_cast<char*>("socat"), const_cast<char*>(device.c_str()),
                               const_cast<char*>(peer.c_str()), nullptr};
    const int spawned = posix_spawnp(&m_pid, "socat", nullptr, nullptr, argv.data(), environ);
    if (spawned != 0) {
        m_pid = -1;
        m_error = std::string("cannot start socat: ") + std::strerror(spawned) +
                  " (scripts/install-deps test installs it)";
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (!std::filesystem::exists(DevicePath()) || !std::filesystem::exists(PeerPath())) {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            m_error = "socat ended before it created both pseudo-terminals";
            return;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            m_error = "socat did not create both pseudo-terminals";
            return;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    m_peer = ::open(PeerPath().c_str(), O_WRONLY | O_NOCTTY);
    if (m_peer < 0) {
        m_error = "cannot open " + PeerPath() + ": " + std::strerror(errno);
        return;
    }
    m_ok = true;
}

SocatPty::~SocatPty() {
    End();
}

bool SocatPty::Write(const std::string& bytes) {
    if (m_peer < 0) {
        return false;
    }
    return ::write(m_peer, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

void SocatPty::End() {
    if (m_peer >= 0) {
        ::close(m_peer);
        m_peer = -1;
    }
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
    }
}

}  // namespace tapscope::testing
