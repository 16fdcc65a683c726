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

// The log's registry keys below HKEY_LOCAL_MACHINE.
inline const std::string kLogMainKey = "SOFTWARE\\ZEL\\Korvantis";
inline const std::string kLogCommonKey = kLogMainKey + "\\Debug";

// A section header of the machine hive.
inline std::string MachineSection(const std::string& path) {
    return "[HKEY_LOCAL_MACHINE\\" + path + "]\n";
}

// The machine hive that a first start writes back on a fresh machine: every
// common setting with its default, and an empty key of |module|.
inline std::string DefaultMachineHive(const std::string& module) {
    return "REGEDIT4\n\n" + MachineSection(kLogCommonKey) +
           "\"DebugTime\"=\"48\"\n"
           "\"DebugBufferSize\"=dword:00001000\n"
           "\"DebugSize\"=\"100\"\n"
           "\"DebugZipDays\"=\"2\"\n"
           "\"DebugOptions\"=dword:00000001\n"
           "\"DebugLevel\"=\"0\"\n"
           "\"DebugExtension\"=\"log\"\n"
           "\"DebugQueueMaxLines\"=\"5000\"\n"
           "\"DebugFlushPeriod\"=\"500\"\n\n" +
           MachineSection(kLogCommonKey + "\\" + module) + "\n";
}

}  // namespace tapscope::testing
