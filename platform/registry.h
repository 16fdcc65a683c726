// Registry: the stand-in for the Windows registry's HKEY_LOCAL_MACHINE and
// HKEY_CURRENT_USER. Each root is one text file in the .reg export format (a
// "hive"), so that an administrator can read, edit and diff it:
//
//   HKEY_LOCAL_MACHINE  /etc/zel/HKEY_LOCAL_MACHINE.reg, or $ZEL_HKLM_HIVE
//   HKEY_CURRENT_USER   $XDG_CONFIG_HOME/zel/HKEY_CURRENT_USER.reg (default
//                       ~/.config/zel/...), or $ZEL_HKCU_HIVE
//
// Key paths use "\" ("SOFTWARE\ZEL\Korvantis"); key and value names compare
// case-insensitively. Opening a key for writing fails where the hive file
// cannot be written (a user and the machine hive). Every change is written
// whole to a temporary file and renamed over the hive under an advisory lock
// (a "<hive>.lock" file beside it), after reading the hive again under that
// lock, so two processes never lose each other's values; readers need no lock.
// Lines of a hive that are not .reg syntax are ignored, reported once on the
// debug output with the file and line, and kept when the hive is written.
//
// Every function may be called from any thread; one handle is not meant to be
// shared between threads without a lock of the caller's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tapscope::platform {

namespace detail {
struct HiveState;
}

enum class RegistryRoot { kLocalMachine, kCurrentUser };

// Access rights, with the numbers Windows gives them. Any of the set-value and
// create-sub-key bits asks for write access.
constexpr std::uint32_t kKeyQueryValue = 0x0001;
constexpr std::uint32_t kKeySetValue = 0x0002;
constexpr std::uint32_t kKeyCreateSubKey = 0x0004;
constexpr std::uint32_t kKeyRead = 0x20019;
constexpr std::uint32_t kKeyAllAccess = 0xF003F;
// The 32-bit view: there is one view here, so it changes nothing.
constexpr std::uint32_t kKeyWow64_32Key = 0x0200;

enum class RegistryStatus : int {
    kOk = 0,
    kNotFound,      // no such key or value, or no hive file for the root
    kAccessDenied,  // the hive cannot be written, or cannot be read whole
    kInvalidName,   // a path, name or text that cannot be stored on one line
    kNotOpen,       // the handle holds no key
    kBusy,          // another process held the hive's lock too long
    kIoError,       // writing the hive failed; it is unchanged
};

// "Access denied" and the like, for messages.
const char* RegistryStatusText(RegistryStatus status);

enum class RegistryValueType {
    kString,  // REG_SZ
    kDword,   // REG_DWORD
    kOther,   // any other type, kept as its .reg text ("hex:..." )
};

struct RegistryValue {
    RegistryValueType type = RegistryValueType::kString;
    std::string text;         // kString: the text; kOther: the .reg text after "="
    std::uint32_t dword = 0;  // kDword: the number
};

// "HKEY_LOCAL_MACHINE" or "HKEY_CURRENT_USER".
const char* RegistryRootName(RegistryRoot root);
// The hive file of |root| as the environment names it now; empty when the
// user hive has no home folder to live in.
std::string HiveFilePath(RegistryRoot root);

// One open key. Closing (or destroying) it releases the hive it holds.
class RegistryHandle {
public:
    RegistryHandle();
    ~RegistryHandle();
    RegistryHandle(RegistryHandle&& other) noexcept;
    RegistryHandle& operator=(RegistryHandle&& other) noexcept;
    RegistryHandle(const RegistryHandle&) = delete;
    RegistryHandle& operator=(const RegistryHandle&) = delete;

    bool IsOpen() const;
    void Close();

    // The value |name| ("" is the key's default value) as stored now.
    RegistryStatus Query(std::string_view name, RegistryValue& value) const;
    // Store a REG_SZ or REG_DWORD value, replacing any value of that name.
    // Storing what is already there leaves the file untouched.
    RegistryStatus SetString(std::string_view name, std::string_view text);
    RegistryStatus SetDword(std::string_view name, std::uint32_t value);

private:
    friend RegistryStatus OpenRegistryKey(RegistryRoot, std::string_view, std::uint32_t,
                                          RegistryHandle&);
    friend RegistryStatus CreateRegistryKey(RegistryRoot, std::string_view, std::uint32_t,
                                            RegistryHandle&);

    std::shared_ptr<detail::HiveState> m_hive;
    std::string m_path;
    std::uint32_t m_access = 0;
};

// Gathers the changes this process makes to any hive while it lives, and
// writes each changed hive once: at Commit or when the batch ends. From a
// hive's first change in the batch until then, that hive stays locked against
// other processes' changes, so the changes land together. Inside a batch a
// change reports kOk once it is made in memory; Commit reports whether the
// hives were written. Batches nest: the outermost one writes. Changes made by
// other threads of the process while a batch is open join it.
class RegistryBatch {
public:
    RegistryBatch();
    ~RegistryBatch();
    RegistryBatch(const RegistryBatch&) = delete;
    RegistryBatch& operator=(const RegistryBatch&) = delete;

    RegistryStatus Commit();

private:
    bool m_open = true;
};

// Opens an existing key. kAccessDenied when |access| asks for writing and the
// hive cannot be written.
RegistryStatus OpenRegistryKey(RegistryRoot root, std::string_view path, std::uint32_t access,
                               RegistryHandle& key);
// Opens the key, creating it (and writing the hive) when it is missing.
RegistryStatus CreateRegistryKey(RegistryRoot root, std::string_view path, std::uint32_t access,
                                 RegistryHandle& key);

}  // namespace tapscope::platform
