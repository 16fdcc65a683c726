// Test fixtures shared by every test folder: a unique temporary folder that is
// removed again, and a guard that sets an environment variable for one scope.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tapscope::testing {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it when
// the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    // Path() joined with |name|.
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Sets (or with std::nullopt unsets) one environment variable and restores the
// previous state when it goes.
class EnvGuard {
public:
    EnvGuard(std::string name, std::optional<std::string> value);
    ~EnvGuard();
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_previous;
};

// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// The lines of |text| without their CR LF line ends (a last line without one
// counts too).
std::vector<std::string> SplitCrLf(const std::string& text);
// Writes |content| to |path|, replacing it.
void WriteFile(const std::string& path, const std::string& content);

}  // namespace tapscope::testing
