#include "log/configuration.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "platform/debug_output.h"
#include "platform/system_info.h"
#include "platform/user_folders.h"
#include "runtime/paths.h"

namespace ZelLog {
namespace {

namespace platform = tapscope::platform;
using platform::RegistryRoot;
using platform::RegistryStatus;

constexpr std::uint32_t kOpenAccess = platform::kKeyAllAccess | platform::kKeyWow64_32Key;
constexpr std::uint32_t kReadAccess = platform::kKeyRead | platform::kKeyWow64_32Key;

// Defaults of the values (LogSettings holds the same ones).
constexpr std::int32_t kDefaultMaxAgeHours = 48;
constexpr std::uint32_t kDefaultBufferSize = 4096;
constexpr std::int32_t kDefaultMaxSizeMb = 100;
constexpr std::int32_t kDefaultZipDays = 2;
constexpr std::uint32_t kDefaultOptions = 1;
constexpr std::uint32_t kDefaultQueueMaxLines = 5000;
constexpr std::int32_t kDefaultFlushPeriod = 500;
constexpr const char* kDefaultExtension = "log";

// Bounds: a value below the minimum becomes the default (0 stays 0 where 0
// means "no limit").
constexpr std::int32_t kMinMaxAgeHours = 48;
constexpr std::uint32_t kMinBufferSize = 100;
// A line buffer larger than this is refused: no log line needs it, and the
// largest values (up to 4294967295) cannot be allocated.
constexpr std::uint32_t kMaxBufferSize = 16u << 20;
constexpr std::int32_t kMinMaxSizeMb = 100;
constexpr std::int32_t kMinZipDays = 2;
constexpr std::uint32_t kMinQueueMaxLines = 5000;
constexpr std::int32_t kMinFlushPeriod = 500;

// The per-user log folder below the user's state folder.
constexpr const char* kUserLogFolder = "/Tarvelon/Korvantis/";

constexpr RegistryRoot kRoots[] = {RegistryRoot::kLocalMachine, RegistryRoot::kCurrentUser};

std::string Cut(const std::string& name, std::size_t length) {
    return name.size() > length ? name.substr(0, length) : name;
}

// Decimal text of a REG_SZ as a number, when it holds one.
bool NumberOfText(const std::string& text, std::uint32_t& value) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
        ++i;
    }
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        ++i;
    }
    if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) {
        return false;
    }
    value = static_cast<std::uint32_t>(AtoiValue(text));
    return true;
}

std::int32_t AtLeast(std::int32_t value, std::int32_t minimum, std::int32_t fallback) {
    return (value != 0 && value < minimum) ? fallback : value;
}

// Whether a line buffer of |size| + 1 bytes can be had.
bool CanAllocate(std::uint32_t size) {
    char* probe = new (std::nothrow) char[static_cast<std::size_t>(size) + 1];
    delete[] probe;
    return probe != nullptr;
}

bool FileCanBeCreatedIn(const std::string& folder) {
    const std::string probe = folder + "/" + zelmisc::MakeUniqueName();
    // "x": never open a file that is there already.
    std::FILE* file = std::fopen(probe.c_str(), "wx");
    if (file == nullptr) {
        return false;
    }
    std::fclose(file);
    std::remove(probe.c_str());
    return true;
}

}  // namespace

// ---------------------------------------------------------- RegistryKey --

RegistryKey RegistryKey::Open(const std::string& path, std::uint32_t access) {
    RegistryKey key;
    key.m_path = path;
    key.m_access = access;
    for (RegistryRoot root : kRoots) {
        const RegistryStatus status = platform::OpenRegistryKey(root, path, access, key.m_handle);
        key.m_status = static_cast<int>(status);
        key.m_root = root;
        if (status == RegistryStatus::kOk) {
            break;
        }
    }
    return key;
}

RegistryKey RegistryKey::OpenOrCreate(const std::string& path) {
    RegistryKey key = Open(path, kOpenAccess);
    if (key.m_status == 0) {
        return key;
    }
    for (RegistryRoot root : kRoots) {
        const RegistryStatus status =
            platform::CreateRegistryKey(root, path, kOpenAccess, key.m_handle);
        key.m_status = static_cast<int>(status);
        key.m_root = root;
        if (status == RegistryStatus::kOk) {
            break;
        }
    }
    return key;
}

bool RegistryKey::ReadText(const std::string& name, std::string& text) const {
    if (m_status != 0) {
        return false;
    }
    platform::RegistryValue value;
    if (m_handle.Query(Cut(name, kMaxTextNameLength), value) != RegistryStatus::kOk) {
        return false;
    }
    switch (value.type) {
        case platform::RegistryValueType::kString:
            // The text and its terminator must fit the read buffer.
            if (value.text.size() + 1 > kMaxTextBytes) {
                return false;
            }
            text = std::move(value.text);
            return true;
        case platform::RegistryValueType::kDword:
            text = std::to_string(value.dword);
            return true;
        case platform::RegistryValueType::kOther:
            break;
    }
    return false;
}

bool RegistryKey::ReadDword(const std::string& name, std::uint32_t& number) const {
    if (m_status != 0) {
        return false;
    }
    platform::RegistryValue value;
    if (m_handle.Query(Cut(name, kMaxDwordNameLength), value) != RegistryStatus::kOk) {
        return false;
    }
    switch (value.type) {
        case platform::RegistryValueType::kDword:
            number = value.dword;
            return true;
        case platform::RegistryValueType::kString:
            return NumberOfText(value.text, number);
        case platform::RegistryValueType::kOther:
            break;
    }
    return false;
}

bool RegistryKey::PrepareWrite() {
    if (m_reopen) {
        m_handle.Close();
        m_status =
            static_cast<int>(platform::CreateRegistryKey(m_root, m_path, m_access, m_handle));
    }
    return m_status == 0;
}

bool RegistryKey::WriteText(const std::string& name, const std::string& text) {
    return PrepareWrite() && m_handle.SetString(name, text) == RegistryStatus::kOk;
}

bool RegistryKey::WriteDword(const std::string& name, std::uint32_t value) {
    return PrepareWrite() && m_handle.SetDword(name, value) == RegistryStatus::kOk;
}

void RegistryKey::Close() {
    if (m_status == 0) {
        m_handle.Close();
    }
    m_status = static_cast<int>(RegistryStatus::kNotOpen);
}

// ------------------------------------------------------ reading values --

std::int32_t AtoiValue(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Accumulated as a negative number, whose range is the larger one.
    constexpr std::int64_t kLowest = std::numeric_limits<std::int32_t>::min();
    std::int64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 - (text[i] - '0');
        if (value < kLowest) {
            value = kLowest - 1;  // held below the limit: the digits no longer matter
        }
    }
    if (negative) {
        return static_cast<std::int32_t>(std::max(value, kLowest));
    }
    return static_cast<std::int32_t>(std::min(-value, std::int64_t{INT32_MAX}));
}

std::int32_t ReadIntSetting(RegistryKey* common, RegistryKey* module, const std::string& name,
                            std::int32_t defaultValue) {
    std::int32_t result = defaultValue;
    std::string text;
    if (common != nullptr) {
        if (common->ReadText(name, text) && !text.empty()) {
            result = AtoiValue(text);
        }
        common->WriteText(name, std::to_string(result));
    }
    if (module != nullptr && module->ReadText(name, text) && !text.empty()) {
        result = AtoiValue(text);
    }
    return result;
}

std::uint32_t ReadDwordSetting(RegistryKey* common, RegistryKey* module, const std::string& name,
                               std::uint32_t defaultValue) {
    std::uint32_t result = defaultValue;
    if (common != nullptr) {
        if (!common->ReadDword(name, result)) {
            result = defaultValue;
        }
        common->WriteDword(name, result);
    }
    std::uint32_t value = 0;
    if (module != nullptr && module->ReadDword(name, value)) {
        result = value;
    }
    return result;
}

std::string ReadStringSetting(RegistryKey* first, RegistryKey* module, const std::string& name,
                              const std::string& defaultValue, bool writeBack) {
    std::string result = defaultValue;
    std::string text;
    if (first != nullptr) {
        if (first->ReadText(name, text) && !text.empty()) {
            result = text;
        }
        if (writeBack) {
            first->WriteText(name, result);
        }
    }
    if (module != nullptr && module->ReadText(name, text) && !text.empty()) {
        result = text;
    }
    return result;
}

// ------------------------------------------------------- construction --

ModulePaths ModulePathsOf(const std::string& executablePath) {
    ModulePaths paths;
    const std::size_t slash = executablePath.find_last_of('/');
    const std::string file =
        slash == std::string::npos ? executablePath : executablePath.substr(slash + 1);
    paths.folder = slash == std::string::npos ? std::string() : executablePath.substr(0, slash);
    // The extension is the part after the file name's last dot; a name without
    // one (the rule on Linux) is the module name as a whole.
    const std::size_t dot = file.find_last_of('.');
    paths.moduleName = dot == std::string::npos ? file : file.substr(0, dot);
    for (char& c : paths.moduleName) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return paths;
}

LogSettings ReadLogSettings(const std::string& registryPath, const std::string& moduleName,
                            const std::string& executableFolder) {
    LogSettings settings;
    settings.moduleName = moduleName;

    // Every value written back lands in one write of each hive.
    platform::RegistryBatch batch;
    const std::string commonPath = registryPath + "\\Debug";
    RegistryKey common = RegistryKey::OpenOrCreate(commonPath);
    RegistryKey module = RegistryKey::OpenOrCreate(commonPath + "\\" + moduleName);

    settings.maxAgeHours =
        AtLeast(ReadIntSetting(&common, &module, "DebugTime", kDefaultMaxAgeHours), kMinMaxAgeHours,
                kDefaultMaxAgeHours);

    settings.bufferSize = ReadDwordSetting(&common, &module, "DebugBufferSize", kDefaultBufferSize);
    if (settings.bufferSize < kMinBufferSize || settings.bufferSize > kMaxBufferSize ||
        !CanAllocate(settings.bufferSize)) {
        settings.bufferSize = kDefaultBufferSize;
    }

    settings.maxSizeMb = AtLeast(ReadIntSetting(&common, &module, "DebugSize", kDefaultMaxSizeMb),
                                 kMinMaxSizeMb, kDefaultMaxSizeMb);
    settings.zipDays = AtLeast(ReadIntSetting(&common, &module, "DebugZipDays", kDefaultZipDays),
                               kMinZipDays, kDefaultZipDays);
    settings.options = ReadDwordSetting(&common, &module, "DebugOptions", kDefaultOptions);

    std::int32_t debugDefault = 0;
    {
        RegistryKey main = RegistryKey::Open(registryPath, kReadAccess);
        std::string text;
        if (main.ReadText("Debug", text) && !text.empty()) {
            debugDefault = AtoiValue(text);
        }
    }
    settings.level = ReadIntSetting(&common, &module, "DebugLevel", debugDefault);

    settings.extension =
        ReadStringSetting(&common, &module, "DebugExtension", kDefaultExtension, true);

    // Compared unsigned: a negative text gives a very large bound.
    settings.queueMaxLines = static_cast<std::uint32_t>(ReadIntSetting(
        &common, &module, "DebugQueueMaxLines", static_cast<std::int32_t>(kDefaultQueueMaxLines)));
    if (settings.queueMaxLines != 0 && settings.queueMaxLines < kMinQueueMaxLines) {
        settings.queueMaxLines = kDefaultQueueMaxLines;
    }

    settings.flushPeriod =
        AtLeast(ReadIntSetting(&common, &module, "DebugFlushPeriod", kDefaultFlushPeriod),
                kMinFlushPeriod, kDefaultFlushPeriod);
    settings.filter = ReadStringSetting(nullptr, &module, "Filter", "", false);
    settings.path = ReadStringSetting(&common, nullptr, "Path", executableFolder, false);
    return settings;
}

std::string ChooseLogFilePath(const LogSettings& settings, const std::string& logFolder,
                              const std::string& executableFolder) {
    const std::string fileName = settings.moduleName + "." + settings.extension;
    if (!logFolder.empty()) {
        return logFolder + "/" + fileName;
    }
    std::string folder = settings.path;
    if (!folder.empty() && folder.back() == '/') {
        folder.pop_back();
    }
    if (zelmisc::EnsureDirectory(folder) == 0) {
        folder = executableFolder;
    }
    if (FileCanBeCreatedIn(folder)) {
        return folder + "/" + fileName;
    }
    const std::string state = platform::UserStateFolder();
    if (state.empty()) {
        return {};
    }
    const std::string userFolder = state + kUserLogFolder;
    if (zelmisc::EnsureDirectory(userFolder) == 0) {
        return {};
    }
    return userFolder + fileName;
}

LogSettings ReadLogConfiguration(const std::string& logFolder, const std::string& registryPath) {
    return ReadLogConfiguration(logFolder, registryPath, platform::ExecutablePath());
}

LogSettings ReadLogConfiguration(const std::string& logFolder, const std::string& registryPath,
                                 const std::string& executablePath) {
    const ModulePaths paths = ModulePathsOf(executablePath);
    LogSettings settings = ReadLogSettings(registryPath, paths.moduleName, paths.folder);
    settings.logFilePath = ChooseLogFilePath(settings, logFolder, paths.folder);
    return settings;
}

std::string LogDestinationText(const LogSettings& settings, const std::string& registryPath) {
    return "Process '" + settings.moduleName + "': write log to: '" + settings.logFilePath +
           "' and using registry: '" + registryPath + "'";
}

bool DeleteLogAtStart(const LogSettings& settings) {
    if (settings.maxAgeHours != 0 || settings.logFilePath.empty()) {
        return true;
    }
    if (std::remove(settings.logFilePath.c_str()) == 0 || errno == ENOENT) {
        return true;
    }
    const int error = errno;
    platform::OutputDebugText("Cannot delete the old log file '" + settings.logFilePath +
                              "': " + std::strerror(error) + "; it is kept\n");
    return false;
}

}  // namespace ZelLog
