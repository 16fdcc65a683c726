#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <cstdlib>

#include "platform/process_info.h"
#include "tests/support/temp_dir.h"

namespace tapscope::platform {
namespace {

struct Probe {
    std::atomic<int> value{0};
    std::atomic<bool> unwound{false};
    std::atomic<bool> pastEnd{false};
};

unsigned DoNothing(void*) {
    return 0;
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
    ThreadHandle handle = BeginThread(0, &DoNothing, &probe, true, nullptr);
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
    probe->value = static_cast<int>(MB_CUR_MAX);
    return 0;
}

TEST(PlatformThread, TheSystemCharacterTypeChangesOnlyTheCallingThread) {
    tapscope::testing::EnvGuard locale("LC_ALL", "C.UTF-8");
    const int before = static_cast<int>(MB_CUR_MAX);
    Probe probe;
    ThreadHandle handle = BeginThread(0, &ReadCharacterType, &probe, false, nullptr);
    ASSERT_TRUE(handle);
    ASSERT_EQ(WaitForThread(handle, 30000), ThreadWait::kEnded);
    EXPECT_EQ(probe.value.load(), 6);  // UTF-8 characters take up to 6 bytes
    EXPECT_EQ(static_cast<int>(MB_CUR_MAX), before);
}

}  // namespace
}  // namespace tapscope::platform
