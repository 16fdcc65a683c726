// PrivateRegistry: both registry hives in a fresh temporary folder, named
// through ZEL_HKLM_HIVE and ZEL_HKCU_HIVE for the life of the object, so that
// tests never touch /etc/zel or the user's own hive. The hive files do not
// exist until something is written.
#pragma once

#include <string>

#include "tests/support/temp_dir.h"

namespace tapscope::testing {

class PrivateRegistry {
public:
    PrivateRegistry()
        : m_machine("ZEL_HKLM_HIVE", m_dir.File("HKEY_LOCAL_MACHINE.reg")),
          m_user("ZEL_HKCU_HIVE", m_dir.File("HKEY_CURRENT_USER.reg")) {}

    std::string MachineHive() const { return m_dir.File("HKEY_LOCAL_MACHINE.reg"); }
    std::string UserHive() const { return m_dir.File("HKEY_CURRENT_USER.reg"); }
    const TempDir& Dir() const { return m_dir; }

private:
    TempDir m_dir;
    EnvGuard m_machine;
    EnvGuard m_user;
};

}  // namespace tapscope::testing
