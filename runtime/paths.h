// Folder, unique-name and volume functions of the log library. The native "/"
// plays the part that "\" plays in the Windows path rules. They keep no
// state; every one may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelmisc {

// The longest path the path functions work on, the terminator included.
constexpr std::size_t kMaxPath = 4096;

// Creates |folder| with every missing parent. 1 when the folder exists at the
// end, else 0. An empty path names the current folder and gives 1. A path that
// starts with "//" names a share on a server ("//server/share/dir"): the server
// part is never created, and a path that ends within it gives 0. Folders made
// before a failure stay. A path of kMaxPath characters or more gives 0.
int EnsureDirectory(const std::string& folder);

// A fresh name of 36 characters from a time-based UUID: 8-4-4-4-12 upper-case
// hexadecimal digits, the UUID's bytes in memory order, so that successive
// names differ early in the text.
std::string MakeUniqueName();

// The root folder of the volume that holds |path|:
//   "/var/log/x.log"      the folder the volume is mounted at, such as "/"
//   "//server/share/dir"  "//server/share/"
//   "relative/path"       "relative/"
//   "name"                "name" (no separator: the text stays whole)
// Both "/" and "\" separate components here.
std::string DiskRoot(const std::string& path);

// MiB free for the caller on the volume that holds |path|; 0 when it cannot be
// read, which callers take for a full volume.
std::uint64_t FreeDiskMegabytes(const std::string& path);

}  // namespace zelmisc
