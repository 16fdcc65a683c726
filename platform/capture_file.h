// CaptureFile: where a capture's bytes go. A regular file is opened for every
// block and closed again at once, so that every block is on disk when the call
// returns and no handle stays open between blocks; it is opened for appending
// (created with mode 0600 when missing: captured traffic may hold card and
// customer data), never truncated and without any lock, so that other
// programs may read or write it meanwhile. A block whose write fails half-way
// is cut off again, so the file only ever holds whole blocks.
//
// A pipe (a FIFO, or standard output) is kept open from its first block to
// Close: closing it between blocks would tell its reader that the stream
// ended. Nothing ever waits for a pipe's reader to come; a full pipe is waited
// on in short slices that ask the caller whether to give up.
//
// A symbolic link at the file's name is followed only where the kernel's
// protected-symlinks rule would follow it: it belongs to this user, or its
// folder is not sticky and world-writable, or the folder's owner owns it too.
// So another user's link in /tmp cannot aim our writes at a file of theirs
// choosing.
//
// Threading: Check runs before any Append; Append and Close are called by one
// thread at a time.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace tapscope::platform {

enum class AppendResult {
    kWritten,      // every byte written (for Check: the file can be written)
    kOpenFailed,   // the file could not be opened; nothing was written
    kLinkRefused,  // the name is a link that is not followed; nothing was written
    kWriteFailed,  // opened, but a write or the close failed; see below
    kReaderGone,   // a pipe whose reader has closed it; the pipe is closed
    kGaveUp,       // a full pipe, and the caller asked to give up waiting
};

struct CaptureFileResult {
    AppendResult result = AppendResult::kWritten;
    int error = 0;       // the system's error number, 0 for our own reasons
    std::string reason;  // the failure in words, such as "No such file or directory"
    std::string link;    // kLinkRefused: the link that is not followed

    bool Ok() const { return result == AppendResult::kWritten; }
};

class CaptureFile {
public:
    // |path| names the file; with |standardOutput| the bytes go to the
    // process's standard output instead, and |path| only names it.
    explicit CaptureFile(std::string path, bool standardOutput = false);
    ~CaptureFile();
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    // Only the link rule: whether the name may be used at all.
    CaptureFileResult CheckLinks() const;
    // Whether the file can be created or appended to, leaving nothing behind:
    // a missing file is created and removed again, an existing one opened for
    // appending and closed, a FIFO only tested for write permission (opening
    // and closing it would end its reader's stream).
    CaptureFileResult Check();

    // Appends |size| bytes from |data|. With |size| 0 the file is only opened
    // (created when missing) and closed. While a pipe is full, |giveUp| is
    // asked every few tens of milliseconds; when it says true the rest of the
    // block is not written (kGaveUp). On kWriteFailed a regular file is cut
    // back to its length before the block, unless another program wrote to it
    // meanwhile.
    CaptureFileResult Append(const char* data, std::size_t size,
                             const std::function<bool()>& giveUp = {});

    // Closes a pipe kept open; its reader then sees the end of the stream.
    void Close();

    const std::string& Path() const { return m_path; }

private:
    CaptureFileResult Open(int& fd, bool& keep);
    CaptureFileResult OpenStandardOutput();

    const std::string m_path;
    const bool m_standardOutput;
    int m_keptFd = -1;  // an open pipe or standard output; -1 when none
    bool m_keptIsSocket = false;
};

// Whether standard output is open. Asked before the program opens any file
// of its own: one opened while it is closed would take its number.
bool StandardOutputIsOpen();

// Ignores SIGPIPE for the whole process, so that a write to a pipe whose
// reader went away fails with EPIPE instead of ending the program.
void IgnoreBrokenPipe();

}  // namespace tapscope::platform
