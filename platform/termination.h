// Termination: the signals that ask a console program to end (SIGINT from
// Ctrl-C, SIGTERM, SIGHUP when the terminal goes away), taken as requests that
// the program reads when it is ready, instead of handlers that run anywhere.
//
// BlockTerminationSignals must be called by the main thread before it starts
// any other thread, so that every thread inherits the blocked mask and the
// signals wait until WaitForTerminationSignal takes them.
#pragma once

#include <string>

namespace tapscope::platform {

// Blocks the termination signals in the calling thread.
void BlockTerminationSignals();

// Waits up to |timeoutMs| (0: only looks) for a blocked termination signal.
// True when one came; |name| receives its name, such as "SIGINT".
bool WaitForTerminationSignal(int timeoutMs, std::string& name);

}  // namespace tapscope::platform
