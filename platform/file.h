// File: the file operations of the log writer - a file opened for appending
// (created when missing, never truncated), its length, unbuffered writes, and
// the moment a file was created.
//
// The creation moment stands in for the Windows file creation time, which a
// program may set. Linux lets no program set a file's birth time, so the moment
// is recorded in the extended attribute "user.zel.created" (decimal seconds
// since 1970); where the file system keeps no such attribute, the birth time
// that the file system itself recorded (statx) is read instead.
//
// An AppendFile is used by one thread at a time. The free functions may be
// called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tapscope::platform {

class AppendFile {
public:
    AppendFile() = default;
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Opens |path| for writing at its end, never truncated. A symbolic link
    // under the name is refused (ELOOP), never followed; a missing file is
    // created new (mode 0640 less the umask). False with |error| (errno).
    bool Open(const std::string& path, int& error);
    bool IsOpen() const { return m_fd >= 0; }

    // The length of the open file; false for anything but a regular file.
    bool Length(std::uint64_t& length, int& error) const;
    // Places the write position at the end of the file.
    bool SeekToEnd(int& error);
    // Writes all of |data|; false with |error| when the system refuses a part.
    bool Write(const char* data, std::size_t size, int& error);
    // Records |seconds| (since 1970) as the moment the file was created.
    bool RecordCreationTime(std::int64_t seconds);
    // Closes the file; false when the system reported an error on closing.
    bool Close();

private:
    int m_fd = -1;
};

// The moment |path| was created, in seconds since 1970: the recorded moment,
// else the file system's birth time. False when neither can be read.
bool ReadFileCreationTime(const std::string& path, std::int64_t& seconds);

// The system's text for an error number, such as "Permission denied".
std::string ErrorText(int error);

}  // namespace tapscope::platform
