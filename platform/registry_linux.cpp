// Hive files on Linux.
//
//   query:  stat the hive; re-read it only when it is another file than the one
//           read last (or that one changed), then look the value up in memory
//   change: lock "<hive>.lock" -> re-read the hive if it changed -> apply the
//           change in memory -> write the whole text to ".<hive>.XXXXXX" ->
//           fsync -> rename over the hive -> unlock
//   batch:  the first change locks and applies as above; later changes apply
//           in memory only; the end of the batch writes and unlocks
//
// The file last read stays open, so that its inode number cannot be reused by
// another file while the process compares against it.
#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/debug_output.h"
#include "platform/detail/hive_document.h"
#include "platform/user_folders.h"

namespace tapscope::platform {
namespace {

constexpr mode_t kLockFileMode = 0644;
// How long a change waits for another process's change to finish.
constexpr std::chrono::milliseconds kLockWait{10000};
constexpr std::chrono::milliseconds kLockPoll{2};

RegistryStatus StatusFromErrno(int error) {
    return (error == EACCES || error == EPERM || error == EROFS) ? RegistryStatus::kAccessDenied
                                                                 : RegistryStatus::kIoError;
}

}  // namespace

namespace detail {

struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
};

// Holds "<hive>.lock" locked for the life of the object.
class HiveLock {
public:
    HiveLock() = default;
    ~HiveLock() {
        if (m_fd >= 0) {
            ::close(m_fd);  // releases the lock
        }
    }
    HiveLock(const HiveLock&) = delete;
    HiveLock& operator=(const HiveLock&) = delete;

    RegistryStatus Acquire(const std::string& hivePath) {
        const std::string path = hivePath + ".lock";
        m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, kLockFileMode);
        if (m_fd < 0) {
            m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        }
        if (m_fd < 0) {
            return StatusFromErrno(errno);
        }
        const auto deadline = std::chrono::steady_clock::now() + kLockWait;
        while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                return RegistryStatus::kIoError;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return RegistryStatus::kBusy;
            }
            std::this_thread::sleep_for(kLockPoll);
        }
        return RegistryStatus::kOk;
    }

private:
    int m_fd = -1;
};

struct HiveState {
    HiveState(std::string filePath, RegistryRoot hiveRoot)
        : path(std::move(filePath)), root(hiveRoot) {}
    ~HiveState() {
        if (pinnedFd >= 0) {
            ::close(pinnedFd);
        }
    }
    HiveState(const HiveState&) = delete;
    HiveState& operator=(const HiveState&) = delete;

    const std::string path;
    const RegistryRoot root;

    std::mutex mutex;
    int pinnedFd = -1;                     // guarded by mutex: the file |document| was read from
    FileStamp stamp;                       // guarded by mutex
    bool exists = false;                   // guarded by mutex
    bool readable = true;                  // guarded by mutex; false: exists, not read whole
    std::optional<HiveDocument> document;  // guarded by mutex
    std::string lastReport;                // guarded by mutex: not sent twice in a row
    // A batch's changes, made in memory and not yet written, and the lock
    // held for them.
    bool pending = false;                // guarded by mutex
    std::unique_ptr<HiveLock> heldLock;  // guarded by mutex
};

}  // namespace detail

namespace {

using detail::FileStamp;
using detail::HiveDocument;
using detail::HiveLock;
using detail::HiveState;
using detail::HiveValue;
using detail::HiveValueType;

constexpr const char* kMachineHive = "/etc/zel/HKEY_LOCAL_MACHINE.reg";
constexpr const char* kUserHiveName = "/zel/HKEY_CURRENT_USER.reg";
// A hive above this size is not read (and so never written over).
constexpr off_t kMaxHiveBytes = off_t{1} << 30;
constexpr std::size_t kReadChunk = 1 << 20;
constexpr mode_t kNewHiveMode = 0644;
constexpr mode_t kMachineFolderMode = 0755;
constexpr mode_t kUserFolderMode = 0700;
// Hives kept parsed after their last handle closed: the two roots.
constexpr std::size_t kRecentHives = 2;

constexpr std::uint32_t kWriteAccess = kKeySetValue | kKeyCreateSubKey;

// ---------------------------------------------------------------- helpers --

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

FileStamp StampOf(const struct stat& info) {
    FileStamp stamp;
    stamp.device = info.st_dev;
    stamp.inode = info.st_ino;
    stamp.size = info.st_size;
    stamp.modified = info.st_mtim;
    stamp.changed = info.st_ctim;
    stamp.mode = info.st_mode & 07777;
    stamp.owner = info.st_uid;
    stamp.group = info.st_gid;
    return stamp;
}

bool SameFile(const FileStamp& a, const FileStamp& b) {
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec &&
           a.changed.tv_sec == b.changed.tv_sec && a.changed.tv_nsec == b.changed.tv_nsec;
}

void Report(HiveState& state, const std::string& text) {
    if (text == state.lastReport) {
        return;
    }
    state.lastReport = text;
    OutputDebugText(text);
}

void ReportFailure(HiveState& state, const char* what, int error) {
    Report(state,
           "Registry hive '" + state.path + "': " + what + ": " + std::strerror(error) + "\n");
}

bool IsFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// mkdir -p; true when |folder| is a folder at the end.
bool MakeFolders(const std::string& folder, mode_t mode) {
    if (IsFolder(folder)) {
        return true;
    }
    const std::string parent = FolderOf(folder);
    if (parent != folder && !MakeFolders(parent, mode)) {
        return false;
    }
    return ::mkdir(folder.c_str(), mode) == 0 || (errno == EEXIST && IsFolder(folder));
}

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// --------------------------------------------------------- reading a hive --

void ForgetFile(HiveState& state) {
    if (state.pinnedFd >= 0) {
        ::close(state.pinnedFd);
        state.pinnedFd = -1;
    }
    state.stamp = FileStamp{};
}

void SetUnreadable(HiveState& state) {
    ForgetFile(state);
    state.exists = true;
    state.readable = false;
    state.document.emplace(RegistryRootName(state.root));
}

void Load(HiveState& state) {
    const int fd = ::open(state.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) {
            ForgetFile(state);
            state.exists = false;
            state.readable = true;
            state.document.emplace(RegistryRootName(state.root));
            return;
        }
        ReportFailure(state, "cannot be read; its keys are ignored", errno);
        SetUnreadable(state);
        return;
    }
    struct stat info {};
    std::string content;
    const char* problem = nullptr;
    int error = 0;
    if (::fstat(fd, &info) != 0) {
        problem = "cannot be read; its keys are ignored";
        error = errno;
    } else if (!S_ISREG(info.st_mode)) {
        problem = "is not a regular file; its keys are ignored";
        error = EINVAL;
    } else if (info.st_size > kMaxHiveBytes) {
        problem = "is too large to read; its keys are ignored";
        error = EFBIG;
    } else {
        content.reserve(static_cast<std::size_t>(info.st_size));
        std::string chunk(kReadChunk, '\0');
        while (true) {
            const ssize_t n = ::read(fd, chunk.data(), chunk.size());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                problem = "cannot be read; its keys are ignored";
                error = errno;
                break;
            }
            if (n == 0) {
                break;
            }
            content.append(chunk.data(), static_cast<std::size_t>(n));
            if (content.size() > static_cast<std::size_t>(kMaxHiveBytes)) {
                problem = "is too large to read; its keys are ignored";
                error = EFBIG;
                break;
            }
        }
        if (problem == nullptr && content.size() >= 2 &&
            ((content[0] == '\xFF' && content[1] == '\xFE') ||
             (content[0] == '\xFE' && content[1] == '\xFF'))) {
            problem = "is UTF-16 text (save it as UTF-8); its keys are ignored";
            error = EILSEQ;
        }
    }
    if (problem != nullptr) {
        ::close(fd);
        ReportFailure(state, problem, error);
        SetUnreadable(state);
        return;
    }
    ForgetFile(state);
    state.pinnedFd = fd;
    state.stamp = StampOf(info);
    state.exists = true;
    state.readable = true;
    state.document.emplace(RegistryRootName(state.root), std::move(content));
    if (state.document->IgnoredLineCount() > 0) {
        Report(state, "Registry hive '" + state.path + "': line " +
                          std::to_string(state.document->FirstIgnoredLine()) +
                          " is not .reg syntax and is ignored (" +
                          std::to_string(state.document->IgnoredLineCount()) +
                          " lines ignored in all)\n");
    }
}

// Brings |state| up to the file as it is now. Call with state.mutex held.
void Refresh(HiveState& state) {
    if (state.pending) {
        return;  // a batch holds changes not yet written
    }
    struct stat info {};
    if (::stat(state.path.c_str(), &info) != 0) {
        if ((errno == ENOENT || errno == ENOTDIR) && state.document && !state.exists) {
            return;
        }
        Load(state);
        return;
    }
    if (state.document && state.pinnedFd >= 0 && SameFile(StampOf(info), state.stamp)) {
        return;
    }
    Load(state);
}

// Whether a change could be written now. Call with state.mutex held, after
// Refresh.
bool CanWrite(const HiveState& state) {
    if (!state.readable) {
        return false;
    }
    if (state.exists && ::faccessat(AT_FDCWD, state.path.c_str(), W_OK, AT_EACCESS) != 0) {
        return false;
    }
    // The folder must take the temporary file; a missing one, its nearest
    // existing parent must take the new folder.
    std::string folder = FolderOf(state.path);
    struct stat info {};
    while (::stat(folder.c_str(), &info) != 0) {
        if (errno != ENOENT || folder == "/" || folder == ".") {
            return false;
        }
        folder = FolderOf(folder);
    }
    return S_ISDIR(info.st_mode) &&
           ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

// ------------------------------------------------------------ hive cache --

struct HiveCache {
    std::mutex mutex;
    // guarded by mutex:
    std::map<std::pair<RegistryRoot, std::string>, std::weak_ptr<HiveState>> hives;
    std::shared_ptr<HiveState> recent[kRecentHives];  // kept parsed between uses
    std::size_t nextRecent = 0;
    int batchDepth = 0;                               // open RegistryBatch objects
    std::vector<std::shared_ptr<HiveState>> pending;  // hives with a batch's changes
};

HiveCache& Cache() {
    // Never destroyed: handles may be closed while the program exits.
    static auto* cache = new HiveCache;
    return *cache;
}

std::shared_ptr<HiveState> HiveOf(RegistryRoot root) {
    std::string path = HiveFilePath(root);
    if (path.empty()) {
        return nullptr;
    }
    HiveCache& cache = Cache();
    std::lock_guard lock(cache.mutex);
    auto key = std::make_pair(root, path);
    if (auto found = cache.hives[key].lock()) {
        return found;
    }
    for (auto it = cache.hives.begin(); it != cache.hives.end();) {
        it = it->second.expired() ? cache.hives.erase(it) : std::next(it);
    }
    auto state = std::make_shared<HiveState>(std::move(path), root);
    cache.hives[key] = state;
    cache.recent[cache.nextRecent] = state;
    cache.nextRecent = (cache.nextRecent + 1) % kRecentHives;
    return state;
}

// ------------------------------------------------------- changing a hive --

// Writes the document over the hive file. Call with state.mutex and the hive's
// lock held.
RegistryStatus WriteOut(HiveState& state) {
    const std::string folder = FolderOf(state.path);
    const std::string text = state.document->Serialize();
    std::string temporary = folder + "/." + NameOf(state.path) + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    const auto fail = [&](int error) {
        if (fd >= 0) {
            ::close(fd);
            ::unlink(temporary.c_str());
        }
        ReportFailure(state, "cannot be written", error);
        // The change lives only in memory now: read the file again next time.
        ForgetFile(state);
        state.document.reset();
        return StatusFromErrno(error);
    };
    if (fd < 0) {
        return fail(errno);
    }
    const mode_t mode = state.exists ? state.stamp.mode : kNewHiveMode;
    if (!WriteAll(fd, text) || ::fchmod(fd, mode) != 0 || ::fsync(fd) != 0) {
        return fail(errno);
    }
    if (state.exists && ::geteuid() == 0) {
        // Root writing a user's hive leaves it the user's.
        [[maybe_unused]] const int ignored = ::fchown(fd, state.stamp.owner, state.stamp.group);
    }
    if (::rename(temporary.c_str(), state.path.c_str()) != 0) {
        return fail(errno);
    }
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    struct stat info {};
    ForgetFile(state);
    if (::fstat(fd, &info) == 0) {
        state.pinnedFd = fd;
        state.stamp = StampOf(info);
    } else {
        ::close(fd);
        state.document.reset();
    }
    state.exists = true;
    return RegistryStatus::kOk;
}

// Applies |change| to the hive as it is on disk now and writes it back when
// the text changed, or, inside a batch, keeps it for the batch's end. Call
// with hive->mutex held.
RegistryStatus WriteChange(const std::shared_ptr<HiveState>& hive,
                           const std::function<bool(HiveDocument&)>& change) {
    HiveState& state = *hive;
    if (state.pending) {
        // Locked since the batch's first change; memory holds the truth.
        change(*state.document);
        return RegistryStatus::kOk;
    }
    const std::string folder = FolderOf(state.path);
    const mode_t folderMode =
        state.root == RegistryRoot::kLocalMachine ? kMachineFolderMode : kUserFolderMode;
    if (!MakeFolders(folder, folderMode)) {
        const int error = errno;
        ReportFailure(state, "cannot make its folder", error);
        return StatusFromErrno(error);
    }
    auto lock = std::make_unique<HiveLock>();
    if (const RegistryStatus status = lock->Acquire(state.path); status != RegistryStatus::kOk) {
        return status;
    }
    Refresh(state);
    if (!state.readable) {
        return RegistryStatus::kAccessDenied;
    }
    if (!change(*state.document)) {
        return RegistryStatus::kOk;
    }
    {
        HiveCache& cache = Cache();
        std::lock_guard cacheLock(cache.mutex);
        if (cache.batchDepth > 0) {
            state.pending = true;
            state.heldLock = std::move(lock);
            cache.pending.push_back(hive);
            return RegistryStatus::kOk;
        }
    }
    return WriteOut(state);
}

bool WantsWrite(std::uint32_t access) {
    return (access & kWriteAccess) != 0;
}

}  // namespace

const char* RegistryStatusText(RegistryStatus status) {
    switch (status) {
        case RegistryStatus::kOk:
            return "Success";
        case RegistryStatus::kNotFound:
            return "Not found";
        case RegistryStatus::kAccessDenied:
            return "Access denied";
        case RegistryStatus::kInvalidName:
            return "Invalid name or text";
        case RegistryStatus::kNotOpen:
            return "Key not open";
        case RegistryStatus::kBusy:
            return "Hive locked by another process";
        case RegistryStatus::kIoError:
            return "Input/output error";
    }
    return "Unknown error";
}

const char* RegistryRootName(RegistryRoot root) {
    return root == RegistryRoot::kLocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

std::string HiveFilePath(RegistryRoot root) {
    const char* overrideName =
        root == RegistryRoot::kLocalMachine ? "ZEL_HKLM_HIVE" : "ZEL_HKCU_HIVE";
    const char* value = std::getenv(overrideName);
    if (value != nullptr && value[0] != '\0') {
        return value;
    }
    if (root == RegistryRoot::kLocalMachine) {
        return kMachineHive;
    }
    const std::string config = UserConfigFolder();
    return config.empty() ? std::string() : config + kUserHiveName;
}

RegistryHandle::RegistryHandle() = default;
RegistryHandle::~RegistryHandle() = default;
RegistryHandle::RegistryHandle(RegistryHandle&& other) noexcept = default;
RegistryHandle& RegistryHandle::operator=(RegistryHandle&& other) noexcept = default;

bool RegistryHandle::IsOpen() const {
    return m_hive != nullptr;
}

void RegistryHandle::Close() {
    m_hive.reset();
    m_path.clear();
    m_access = 0;
}

RegistryStatus RegistryHandle::Query(std::string_view name, RegistryValue& value) const {
    if (!m_hive) {
        return RegistryStatus::kNotOpen;
    }
    if ((m_access & kKeyQueryValue) == 0) {
        return RegistryStatus::kAccessDenied;
    }
    std::lock_guard lock(m_hive->mutex);
    Refresh(*m_hive);
    HiveValue found;
    if (!m_hive->document->KeyExists(m_path) || !m_hive->document->FindValue(m_path, name, found)) {
        return RegistryStatus::kNotFound;
    }
    switch (found.type) {
        case HiveValueType::kString:
            value.type = RegistryValueType::kString;
            break;
        case HiveValueType::kDword:
            value.type = RegistryValueType::kDword;
            break;
        case HiveValueType::kOther:
            value.type = RegistryValueType::kOther;
            break;
    }
    value.text = std::move(found.data);
    value.dword = found.dword;
    return RegistryStatus::kOk;
}

namespace {

RegistryStatus SetValue(const std::shared_ptr<HiveState>& hive, const std::string& path,
                        std::uint32_t access, HiveValue value) {
    if (!hive) {
        return RegistryStatus::kNotOpen;
    }
    if ((access & kKeySetValue) == 0) {
        return RegistryStatus::kAccessDenied;
    }
    if (!HiveDocument::IsStorable(value)) {
        return RegistryStatus::kInvalidName;
    }
    std::lock_guard lock(hive->mutex);
    return WriteChange(hive,
                       [&](HiveDocument& document) { return document.SetValue(path, value); });
}

}  // namespace

RegistryStatus RegistryHandle::SetString(std::string_view name, std::string_view text) {
    HiveValue value;
    value.name.assign(name);
    value.type = HiveValueType::kString;
    value.data.assign(text);
    return SetValue(m_hive, m_path, m_access, std::move(value));
}

RegistryStatus RegistryHandle::SetDword(std::string_view name, std::uint32_t number) {
    HiveValue value;
    value.name.assign(name);
    value.type = HiveValueType::kDword;
    value.dword = number;
    return SetValue(m_hive, m_path, m_access, std::move(value));
}

RegistryStatus OpenRegistryKey(RegistryRoot root, std::string_view path, std::uint32_t access,
                               RegistryHandle& key) {
    key.Close();
    if (!HiveDocument::IsStorablePath(path)) {
        return RegistryStatus::kNotFound;
    }
    std::shared_ptr<HiveState> hive = HiveOf(root);
    if (!hive) {
        return RegistryStatus::kNotFound;
    }
    std::lock_guard lock(hive->mutex);
    Refresh(*hive);
    if (!hive->document->KeyExists(path)) {
        return RegistryStatus::kNotFound;
    }
    if (WantsWrite(access) && !CanWrite(*hive)) {
        return RegistryStatus::kAccessDenied;
    }
    key.m_path = HiveDocument::NormalizePath(path);
    key.m_access = access;
    key.m_hive = std::move(hive);
    return RegistryStatus::kOk;
}

RegistryStatus CreateRegistryKey(RegistryRoot root, std::string_view path, std::uint32_t access,
                                 RegistryHandle& key) {
    key.Close();
    if (!HiveDocument::IsStorablePath(path)) {
        return RegistryStatus::kInvalidName;
    }
    std::shared_ptr<HiveState> hive = HiveOf(root);
    if (!hive) {
        return RegistryStatus::kAccessDenied;
    }
    std::lock_guard lock(hive->mutex);
    Refresh(*hive);
    if (hive->document->KeyExists(path)) {
        if (WantsWrite(access) && !CanWrite(*hive)) {
            return RegistryStatus::kAccessDenied;
        }
    } else {
        if (!CanWrite(*hive)) {
            return RegistryStatus::kAccessDenied;
        }
        const RegistryStatus status =
            WriteChange(hive, [&](HiveDocument& document) { return document.CreateKey(path); });
        if (status != RegistryStatus::kOk) {
            return status;
        }
    }
    key.m_path = HiveDocument::NormalizePath(path);
    key.m_access = access;
    key.m_hive = std::move(hive);
    return RegistryStatus::kOk;
}

RegistryBatch::RegistryBatch() {
    HiveCache& cache = Cache();
    std::lock_guard lock(cache.mutex);
    ++cache.batchDepth;
}

RegistryBatch::~RegistryBatch() {
    Commit();
}

RegistryStatus RegistryBatch::Commit() {
    if (!m_open) {
        return RegistryStatus::kOk;
    }
    m_open = false;
    std::vector<std::shared_ptr<HiveState>> hives;
    {
        HiveCache& cache = Cache();
        std::lock_guard lock(cache.mutex);
        if (--cache.batchDepth > 0) {
            return RegistryStatus::kOk;
        }
        hives.swap(cache.pending);
    }
    RegistryStatus result = RegistryStatus::kOk;
    for (const std::shared_ptr<HiveState>& hive : hives) {
        std::lock_guard lock(hive->mutex);
        if (!hive->pending) {
            continue;
        }
        hive->pending = false;
        const RegistryStatus status = WriteOut(*hive);
        hive->heldLock.reset();
        if (result == RegistryStatus::kOk) {
            result = status;
        }
    }
    return result;
}

}  // namespace tapscope::platform
