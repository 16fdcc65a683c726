#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <cstdlib>
#include <thread>

#include "platform/process_info.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace tapscope::platform {
namespace {

using tapscope::testing::WaitUntil;

// The sanitizers give every thread a stack of a minimum size of their own.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizerGrowsStacks = true;
#else
constexpr bool kSanitizerGrowsStacks = false;
#endif

struct Probe {
    std::atomic<int> resumesBeforeRun{-1};
    std::atomic<int> resumesDone{0};
    std::atomic<unsigned long> threadId{0};
    std::atomic<std::size_t> stackBytes{0};
    std::atomic<bool> release{false};
    std::atomic<int> passes{0};
    std::atomic<bool> unwound{false};
    std::atomic<bool> pastEnd{false};
};

unsigned RecordStart(void* argument) {
    auto* probe = static_cast<Probe*>(argument);
    probe->threadId = CurrentThreadId();
    probe->stackBytes = CurrentThreadStackBytes();
    probe->resumesBeforeRun = probe->resumesDone.load();
    return 42;
}

TEST(PlatformThread, ASuspendedThreadRunsNothingUntilItsCountIsBackAtZero) {
    Probe probe;
    unsigned long id = 0;
    ThreadHandle handle = BeginThread(0, &RecordStart, &probe, true, &id);
    ASSERT_TRUE(handle);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(ThreadIdOf(handle), id);
    // Something else suspends it twice more: three in all.
    EXPECT_EQ(SuspendThread(handle), 1);
    EXPECT_EQ(SuspendThread(handle), 2);
    EXPECT_EQ(ResumeThread(handle), 3);
    probe.resumesDone = 1;
    EXPECT_EQ(ResumeThread(handle), 2);
    probe.resumesDone = 2;
    EXPECT_EQ(ResumeThread(handle), 1);
    ASSERT_EQ(WaitForThread(handle, 30000), ThreadWait::kEnded);
    EXPECT_EQ(probe.resumesBeforeRun.load(), 2);
    EXPECT_EQ(probe.threadId.load(), id);
    unsigned code = 0;
    ASSERT_TRUE(ThreadExitCode(handle, &code));
    EXPECT_EQ(code, 42u);
    // An ended thread reads as not suspended.
    EXPECT_EQ(ResumeThread(handle), 0);
    EXPECT_EQ(SuspendThread(handle), 0);
}

TEST(PlatformThread, StackSizeIsTheOneAskedFor) {
    for (std::size_t size : {std::size_t{0x40000}, std::size_t{0x100000}}) {
        SCOPED_TRACE(size);
        Probe probe;
        ThreadHandle handle = BeginThread(size, &RecordStart, &probe, false, nullptr);
        ASSERT_TRUE(handle);
        ASSERT_EQ(WaitForThread(handle, 30000), ThreadWait::kEnded);
        if (kSanitizerGrowsStacks) {
            EXPECT_GE(probe.stackBytes.load(), size);
        } else {
            EXPECT_EQ(probe.stackBytes.load(), size);
        }
    }
}

unsigned PassSuspensionPoints(void* argument) {
    auto* probe = static_cast<Probe*>(argument);
    while (!probe->release.load()) {
        ThreadSuspensionPoint();
        probe->passes.fetch_add(1);
        std::this_thread::yield();
    }
    return 0;
}

TEST(PlatformThread, ARunningThreadPausesAtItsNextSuspensionPoint) {
    Probe probe;
    ThreadHandle handle = BeginThread(0, &PassSuspensionPoints, &probe, false, nullptr);
    ASSERT_TRUE(handle);
    ASSERT_TRUE(WaitUntil([&] { return probe.passes.load() > 0; }));
    EXPECT_EQ(SuspendThread(handle), 0);
    const int atSuspend = probe.passes.load();
    // Time in which a thread that had not paused would pass many more points;
    // at most the pass in progress completes.
    EXPECT_EQ(WaitForThread(handle, 50), ThreadWait::kTimeout);
    const int paused = probe.passes.load();
    EXPECT_LE(paused, atSuspend + 1);
    EXPECT_EQ(ResumeThread(handle), 1);
    EXPECT_TRUE(WaitUntil([&] { return probe.passes.load() > paused; }));
    probe.release = true;
    EXPECT_EQ(WaitForThread(handle, 30000), ThreadWait::kEnded);
}

// Destroyed when EndThread unwinds the stack.
struct UnwindMark {
    Probe* probe;
    ~UnwindMark() { probe->unwound = true; }
};

unsigned EndEarly(void* argument) {
    auto* probe = static_cast<Probe*>(argument);
    UnwindMark mark{probe};
    EndThread(999);
    probe->pastEnd = true;  // never reached
    return 1;
}

TEST(PlatformThread, EndThreadEndsAtOnceWithItsCodeAndUnwinds) {
    Probe probe;
    ThreadHandle handle = BeginThread(0, &EndEarly, &probe, false, nullptr);
    ASSERT_TRUE(handle);
    ThreadHandle duplicate = handle;  // a duplicated handle sees the same thread
    handle.reset();
    ASSERT_EQ(WaitForThread(duplicate, 30000), ThreadWait::kEnded);
    unsigned code = 0;
    ASSERT_TRUE(ThreadExitCode(duplicate, &code));
    EXPECT_EQ(code, 999u);
    EXPECT_TRUE(probe.unwound.load());
    EXPECT_FALSE(probe.pastEnd.load());
}

TEST(PlatformThread, EmptyHandlesAndTheSuspendLimitReportWindowsErrors) {
    const ThreadHandle none;
    struct Case {
        const char* name;
        bool failed;
    } cases[] = {
        {"resume", ResumeThread(none) == -1},
        {"suspend", SuspendThread(none) == -1},
        {"wait", WaitForThread(none, 0) == ThreadWait::kFailed},
        {"boost", !SetThreadPriorityBoost(none, false)},
        {"priority", !SetThreadPriority(none, kThreadPriorityBelowNormal)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(c.failed);
    }
    SetLastError(0);
    ResumeThread(none);
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
    EXPECT_EQ(ThreadHandleValue(none), 0xFFFFFFFFu);
    EXPECT_EQ(ThreadIdOf(none), 0u);

    Probe probe;
    ThreadHandle handle = BeginThread(0, &RecordStart, &probe, true, nullptr);
    ASSERT_TRUE(handle);
    EXPECT_NE(ThreadHandleValue(handle), 0xFFFFFFFFu);
    for (int count = 1; count < kMaximumSuspendCount; ++count) {
        ASSERT_EQ(SuspendThread(handle), count);
    }
    EXPECT_EQ(SuspendThread(handle), -1);
    EXPECT_EQ(GetLastError(), kErrorSignalRefused);
    EXPECT_TRUE(SetThreadPriorityBoost(handle, false));
    while (ResumeThread(handle) > 1) {
    }
    EXPECT_EQ(WaitForThread(handle, 30000), ThreadWait::kEnded);
}

unsigned ReadCharacterType(void* argument) {
    auto* probe = static_cast<Probe*>(argument);
    UseSystemCharacterTypeOnThisThread();
    probe->passes = static_cast<int>(MB_CUR_MAX);
    return 0;
}

TEST(PlatformThread, TheSystemCharacterTypeChangesOnlyTheCallingThread) {
    tapscope::testing::EnvGuard locale("LC_ALL", "C.UTF-8");
    const int before = static_cast<int>(MB_CUR_MAX);
    Probe probe;
    ThreadHandle handle = BeginThread(0, &ReadCharacterType, &probe, false, nullptr);
    ASSERT_TRUE(handle);
    ASSERT_EQ(WaitForThread(handle, 30000), ThreadWait::kEnded);
    EXPECT_EQ(probe.passes.load(), 6);  // UTF-8 characters take up to 6 bytes
    EXPECT_EQ(static_cast<int>(MB_CUR_MAX), before);
}

}  // namespace
}  // namespace tapscope::platform
