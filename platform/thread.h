// Thread: the stand-in for the Windows thread services the thread wrapper is
// built on (_beginthreadex, CREATE_SUSPENDED, ResumeThread and SuspendThread
// with their suspend counts, duplicated handles, waits on a thread, the
// per-thread last error).
//
// A thread is a POSIX thread with an explicit stack size. Its suspend count
// lives in the thread's record: a thread created suspended, or suspended before
// it reached a suspension point, waits at a gate and runs nothing until the
// count is back at 0. Linux cannot stop a running thread from outside safely,
// so a running thread pauses only at the suspension points it passes
// (ThreadSuspensionPoint) - the thread wrapper passes one before every step.
//
// A ThreadHandle is shared ownership of the record: a copy is a duplicated
// handle, an empty handle is INVALID_HANDLE_VALUE. The record carries an
// "ended" event that stays signalled once the thread has finished.
//
// Every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tapscope::platform {

struct ThreadRecord;
using ThreadHandle = std::shared_ptr<ThreadRecord>;

// The Windows error codes the thread services report (GetLastError).
constexpr int kErrorInvalidHandle = 6;
constexpr int kErrorNotEnoughMemory = 8;
constexpr int kErrorSignalRefused = 156;

// A thread may be suspended at most this many times over (MAXIMUM_SUSPEND_COUNT).
constexpr int kMaximumSuspendCount = 127;

// The procedure a new thread runs; its result is the thread's exit code.
using ThreadProcedure = unsigned (*)(void* argument);

// Creates a thread with a stack of |stackBytes| (raised to the system's
// minimum) that runs |procedure| with |argument|; with |suspended| it waits at
// its gate until ResumeThread brings the count to 0. |threadId| receives the
// new thread's kernel id (as CurrentThreadId reports it on that thread) before
// the thread runs |procedure|. An
// empty handle, with the last error set, when the thread cannot be created.
ThreadHandle BeginThread(std::size_t stackBytes, ThreadProcedure procedure, void* argument,
                         bool suspended, unsigned long* threadId);

// Ends the calling thread at once with |exitCode| (_endthreadex). The stack is
// unwound (destructors run), but no code after the call runs. On a thread that
// BeginThread did not make it ends the thread all the same.
[[noreturn]] void EndThread(unsigned exitCode);

// Lowers the suspend count by one and returns the count it had; the thread
// runs again when the count reaches 0. A thread that has ended reads as not
// suspended (0). -1 with the last error kErrorInvalidHandle for an empty handle.
int ResumeThread(const ThreadHandle& handle);

// Raises the suspend count by one and returns the count it had. A running
// thread pauses at its next suspension point. -1 for an empty handle
// (kErrorInvalidHandle) or a count already at kMaximumSuspendCount
// (kErrorSignalRefused).
int SuspendThread(const ThreadHandle& handle);

// Where a thread of BeginThread waits while something has suspended it. Does
// nothing on other threads.
void ThreadSuspensionPoint();

enum class ThreadWait { kEnded, kTimeout, kFailed };

// Waits up to |timeoutMs| (negative: without limit) for the thread to end.
// kFailed, with kErrorInvalidHandle, for an empty handle.
ThreadWait WaitForThread(const ThreadHandle& handle, std::int32_t timeoutMs);

// The exit code of a thread that has ended; false while it runs or for an
// empty handle.
bool ThreadExitCode(const ThreadHandle& handle, unsigned* exitCode);

// The kernel id of the thread; 0 for an empty handle.
unsigned long ThreadIdOf(const ThreadHandle& handle);

// A number that names the handle in messages, as a Windows handle value would:
// distinct for each thread made in this process; 0xFFFFFFFF for an empty
// handle (INVALID_HANDLE_VALUE).
std::uint32_t ThreadHandleValue(const ThreadHandle& handle);

// Linux has no priority boost to switch: succeeds for any live handle; false
// with kErrorInvalidHandle for an empty one.
bool SetThreadPriorityBoost(const ThreadHandle& handle, bool disableBoost);

// Sets the Windows priority (THREAD_PRIORITY_*) of the thread; false on failure
// with the last error set.
bool SetThreadPriority(const ThreadHandle& handle, int priority);

// The calling thread's last error (GetLastError / SetLastError).
int GetLastError();
void SetLastError(int error);

// The size of the calling thread's stack in bytes; 0 when it cannot be read.
std::size_t CurrentThreadStackBytes();

// Gives the calling thread the character-type rules of the system's locale
// (the environment's LC_ALL, LC_CTYPE or LANG), as Windows' ".ACP" does for a
// thread's C runtime. Only this thread changes: other threads keep theirs.
// False when the system locale cannot be loaded (the thread keeps its rules).
bool UseSystemCharacterTypeOnThisThread();

}  // namespace tapscope::platform
