// Plain files in a folder that other users may write to: what a name is
// without following a symbolic link, reading a file only when it is a regular
// file (never through a symbolic link, never waiting on a named pipe or a
// device), and creating a file only where no name exists yet, so that a link
// planted under that name is never written through.
//
// A PlainFileReader or NewFileWriter is used by one thread at a time; the free
// functions may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <system_error>

namespace tapscope::platform {

enum class PathKind {
    kMissing,
    kRegular,
    kFolder,
    kSymlink,
    kPipe,
    kSocket,
    kDevice,
};

// What |path| itself is; a symbolic link is reported, not followed. Fails
// (with kMissing) when the name cannot be examined for another reason than
// not being there, such as a folder on the way that cannot be searched.
std::error_code LinkKind(const std::string& path, PathKind& kind);

// "a regular file", "a folder", "a symbolic link", "a named pipe", ...
const char* PathKindName(PathKind kind);

// Whether |path| itself (not what a link points to) belongs to the process's
// effective user. False when it cannot be examined.
bool OwnedByThisUser(const std::string& path);

class PlainFileReader {
public:
    PlainFileReader() = default;
    ~PlainFileReader();
    PlainFileReader(const PlainFileReader&) = delete;
    PlainFileReader& operator=(const PlainFileReader&) = delete;

    // Opens |path| for reading when it is a regular file. Anything else is
    // refused before it is opened, and again after (in case the name was
    // swapped meanwhile): |kind| then says what it is, and the result is
    // std::errc::invalid_argument. Other failures are the system's.
    std::error_code Open(const std::string& path, PathKind& kind);
    // Reads up to |size| bytes; |got| is 0 at the end of the file.
    std::error_code Read(void* buffer, std::size_t size, std::size_t& got);
    void Close();

private:
    int m_fd = -1;
};

class NewFileWriter {
public:
    NewFileWriter() = default;
    // Closes a file that is still open; its name stays.
    ~NewFileWriter();
    NewFileWriter(const NewFileWriter&) = delete;
    NewFileWriter& operator=(const NewFileWriter&) = delete;

    // Creates |path| with the permission bits |mode| (less the umask). Fails
    // with std::errc::file_exists when any name is there already, a dangling
    // symbolic link included.
    std::error_code Create(const std::string& path, unsigned mode);
    // Writes all of |data|.
    std::error_code Write(const void* data, std::size_t size);
    // Puts the file's data on the disk.
    std::error_code SyncToDisk();
    // Closes the file; an error the system reports on closing is returned.
    std::error_code Close();

private:
    int m_fd = -1;
};

}  // namespace tapscope::platform
