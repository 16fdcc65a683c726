// Moving and committing files: a rename that never replaces its target (the
// way Windows' MoveFile behaves), and flushes that put a file's data and a
// folder's names on the disk (FlushFileBuffers). Callers use them to make sure
// that no file is overwritten by a rename and that a file exists on the disk
// before the copy it replaces is deleted.
//
// Every function may be called from any thread.
#pragma once

#include <cstdio>
#include <string>
#include <system_error>

namespace tapscope::platform {

// Renames |from| to |to| when no file or folder named |to| exists; the check
// and the rename are one step where the file system supports it. Fails with
// std::errc::file_exists when |to| exists.
std::error_code MoveFileNoReplace(const std::string& from, const std::string& to);

// Writes the buffered data of |file| to the system and the file's data to the
// disk.
std::error_code FlushFileToDisk(std::FILE* file);

// Puts the names created, renamed or removed in |folder| on the disk.
std::error_code FlushFolderToDisk(const std::string& folder);

}  // namespace tapscope::platform
