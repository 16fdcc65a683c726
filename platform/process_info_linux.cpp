#include "platform/process_info.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace tapscope::platform {
namespace {

constexpr int kMinNice = -20;
constexpr int kMaxNice = 19;
constexpr int kNoValue = 0x7fffffff;

// One row per step of the nice scale. A nice value reads as the row nearest to
// it that has a value in the wanted column; ties go to the row nearer to 0.
struct PriorityRow {
    int nice;
    int priorityClass;   // kNoValue: no class at this step
    int threadPriority;  // applies to the offset from the process's nice value
};

constexpr PriorityRow kPriorityTable[] = {
    {-20, kRealtimePriorityClass, kThreadPriorityTimeCritical},
    {-10, kHighPriorityClass, kThreadPriorityHighest},
    {-5, kAboveNormalPriorityClass, kThreadPriorityAboveNormal},
    {0, kNormalPriorityClass, kThreadPriorityNormal},
    {5, kBelowNormalPriorityClass, kThreadPriorityBelowNormal},
    {10, kNoValue, kThreadPriorityLowest},
    {19, kIdlePriorityClass, kThreadPriorityIdle},
};

template <typename Column>
int NearestRow(int nice, Column column) {
    const PriorityRow* best = nullptr;
    for (const PriorityRow& row : kPriorityTable) {
        if (column(row) == kNoValue) {
            continue;
        }
        if (best == nullptr) {
            best = &row;
            continue;
        }
        const int distance = std::abs(row.nice - nice);
        const int bestDistance = std::abs(best->nice - nice);
        if (distance < bestDistance ||
            (distance == bestDistance && std::abs(row.nice) < std::abs(best->nice))) {
            best = &row;
        }
    }
    return column(*best);
}

template <typename Column>
int NiceOfValue(int value, Column column) {
    auto it = std::find_if(std::begin(kPriorityTable), std::end(kPriorityTable),
                           [&](const PriorityRow& row) { return column(row) == value; });
    return it == std::end(kPriorityTable) ? 0 : it->nice;
}

constexpr auto kClassColumn = [](const PriorityRow& row) { return row.priorityClass; };
constexpr auto kThreadColumn = [](const PriorityRow& row) { return row.threadPriority; };

// Nice value of one thread (a process id names its main thread), or kNoValue.
int ReadNice(pid_t id) {
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(id));
    return (nice == -1 && errno != 0) ? kNoValue : nice;
}

bool WriteNice(pid_t id, int nice) {
    nice = std::clamp(nice, kMinNice, kMaxNice);
    return setpriority(PRIO_PROCESS, static_cast<id_t>(id), nice) == 0;
}

pid_t ThreadOrSelf(unsigned long threadId) {
    return threadId == 0 ? gettid() : static_cast<pid_t>(threadId);
}

int ProcessNice() {
    const int nice = ReadNice(getpid());
    return nice == kNoValue ? 0 : nice;
}

}  // namespace

int PriorityClassFromNice(int nice) {
    return NearestRow(nice, kClassColumn);
}
int NiceFromPriorityClass(int priorityClass) {
    return NiceOfValue(priorityClass, kClassColumn);
}
int ThreadPriorityFromNiceOffset(int offset) {
    return NearestRow(offset, kThreadColumn);
}
int NiceOffsetFromThreadPriority(int priority) {
    return NiceOfValue(priority, kThreadColumn);
}

unsigned CurrentProcessorNumber() {
    const int cpu = sched_getcpu();
    return cpu < 0 ? 0u : static_cast<unsigned>(cpu);
}

unsigned long CurrentProcessId() {
    return static_cast<unsigned long>(getpid());
}

namespace {

std::atomic<std::uint64_t> g_forkGeneration{0};

void OnForkInChild() {
    g_forkGeneration.fetch_add(1, std::memory_order_relaxed);
}

const bool g_forkHandlerInstalled = pthread_atfork(nullptr, nullptr, &OnForkInChild) == 0;

}  // namespace

std::uint64_t ForkGeneration() {
    (void)g_forkHandlerInstalled;
    return g_forkGeneration.load(std::memory_order_relaxed);
}

bool AddForkHandlers(void (*prepare)(), void (*parent)(), void (*child)()) {
    return pthread_atfork(prepare, parent, child) == 0;
}

void ResetRecursiveMutexInChild(std::recursive_mutex& mutex) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(mutex.native_handle(), &attributes);
    pthread_mutexattr_destroy(&attributes);
}

unsigned long CurrentThreadId() {
    return static_cast<unsigned long>(gettid());
}

int ProcessPriorityClass() {
    return PriorityClassFromNice(ProcessNice());
}

bool SetProcessPriorityClass(int priorityClass) {
    return WriteNice(getpid(), NiceFromPriorityClass(priorityClass));
}

int ThreadPriority(unsigned long threadId) {
    const int nice = ReadNice(ThreadOrSelf(threadId));
    if (nice == kNoValue) {
        return kThreadPriorityNormal;
    }
    return ThreadPriorityFromNiceOffset(nice - ProcessNice());
}

bool SetThreadPriority(int priority, unsigned long threadId) {
    return WriteNice(ThreadOrSelf(threadId),
                     ProcessNice() + NiceOffsetFromThreadPriority(priority));
}

std::uint64_t WorkingSetBytes() {
    std::FILE* statm = std::fopen("/proc/self/statm", "re");
    if (statm == nullptr) {
        return 0;
    }
    unsigned long long sizePages = 0;
    unsigned long long residentPages = 0;
    const int fields = std::fscanf(statm, "%llu %llu", &sizePages, &residentPages);
    std::fclose(statm);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (fields != 2 || pageSize <= 0) {
        return 0;
    }
    return residentPages * static_cast<std::uint64_t>(pageSize);
}

}  // namespace tapscope::platform
