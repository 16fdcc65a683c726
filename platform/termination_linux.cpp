#include "platform/termination.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <ctime>

namespace tapscope::platform {
namespace {

sigset_t TerminationSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

const char* SignalName(int signal) {
    switch (signal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "signal";
    }
}

}  // namespace

void BlockTerminationSignals() {
    const sigset_t set = TerminationSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool WaitForTerminationSignal(int timeoutMs, std::string& name) {
    const sigset_t set = TerminationSet();
    timespec timeout{};
    timeout.tv_sec = timeoutMs / 1000;
    timeout.tv_nsec = static_cast<long>(timeoutMs % 1000) * 1000000L;
    const int signal = sigtimedwait(&set, nullptr, &timeout);
    if (signal < 0) {
        return false;  // EAGAIN: none came in time; EINTR: another signal
    }
    name = SignalName(signal);
    return true;
}

}  // namespace tapscope::platform
