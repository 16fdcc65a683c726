// The log's configuration: the registry keys it reads, the reading rules of
// its values, and the steps that turn the registry and the executable's path
// into LogSettings (module name, every value with its bounds, the log file
// path). The steps return their results and touch no log object; the values
// are read once, when the log is created.
//
// Keys live under the registry path given at creation ("SOFTWARE\ZEL\Korvantis"):
//   main key     <path>                    read only ("Debug")
//   common key   <path>\Debug              created if missing; defaults written back
//   module key   <path>\Debug\<module>     created if missing; overrides the common key
// Each is looked for under HKEY_LOCAL_MACHINE first, then HKEY_CURRENT_USER.
//
// Not thread-safe per key; the functions keep no shared state of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "log/log_settings.h"
#include "platform/registry.h"

namespace ZelLog {

// One opened key: its status (0 = open), handle, path and access mask. A key
// that could not be opened reads nothing and ignores writes.
class RegistryKey {
public:
    RegistryKey() = default;
    RegistryKey(RegistryKey&&) noexcept = default;
    RegistryKey& operator=(RegistryKey&&) noexcept = default;

    // |path| under HKEY_LOCAL_MACHINE, else under HKEY_CURRENT_USER.
    static RegistryKey Open(const std::string& path, std::uint32_t access);
    // Open, else create under HKEY_LOCAL_MACHINE, else under HKEY_CURRENT_USER
    // (full access).
    static RegistryKey OpenOrCreate(const std::string& path);

    int Status() const { return m_status; }
    const std::string& Path() const { return m_path; }
    std::uint32_t Access() const { return m_access; }
    tapscope::platform::RegistryRoot Root() const { return m_root; }
    // When set, the key is closed and created again before each write.
    void SetReopen(bool reopen) { m_reopen = reopen; }

    // A text value: at most kMaxTextBytes bytes with its terminator; the name is
    // cut to kMaxTextNameLength characters. A REG_DWORD reads as its decimal
    // text. False when there is no such text.
    bool ReadText(const std::string& name, std::string& text) const;
    // A four-byte value; the name is cut to kMaxDwordNameLength characters. A
    // REG_SZ holding a decimal number reads as that number.
    bool ReadDword(const std::string& name, std::uint32_t& value) const;
    bool WriteText(const std::string& name, const std::string& text);
    bool WriteDword(const std::string& name, std::uint32_t value);

    void Close();

    static constexpr std::size_t kMaxTextBytes = 10240;
    static constexpr std::size_t kMaxTextNameLength = 259;
    static constexpr std::size_t kMaxDwordNameLength = 29;

private:
    bool PrepareWrite();

    bool m_reopen = false;
    int m_status = static_cast<int>(tapscope::platform::RegistryStatus::kNotOpen);
    tapscope::platform::RegistryHandle m_handle;
    tapscope::platform::RegistryRoot m_root = tapscope::platform::RegistryRoot::kLocalMachine;
    std::string m_path;
    std::uint32_t m_access = 0;
};

// Decimal text read with the C atoi rules: leading white space, an optional
// sign, digits; anything else ends the number; no digits give 0. A number
// beyond the 32-bit range is held at its limit.
std::int32_t AtoiValue(const std::string& text);

// The value |name| as decimal text: from the common key (or |defaultValue|
// when missing or empty), written back to it as text, then overridden by the
// module key's text when that is not empty. Either key may be null.
std::int32_t ReadIntSetting(RegistryKey* common, RegistryKey* module, const std::string& name,
                            std::int32_t defaultValue);
// The same for a REG_DWORD value.
std::uint32_t ReadDwordSetting(RegistryKey* common, RegistryKey* module, const std::string& name,
                               std::uint32_t defaultValue);
// A text value: from |first| (written back to it when |writeBack|), then from
// the module key; an empty or missing value keeps the text so far.
std::string ReadStringSetting(RegistryKey* first, RegistryKey* module, const std::string& name,
                              const std::string& defaultValue, bool writeBack);

// The module name and folder of an executable path:
//   "/opt/Tarvelon/tapScope.bin" -> module "tapscope", folder "/opt/Tarvelon"
//   "/usr/bin/tapscope"          -> module "tapscope", folder "/usr/bin"
struct ModulePaths {
    std::string moduleName;  // lower-case file name without its extension
    std::string folder;      // the folder, as it is spelt
};
ModulePaths ModulePathsOf(const std::string& executablePath);

// Reads every value, in its order and with its bounds, into LogSettings:
// moduleName as given, every number, extension, filter, and path ("Path" as
// read; the executable's folder when it is missing). Opens and creates the
// common and module keys; logFilePath stays empty.
LogSettings ReadLogSettings(const std::string& registryPath, const std::string& moduleName,
                            const std::string& executableFolder);

// The log file path: |logFolder|/<module>.<extension> when |logFolder| is
// given; else in settings.path (one trailing "/" removed; the executable's
// folder when it cannot be made) when a file can be created there; else in
// the per-user folder <state>/Tarvelon/Korvantis/. Empty when even that fails.
std::string ChooseLogFilePath(const LogSettings& settings, const std::string& logFolder,
                              const std::string& executableFolder);

// All of it for the running executable, or for |executablePath|.
LogSettings ReadLogConfiguration(const std::string& logFolder, const std::string& registryPath);
LogSettings ReadLogConfiguration(const std::string& logFolder, const std::string& registryPath,
                                 const std::string& executablePath);

// The debug-output text that says where the log goes (no line break):
// "Process 'tapscope': write log to: '/var/log/tapscope.log' and using registry: '...'"
std::string LogDestinationText(const LogSettings& settings, const std::string& registryPath);

// With a rotation age of 0 each run starts a new log: deletes the old file.
// A file that cannot be deleted stays (reported on the debug output); false
// then.
bool DeleteLogAtStart(const LogSettings& settings);

}  // namespace ZelLog
