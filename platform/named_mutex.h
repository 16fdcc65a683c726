// NamedMutex: the stand-in for a Windows named mutex, shared by every process
// that opens the same name: a timed wait, re-entrant for the thread that owns
// it, and "abandoned" when its owner ended without releasing it.
//
// It is a robust, recursive, process-shared pthread mutex in POSIX shared
// memory (/dev/shm/<name>, mode 0660). The object is set up completely before
// it appears under its name, so a process never sees it half made; it is never
// removed while the program runs, because another process may still use it.
// An empty name gives a mutex private to this process, as an unnamed mutex is.
//
// One object is used by one thread at a time (the log's file lock sees to
// that); different objects and different processes may use the same name at once.
#pragma once

#include <cstdint>
#include <string>

namespace tapscope::platform {

struct NamedMutexBlock;

class NamedMutex {
public:
    enum class Wait { kAcquired, kAbandoned, kTimeout, kFailed };

    NamedMutex() = default;
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Opens the mutex called |name|, creating it unowned when it does not exist
    // yet. False, with error() set, when it can be neither opened nor created.
    bool Open(const std::string& name);
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

    // Removes the name, for tests and uninstallers: only when no process of
    // the module runs. True when it was removed or did not exist.
    static bool Remove(const std::string& name);

private:
    NamedMutexBlock* m_block = nullptr;
    int m_error = 0;
};

}  // namespace tapscope::platform
