#include "tests/support/test_session.h"

#include <filesystem>

#include "log/log_settings.h"
#include "tests/support/log_test_access.h"

namespace tapscope::testing {
namespace {

// The session's folder while a run is on; empty outside.
std::string g_folder;

std::string RegText(const std::string& text) {
    std::string quoted;
    for (char c : text) {
        if (c == '\\' || c == '"') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted;
}

}  // namespace

std::string TestSession::MachineHive() {
    return g_folder + "/HKEY_LOCAL_MACHINE.reg";
}

std::string TestSession::LogFolder() {
    return g_folder + "/logs";
}

void TestSession::SetUp() {
    m_dir = std::make_unique<TempDir>();
    g_folder = m_dir->Path();
    const std::pair<const char*, std::string> variables[] = {
        {"ZEL_HKLM_HIVE", MachineHive()},
        {"ZEL_HKCU_HIVE", m_dir->File("HKEY_CURRENT_USER.reg")},
        {"XDG_CONFIG_HOME", m_dir->File("config")},
        {"XDG_STATE_HOME", m_dir->File("state")},
    };
    for (const auto& [name, value] : variables) {
        m_environment.push_back(std::make_unique<EnvGuard>(name, value));
    }
    // A log made from the registry defaults would go to the program's folder
    // (the build tree): the run's hive sends it to the run's folder instead.
    std::filesystem::create_directory(LogFolder());
    WriteFile(MachineHive(),
              "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\ZEL\\Korvantis\\Debug]\n"
              "\"Path\"=\"" +
                  RegText(LogFolder()) + "\"\n");
    // Off, as with no configuration, and with a mutex private to the process.
    ZelLog::LogSettings off;
    off.logFilePath = LogFolder() + "/tests.log";
    ZelLog::CDebugTestAccess::InstallProcessLog(off);
}

void TestSession::TearDown() {
    // Stops a writer that a test left running before its folder goes.
    ZelLog::LogSettings off;
    ZelLog::CDebugTestAccess::InstallProcessLog(off);
    m_environment.clear();
    g_folder.clear();
    m_dir.reset();
}

}  // namespace tapscope::testing
