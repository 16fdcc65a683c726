#include "platform/terminal.h"

#include <poll.h>
#include <unistd.h>

namespace tapscope::platform {

bool IsTerminal(StandardStream stream) {
    switch (stream) {
        case StandardStream::kInput:
            return isatty(STDIN_FILENO) == 1;
        case StandardStream::kOutput:
            return isatty(STDOUT_FILENO) == 1;
        case StandardStream::kError:
            return isatty(STDERR_FILENO) == 1;
    }
    return false;
}

bool WaitForInput(int timeoutMs) {
    pollfd wanted{STDIN_FILENO, POLLIN, 0};
    return poll(&wanted, 1, timeoutMs) > 0;
}

}  // namespace tapscope::platform
