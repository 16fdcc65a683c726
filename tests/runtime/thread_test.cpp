#include "runtime/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/process_info.h"
#include "platform/thread.h"
#include "tests/support/wait.h"

namespace zelmisc {
namespace {

namespace platform = tapscope::platform;
using tapscope::testing::WaitUntil;

// The sanitizers give every thread a stack of a minimum size of their own.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizerGrowsStacks = true;
#else
constexpr bool kSanitizerGrowsStacks = false;
#endif

// Every report of the thread wrapper, as "trace: ...", "warning: ..." or
// "error: <file>:<text>".
class Reports {
public:
    Reports() {
        Clear();
        SetThreadReportHooks({&Trace, &Warning, &Error});
    }
    ~Reports() { SetThreadReportHooks({}); }

    static std::vector<std::string> Taken() {
        std::lock_guard lock(Mutex());
        return Texts();
    }
    static void Clear() {
        std::lock_guard lock(Mutex());
        Texts().clear();
    }
    // Runs on each warning, on the reporting thread.
    static inline std::function<void(const std::string&)> onWarning;

private:
    static std::mutex& Mutex() {
        static std::mutex mutex;
        return mutex;
    }
    static std::vector<std::string>& Texts() {
        static std::vector<std::string> texts;
        return texts;
    }
    static void Add(std::string text) {
        std::lock_guard lock(Mutex());
        Texts().push_back(std::move(text));
    }
    static void Trace(const char* text) { Add(std::string("trace: ") + text); }
    static void Warning(const char* text) {
        Add(std::string("warning: ") + text);
        if (onWarning) {
            onWarning(text);
        }
    }
    static void Error(const char* file, int, const char*, const char* text) {
        Add(std::string("error: ") + file + ":" + text);
    }
};

// A worker whose step the test supplies; it counts every hook.
class Worker : public Thread {
public:
    explicit Worker(std::function<int(Worker&)> step) : m_step(std::move(step)) {}
    ~Worker() override { Stop(); }

    int Process() override {
        ++processes;
        return m_step(*this);
    }
    void AfterProcess() override { ++afters; }
    void OnThreadStart() override {
        ++starts;
        stackBytes = platform::CurrentThreadStackBytes();
    }
    void OnThreadExit() override { ++exits; }

    std::atomic<int> processes{0};
    std::atomic<int> afters{0};
    std::atomic<int> starts{0};
    std::atomic<int> exits{0};
    std::atomic<std::size_t> stackBytes{0};
    std::atomic<int> stopResult{-7};

private:
    std::function<int(Worker&)> m_step;
};

std::string Id(unsigned long id) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d", static_cast<int>(id));
    return text;
}

TEST(Thread, StopWithoutAThreadReturnsZeroAndSaysNothing) {
    Reports reports;
    Worker never([](Worker&) { return 1; });
    EXPECT_EQ(never.Stop(), 0);

    Worker once([](Worker&) { return 0; });
    ASSERT_EQ(once.Start(), 1);
    ASSERT_TRUE(WaitUntil([&] { return !once.HasThread(); }));
    EXPECT_EQ(once.Stop(), 0);

    Worker looping([](Worker&) { return 1; });
    ASSERT_EQ(looping.Start(), 1);
    EXPECT_EQ(looping.Stop(), 1);
    EXPECT_EQ(looping.Stop(), 0);
    EXPECT_TRUE(reports.Taken().empty());
}

TEST(Thread, AProcessThatEndsAtOnceRunsEachHookOnce) {
    Worker worker([](Worker&) { return 0; });
    ASSERT_EQ(worker.Start(), 1);
    ASSERT_TRUE(WaitUntil([&] { return !worker.HasThread(); }));
    EXPECT_EQ(worker.starts.load(), 1);
    EXPECT_EQ(worker.processes.load(), 1);
    EXPECT_EQ(worker.afters.load(), 0);
    EXPECT_EQ(worker.exits.load(), 1);
    // From no thread, Start begins again.
    ASSERT_EQ(worker.Start(), 1);
    ASSERT_TRUE(WaitUntil([&] { return !worker.HasThread(); }));
    EXPECT_EQ(worker.processes.load(), 2);
}

TEST(Thread, StopFromInsideProcessReturnsAtOnceAndTheLoopEndsAfterTheStep) {
    Worker worker([](Worker& self) {
        self.stopResult = self.Stop();
        return 1;  // go on: the loop still ends at its next test
    });
    ASSERT_EQ(worker.Start(), 1);
    ASSERT_TRUE(WaitUntil([&] { return !worker.HasThread(); }));
    EXPECT_EQ(worker.stopResult.load(), 1);
    EXPECT_EQ(worker.processes.load(), 1);
    EXPECT_EQ(worker.afters.load(), 1);
    EXPECT_EQ(worker.exits.load(), 1);
}

TEST(Thread, ASuspendedStartStoppedWithoutResumeNeverRunsAStep) {
    Reports reports;
    Worker worker([](Worker&) { return 1; });
    ASSERT_EQ(worker.Start(0, kCreateSuspended), 1);
    EXPECT_EQ(worker.Stop(), 1);
    EXPECT_EQ(worker.processes.load(), 0);
    EXPECT_EQ(worker.starts.load(), 1);
    EXPECT_EQ(worker.exits.load(), 1);
    EXPECT_FALSE(worker.HasThread());
    EXPECT_TRUE(reports.Taken().empty());
}

TEST(Thread, ResumeOfASuspendedStartLetsItRun) {
    Worker worker([](Worker&) { return 0; });
    ASSERT_EQ(worker.Start(0, kCreateSuspended), 1);
    EXPECT_EQ(worker.Resume(), 1);
    ASSERT_TRUE(WaitUntil([&] { return !worker.HasThread(); }));
    EXPECT_EQ(worker.processes.load(), 1);
    // No thread any more: -1 with the invalid-handle error.
    platform::SetLastError(0);
    EXPECT_EQ(worker.Resume(), -1);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidHandle);
}

TEST(Thread, StopWakesAThreadThatSomethingSuspendedThreeTimes) {
    Reports reports;
    Worker worker([](Worker&) { return 1; });
    ASSERT_EQ(worker.Start(0, kCreateSuspended), 1);
    const platform::ThreadHandle handle = worker.DuplicateHandle();
    ASSERT_EQ(platform::SuspendThread(handle), 1);
    ASSERT_EQ(platform::SuspendThread(handle), 2);
    EXPECT_EQ(worker.Stop(), 1);
    EXPECT_EQ(platform::WaitForThread(handle, 0), platform::ThreadWait::kEnded);
    EXPECT_EQ(worker.processes.load(), 0);
    const std::string id = Id(worker.ThreadId());
    const std::string me = Id(platform::CurrentThreadId());
    EXPECT_EQ(reports.Taken(),
              (std::vector<std::string>{
                  "trace: Resume (" + id + ") by " + me +
                      ". Thread hasn't been resumed. Just decreased suspend count=2",
                  "warning: Thread (" + id + ") has being suspended 3 times. Forced wake up.",
                  "trace: Resume (" + id + ") by " + me +
                      ". Thread hasn't been resumed. Just decreased suspend count=1",
              }));
}

TEST(Thread, StopWakesARunningThreadSuspendedBetweenSteps) {
    Reports reports;
    Worker worker([](Worker&) { return 1; });
    ASSERT_EQ(worker.Start(), 1);
    ASSERT_TRUE(WaitUntil([&] { return worker.processes.load() > 0; }));
    ASSERT_EQ(platform::SuspendThread(worker.DuplicateHandle()), 0);
    EXPECT_EQ(worker.Stop(), 1);
    EXPECT_FALSE(worker.HasThread());
    EXPECT_EQ(worker.exits.load(), 1);
    EXPECT_TRUE(reports.Taken().empty());
}

TEST(Thread, TheDefaultStackIs256KiB) {
    for (std::uint32_t size : {0u, 0x80000u}) {
        SCOPED_TRACE(size);
        Worker worker([](Worker&) { return 0; });
        ASSERT_EQ(worker.Start(size), 1);
        ASSERT_TRUE(WaitUntil([&] { return !worker.HasThread(); }));
        const std::size_t expected = size == 0 ? kDefaultThreadStackSize : size;
        if (kSanitizerGrowsStacks) {
            EXPECT_GE(worker.stackBytes.load(), expected);
        } else {
            EXPECT_EQ(worker.stackBytes.load(), expected);
        }
    }
}

TEST(Thread, AJoinThatWaitsLongWarnsOfAPossibleDeadlockEveryHundredSlices) {
    Reports reports;
    std::atomic<bool> release{false};
    // The first warning comes after 101 slices of 100 ms: let the worker go then.
    Reports::onWarning = [&](const std::string& text) {
        if (text.find("possible deadlock") != std::string::npos) {
            release = true;
        }
    };
    Worker worker([&](Worker&) {
        while (!release.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return 1;
    });
    ASSERT_EQ(worker.Start(), 1);
    ASSERT_TRUE(WaitUntil([&] { return worker.processes.load() > 0; }));
    EXPECT_EQ(worker.Stop(), 1);
    Reports::onWarning = nullptr;
    EXPECT_EQ(reports.Taken(),
              (std::vector<std::string>{"warning: Thread (" + Id(worker.ThreadId()) +
                                        ") is not stopped (possible deadlock), attempt=100"}));
}

TEST(Thread, ABoostThatCannotBeSetIsAnErrorWithItsCallSite) {
    Reports reports;
    EnablePriorityBoost(platform::ThreadHandle());
    const auto texts = reports.Taken();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_NE(texts[0].find("thread.cpp:[THREAD] Failed to enable priority boost for thread "
                            "0xFFFFFFFF. Error code: 6."),
              std::string::npos)
        << texts[0];
}

}  // namespace
}  // namespace zelmisc
