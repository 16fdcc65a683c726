// Terminal: whether the standard streams are a terminal, and waiting for
// input on standard input without blocking the caller for good.
//
// Any thread may call these.
#pragma once

namespace tapscope::platform {

enum class StandardStream { kInput, kOutput, kError };

bool IsTerminal(StandardStream stream);

// Waits up to |timeoutMs| until standard input has something to read (a line
// on a terminal, or the end of input). True when it has.
bool WaitForInput(int timeoutMs);

}  // namespace tapscope::platform
