// UserFolders: the per-user folders of the XDG base directories, the stand-ins
// for the Windows per-user application-data folders. Each call reads the
// environment anew; any thread may call them.
#pragma once

#include <string>

namespace tapscope::platform {

// $HOME, else the home folder of the effective user's passwd entry; empty
// when neither names one.
std::string HomeFolder();
// $XDG_CONFIG_HOME when it is an absolute path, else HomeFolder() + "/.config";
// empty without a home folder.
std::string UserConfigFolder();
// $XDG_STATE_HOME when it is an absolute path, else HomeFolder() +
// "/.local/state"; empty without a home folder.
std::string UserStateFolder();

}  // namespace tapscope::platform
