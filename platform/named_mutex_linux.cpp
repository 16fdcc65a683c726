#include "platform/named_mutex.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

// Creating the shared mutex exactly once, with any number of processes racing:
//
//   open /dev/shm/<name> --exists--> check its owner, map it, check its mark, use it
//        | missing
//   make an unnamed file in /dev/shm (O_TMPFILE), mode 0660 (0600 per user)
//   size it, map it, set up the mutex and its mark
//   link it under <name> --EEXIST--> another process was first: drop ours,
//        | linked                     open theirs (back to the top)
//   use it
//
// So the name only ever shows a block whose mutex is set up.

namespace tapscope::platform {

struct NamedMutexBlock {
    std::uint32_t mark;
    std::uint32_t size;
    pthread_mutex_t mutex;
};

namespace {

constexpr const char* kSharedMemoryFolder = "/dev/shm";
constexpr std::uint32_t kBlockMark = 0x4D4C455Au;  // "ZELM"
constexpr mode_t kGroupMutexMode = 0660;
constexpr mode_t kUserMutexMode = 0600;
// A name shorter than the file system's limit, with room for a temporary suffix.
constexpr std::size_t kMaxNameLength = 200;
// Rounds of "missing - made - someone else linked first - open theirs".
constexpr int kOpenRounds = 8;

std::atomic<unsigned> g_temporaryCounter{0};

bool SetUpMutex(pthread_mutex_t* mutex, bool shared) {
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) {
        return false;
    }
    bool ok = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) == 0 &&
              pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0;
    if (ok && shared) {
        ok = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) == 0;
    }
    ok = ok && pthread_mutex_init(mutex, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    return ok;
}

void* MapBlock(int fd) {
    void* address =
        mmap(nullptr, sizeof(NamedMutexBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return address == MAP_FAILED ? nullptr : address;
}

// Makes an unnamed, fully set-up block file. |temporaryPath| receives a name
// when the file system cannot make unnamed files and a named one was used.
int MakeBlockFile(mode_t mode, std::string& temporaryPath, NamedMutexBlock** mapped, int& error) {
    temporaryPath.clear();
    int fd = open(kSharedMemoryFolder, O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        char name[64];
        std::snprintf(name, sizeof name, "/.zelmutex.%ld.%u", static_cast<long>(getpid()),
                      g_temporaryCounter.fetch_add(1, std::memory_order_relaxed));
        temporaryPath = std::string(kSharedMemoryFolder) + name;
        fd = open(temporaryPath.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd < 0) {
            temporaryPath.clear();
        }
    }
    if (fd < 0) {
        error = errno;
        return -1;
    }
    // The umask must not narrow the mode: the program's other users share it.
    void* address = nullptr;
    if (fchmod(fd, mode) != 0 || ftruncate(fd, static_cast<off_t>(sizeof(NamedMutexBlock))) != 0 ||
        (address = MapBlock(fd)) == nullptr) {
        error = errno;
    } else {
        auto* block = static_cast<NamedMutexBlock*>(address);
        block->size = sizeof(NamedMutexBlock);
        if (SetUpMutex(&block->mutex, true)) {
            block->mark = kBlockMark;
            *mapped = block;
            return fd;
        }
        error = EINVAL;
        munmap(address, sizeof(NamedMutexBlock));
    }
    close(fd);
    if (!temporaryPath.empty()) {
        unlink(temporaryPath.c_str());
        temporaryPath.clear();
    }
    return -1;
}

// Whether an object that another process made may be used: whoever can
// write it can hold its mutex for ever (or break it), so it must be this
// user's, or - for a group-wide name - this group's with no write for others.
bool Trusted(const struct stat& info, NamedMutex::Scope scope) {
    if (info.st_uid == geteuid()) {
        return true;
    }
    return scope == NamedMutex::Scope::kGroup && info.st_gid == getegid() &&
           (info.st_mode & S_IWOTH) == 0;
}

// Maps a block that exists under its name and checks that it is one that
// may be used.
NamedMutexBlock* MapExisting(int fd, NamedMutex::Scope scope, int& error) {
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        error = errno;
        return nullptr;
    }
    if (!Trusted(info, scope)) {
        error = NamedMutex::kForeignOwner;
        return nullptr;
    }
    if (!S_ISREG(info.st_mode) || info.st_size < static_cast<off_t>(sizeof(NamedMutexBlock))) {
        error = EPROTO;
        return nullptr;
    }
    void* address = MapBlock(fd);
    if (address == nullptr) {
        error = errno;
        return nullptr;
    }
    auto* block = static_cast<NamedMutexBlock*>(address);
    if (block->mark != kBlockMark || block->size != sizeof(NamedMutexBlock)) {
        munmap(address, sizeof(NamedMutexBlock));
        error = EPROTO;
        return nullptr;
    }
    return block;
}

timespec DeadlineAfter(clockid_t clock, std::int32_t timeoutMs) {
    timespec now{};
    clock_gettime(clock, &now);
    const std::int64_t ms = timeoutMs < 0 ? 0 : timeoutMs;
    now.tv_sec += static_cast<time_t>(ms / 1000);
    now.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (now.tv_nsec >= 1000000000L) {
        now.tv_sec += 1;
        now.tv_nsec -= 1000000000L;
    }
    return now;
}

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer knows neither pthread_mutex_clocklock nor an owner that died
// during a timed wait, and would take the unlock that follows for one of a
// mutex nobody holds. Its build polls with trylock, which it understands.
int LockPolling(pthread_mutex_t* mutex, std::int32_t timeoutMs) {
    constexpr long kPollIntervalNs = 1000000;
    const timespec deadline = DeadlineAfter(CLOCK_MONOTONIC, timeoutMs);
    while (true) {
        const int result = pthread_mutex_trylock(mutex);
        if (result != EBUSY) {
            return result;
        }
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec > deadline.tv_sec ||
            (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec)) {
            return ETIMEDOUT;
        }
        const timespec pause{0, kPollIntervalNs};
        nanosleep(&pause, nullptr);
    }
}
#endif

}  // namespace

NamedMutex::~NamedMutex() {
    Close();
}

bool NamedMutex::Open(const std::string& name, Scope scope) {
    Close();
    m_error = 0;
    if (name.empty()) {
        void* address = mmap(nullptr, sizeof(NamedMutexBlock), PROT_READ | PROT_WRITE,
                             MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (address == MAP_FAILED) {
            m_error = errno;
            return false;
        }
        auto* block = static_cast<NamedMutexBlock*>(address);
        if (!SetUpMutex(&block->mutex, false)) {
            munmap(address, sizeof(NamedMutexBlock));
            m_error = EINVAL;
            return false;
        }
        block->mark = kBlockMark;
        block->size = sizeof(NamedMutexBlock);
        m_block = block;
        return true;
    }
    if (name.size() > kMaxNameLength || name.find('/') != std::string::npos || name == "." ||
        name == "..") {
        m_error = EINVAL;
        return false;
    }
    const std::string path = std::string(kSharedMemoryFolder) + "/" + name;
    for (int round = 0; round < kOpenRounds; ++round) {
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0) {
            m_block = MapExisting(fd, scope, m_error);
            close(fd);
            return m_block != nullptr;
        }
        if (errno != ENOENT) {
            m_error = errno;
            return false;
        }
        std::string temporaryPath;
        NamedMutexBlock* block = nullptr;
        fd = MakeBlockFile(scope == Scope::kGroup ? kGroupMutexMode : kUserMutexMode, temporaryPath,
                           &block, m_error);
        if (fd < 0) {
            return false;
        }
        int linked = 0;
        if (temporaryPath.empty()) {
            char fdPath[64];
            std::snprintf(fdPath, sizeof fdPath, "/proc/self/fd/%d", fd);
            linked = linkat(AT_FDCWD, fdPath, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW);
        } else {
            linked = link(temporaryPath.c_str(), path.c_str());
        }
        const int linkError = errno;
        close(fd);
        if (!temporaryPath.empty()) {
            unlink(temporaryPath.c_str());
        }
        if (linked == 0) {
            m_block = block;
            return true;
        }
        munmap(block, sizeof(NamedMutexBlock));
        if (linkError != EEXIST) {
            m_error = linkError;
            return false;
        }
        // Another process published its block first: use that one.
    }
    m_error = EAGAIN;
    return false;
}

NamedMutex::Wait NamedMutex::Lock(std::int32_t timeoutMs) {
    if (m_block == nullptr) {
        if (m_error == 0) {
            m_error = EBADF;
        }
        return Wait::kFailed;
    }
#if defined(__SANITIZE_THREAD__)
    const int result = LockPolling(&m_block->mutex, timeoutMs);
#else
    const timespec deadline = DeadlineAfter(CLOCK_MONOTONIC, timeoutMs);
    const int result = pthread_mutex_clocklock(&m_block->mutex, CLOCK_MONOTONIC, &deadline);
#endif
    switch (result) {
        case 0:
            return Wait::kAcquired;
        case EOWNERDEAD:
            // The owner died holding it: it is ours now, and usable again once
            // marked consistent.
            pthread_mutex_consistent(&m_block->mutex);
            return Wait::kAbandoned;
        case ETIMEDOUT:
            return Wait::kTimeout;
        default:
            m_error = result;
            return Wait::kFailed;
    }
}

void NamedMutex::Unlock() {
    if (m_block != nullptr) {
        pthread_mutex_unlock(&m_block->mutex);
    }
}

void NamedMutex::Close() {
    if (m_block != nullptr) {
        munmap(m_block, sizeof(NamedMutexBlock));
        m_block = nullptr;
    }
}

std::string NamedMutex::PerUserName(const std::string& name) {
    return name + "." + std::to_string(geteuid());
}

std::string NamedMutex::PathOf(const std::string& name) {
    return std::string(kSharedMemoryFolder) + "/" + name;
}

bool NamedMutex::Remove(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos) {
        return true;
    }
    const std::string path = std::string(kSharedMemoryFolder) + "/" + name;
    return unlink(path.c_str()) == 0 || errno == ENOENT;
}

}  // namespace tapscope::platform
