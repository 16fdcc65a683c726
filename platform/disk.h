// Disk: the free space of a volume and the folder at which it is mounted.
#pragma once

#include <cstdint>
#include <string>

namespace tapscope::platform {

// Bytes free for an unprivileged caller on the volume that holds |path|;
// 0 when it cannot be read.
std::uint64_t FreeDiskBytes(const std::string& path);

// The folder at which the volume holding the absolute |path| is mounted, with
// a trailing "/" ("/" itself for the root volume). For a path that does not
// exist yet, its nearest existing parent decides. Empty when nothing can be
// examined.
std::string MountPointOf(const std::string& path);

}  // namespace tapscope::platform
