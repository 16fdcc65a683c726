// ProcessInfo: the process and thread facts the log prefixes every line with,
// and the Windows priority numbers mapped onto Linux nice values.
//
// Linux has no priority classes: the process's class is read from the nice
// value of its main thread, and a thread's priority from how far its own nice
// value lies from that (a new thread inherits the process's value and so reads
// as normal, as on Windows). The main thread's own value is the class, so it
// always reads as normal, and setting its priority moves the class. One table
// maps nice values to both kinds of number.
//
// Every function may be called from any thread.
#pragma once

#include <cstdint>
#include <mutex>

namespace tapscope::platform {

// Windows process priority classes (the *_PRIORITY_CLASS values).
constexpr int kIdlePriorityClass = 0x40;
constexpr int kBelowNormalPriorityClass = 0x4000;
constexpr int kNormalPriorityClass = 0x20;
constexpr int kAboveNormalPriorityClass = 0x8000;
constexpr int kHighPriorityClass = 0x80;
constexpr int kRealtimePriorityClass = 0x100;

// Windows thread priorities (the THREAD_PRIORITY_* values).
constexpr int kThreadPriorityIdle = -15;
constexpr int kThreadPriorityLowest = -2;
constexpr int kThreadPriorityBelowNormal = -1;
constexpr int kThreadPriorityNormal = 0;
constexpr int kThreadPriorityAboveNormal = 1;
constexpr int kThreadPriorityHighest = 2;
constexpr int kThreadPriorityTimeCritical = 15;

// The mapping table, exposed so that it can be checked without privileges.
int PriorityClassFromNice(int nice);
int NiceFromPriorityClass(int priorityClass);    // nice 0 for an unknown class
int ThreadPriorityFromNiceOffset(int offset);    // offset = thread nice - process nice
int NiceOffsetFromThreadPriority(int priority);  // 0 for an unknown priority

// The processor the calling thread runs on; 0 when the system cannot tell.
unsigned CurrentProcessorNumber();
// The process id (getpid).
unsigned long CurrentProcessId();
// The kernel id of the calling thread (gettid); unique among live threads.
unsigned long CurrentThreadId();

// Rises in a child process each time the process forks, so that values kept
// per thread (ids, priorities) can be read again in the child.
std::uint64_t ForkGeneration();

// Runs |prepare| before each fork of the process, and |parent| and |child|
// after it in the two processes (pthread_atfork; the last added prepares
// first). False when the system refused them.
bool AddForkHandlers(void (*prepare)(), void (*parent)(), void (*child)());

// In a child process after fork: makes |mutex| free again. Meant for a
// re-entrant mutex the forking thread held across the fork: the system still
// counts it as held by the parent's thread, so the child's thread could
// neither give it back nor take it again. It is set up anew.
void ResetRecursiveMutexInChild(std::recursive_mutex& mutex);

// The process's priority class, from the nice value of its main thread.
int ProcessPriorityClass();
// Sets the nice value of the main thread (and so the class). False on failure,
// for example when raising the priority needs a privilege the process lacks.
bool SetProcessPriorityClass(int priorityClass);

// The priority of the thread with kernel id |threadId| (0: the calling thread).
int ThreadPriority(unsigned long threadId = 0);
// Sets it, relative to the process's class. False on failure.
bool SetThreadPriority(int priority, unsigned long threadId = 0);

// Resident set size of the process in bytes, 0 when it cannot be read.
std::uint64_t WorkingSetBytes();

}  // namespace tapscope::platform
