// CaptureFile: appends one block of bytes to a file that is opened for it and
// closed again at once, so that every block is on disk when the call returns
// and no handle stays open between blocks. The file is opened for appending
// (created with mode 0666 less the umask when missing, never truncated) and
// without any lock, so that other programs may read or write it meanwhile.
//
// Any thread may call it; two calls for the same file each append whole.
#pragma once

#include <cstddef>
#include <string>

namespace tapscope::platform {

enum class AppendResult {
    kWritten,      // opened, every byte written, closed
    kOpenFailed,   // the file could not be opened; nothing was written
    kWriteFailed,  // opened, but a write or the close failed; part may be written
};

// Opens |path|, appends |size| bytes from |data| and closes it. With |size| 0
// the file is only opened (created when missing) and closed. |error| receives
// the system's error number on failure.
AppendResult AppendToFile(const std::string& path, const char* data, std::size_t size, int& error);

}  // namespace tapscope::platform
