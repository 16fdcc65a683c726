// DebugOutput: the process-wide debug-output channel that stands in for the
// Windows debugger output. Text goes to the system log at debug priority, and
// to standard error as well when ZEL_DEBUG_STDERR=1. Tests install a sink that
// captures every text instead.
//
// Thread safety: every function may be called from any thread at any time.
#pragma once

#include <functional>
#include <string_view>

namespace tapscope::platform {

// Sends one text to the debug-output channel. The text is passed on as it
// stands; no newline is added.
void OutputDebugText(std::string_view text);

// Receives every text instead of the system log while installed.
using DebugOutputSink = std::function<void(std::string_view)>;

// Installs |sink| (an empty function restores the system log) and returns the
// sink that was installed before.
DebugOutputSink SetDebugOutputSink(DebugOutputSink sink);

}  // namespace tapscope::platform
