#include "tests/support/child_role.h"

#include "tests/support/log_test_access.h"

#include <grp.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace tapscope::testing {
namespace {

constexpr const char* kRoleVariable = "TAPSCOPE_TEST_CHILD_ROLE";
constexpr const char* kArgsVariable = "TAPSCOPE_TEST_CHILD_ARGS";
// Separates the arguments in kArgsVariable.
constexpr char kArgSeparator = '\x1f';

}  // namespace

bool RegisterChildRole(const char* name, ChildRole role) {
    const char* wanted = std::getenv(kRoleVariable);
    if (wanted == nullptr || std::strcmp(wanted, name) != 0) {
        return false;
    }
    std::vector<std::string> args;
    if (const char* packed = std::getenv(kArgsVariable); packed != nullptr && packed[0] != '\0') {
        std::string text = packed;
        std::size_t start = 0;
        while (true) {
            const std::size_t end = text.find(kArgSeparator, start);
            args.push_back(text.substr(start, end - start));
            if (end == std::string::npos) {
                break;
            }
            start = end + 1;
        }
    }
    // The child's process-wide log is off, as in the test session, so that it
    // never makes a shared mutex named after the test program.
    ZelLog::CDebugTestAccess::InstallProcessLog(ZelLog::LogSettings{});
    std::exit(role(args));
}

pid_t StartChild(const std::string& name, const std::vector<std::string>& args) {
    std::string packed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        packed += (i == 0 ? "" : std::string(1, kArgSeparator)) + args[i];
    }
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        environment.emplace_back(*entry);
    }
    environment.push_back(std::string(kRoleVariable) + "=" + name);
    environment.push_back(std::string(kArgsVariable) + "=" + packed);
    std::vector<char*> envp;
    for (std::string& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    char program[] = "/proc/self/exe";
    char* argv[] = {program, nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, envp.data()) != 0) {
        return -1;
    }
    return pid;
}

int WaitChild(pid_t child) {
    if (child <= 0) {
        return -1;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool DropToNobody() {
    const struct passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr) {
        return false;
    }
    return setgroups(0, nullptr) == 0 && setgid(nobody->pw_gid) == 0 &&
           setuid(nobody->pw_uid) == 0 && geteuid() == nobody->pw_uid;
}

}  // namespace tapscope::testing
