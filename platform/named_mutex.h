// NamedMutex: the stand-in for a Windows named mutex, shared by every process
// that opens the same name: a timed wait, re-entrant for the thread that owns
// it, and "abandoned" when its owner ended without releasing it.
//
// It is a robust, recursive, process-shared pthread mutex in POSIX shared
// memory (/dev/shm/<name>, mode 0660, or 0600 for a name of one user). The
// object is set up completely before it appears under its name, so a process
// never sees it half made; it is never removed while the program runs, because
// another process may still use it. An object that someone else could hold
// for ever is never used (see Open). An empty name gives a mutex private to
// this process, as an unnamed mutex is.
//
// One object is used by one thread at a time (the log's file lock sees to
// that); different objects and different processes may use the same name at once.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>

namespace tapscope::platform {

struct NamedMutexBlock;

class NamedMutex {
public:
    enum class Wait { kAcquired, kAbandoned, kTimeout, kFailed };
    // Who may share a name: this user's group, or only this user.
    enum class Scope { kGroup, kUser };
    // error() of an Open that found an object it may not trust.
    static constexpr int kForeignOwner = EPERM;

    NamedMutex() = default;
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Opens the mutex called |name|, creating it unowned when it does not exist
    // yet (mode 0660 for kGroup, 0600 for kUser). An existing object is used
    // only when it belongs to this user or, for kGroup, to this user's group
    // with no write for others; else error() is kForeignOwner. False, with
    // error() set, when it can be neither opened nor created (EACCES: not
    // ours to open; EPROTO: not a mutex of this kind).
    bool Open(const std::string& name, Scope scope = Scope::kGroup);
    bool IsOpen() const { return m_block != nullptr; }
    // The system error (errno) of the last failure.
    int error() const { return m_error; }

    // Waits up to |timeoutMs| for ownership. kAbandoned: the previous owner
    // ended while holding it; the caller owns it now and must release it.
    // kFailed (with error()) when the mutex is not open or the wait failed.
    Wait Lock(std::int32_t timeoutMs);
    // Gives one level of ownership back.
    void Unlock();

    // Lets go of the mutex; the name stays for the other processes.
    void Close();

    // The name of this user's own object for |name|: "tapscope" -> "tapscope.1000".
    static std::string PerUserName(const std::string& name);
    // Where the object of |name| is: "/dev/shm/tapscope".
    static std::string PathOf(const std::string& name);

    // Removes the name, for tests and uninstallers: only when no process of
    // the module runs. True when it was removed or did not exist.
    static bool Remove(const std::string& name);

private:
    NamedMutexBlock* m_block = nullptr;
    int m_error = 0;
};

}  // namespace tapscope::platform
