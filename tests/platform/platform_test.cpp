#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <set>
#include <string>
#include <thread>

#include "platform/debug_output.h"
#include "platform/disk.h"
#include "platform/process_info.h"
#include "platform/uuid.h"
#include "tests/support/debug_capture.h"
#include "tests/support/temp_dir.h"

namespace tapscope::platform {
namespace {

TEST(PriorityTable, EveryWindowsValueSurvivesTheRoundTrip) {
    for (int cls : {kIdlePriorityClass, kBelowNormalPriorityClass, kNormalPriorityClass,
                    kAboveNormalPriorityClass, kHighPriorityClass, kRealtimePriorityClass}) {
        SCOPED_TRACE(cls);
        EXPECT_EQ(PriorityClassFromNice(NiceFromPriorityClass(cls)), cls);
    }
    for (int priority : {kThreadPriorityIdle, kThreadPriorityLowest, kThreadPriorityBelowNormal,
                         kThreadPriorityNormal, kThreadPriorityAboveNormal, kThreadPriorityHighest,
                         kThreadPriorityTimeCritical}) {
        SCOPED_TRACE(priority);
        EXPECT_EQ(ThreadPriorityFromNiceOffset(NiceOffsetFromThreadPriority(priority)), priority);
    }
}

TEST(PriorityTable, NiceValuesBetweenRowsReadAsTheNearestRow) {
    EXPECT_EQ(PriorityClassFromNice(0), kNormalPriorityClass);
    EXPECT_EQ(PriorityClassFromNice(1), kNormalPriorityClass);
    EXPECT_EQ(PriorityClassFromNice(4), kBelowNormalPriorityClass);
    EXPECT_EQ(PriorityClassFromNice(19), kIdlePriorityClass);
    EXPECT_EQ(PriorityClassFromNice(-20), kRealtimePriorityClass);
    // Ties go to the row nearer to normal.
    EXPECT_EQ(PriorityClassFromNice(-15), kHighPriorityClass);
    EXPECT_EQ(ThreadPriorityFromNiceOffset(0), kThreadPriorityNormal);
    EXPECT_EQ(ThreadPriorityFromNiceOffset(39), kThreadPriorityIdle);
    EXPECT_EQ(ThreadPriorityFromNiceOffset(-39), kThreadPriorityTimeCritical);
}

TEST(ProcessInfo, ThreadPriorityIsRelativeToTheProcessAndCanBeLowered) {
    // A new thread inherits the process's nice value and reads as normal.
    int seen = 99;
    std::thread([&] { seen = ThreadPriority(); }).join();
    EXPECT_EQ(seen, kThreadPriorityNormal);

    // Lowering a thread's priority needs no privilege.
    std::thread([&] {
        ASSERT_TRUE(SetThreadPriority(kThreadPriorityBelowNormal));
        seen = ThreadPriority();
    }).join();
    EXPECT_EQ(seen, kThreadPriorityBelowNormal);
}

TEST(ProcessInfo, IdsAndMemoryAreThoseOfThisProcess) {
    EXPECT_EQ(CurrentProcessId(), static_cast<unsigned long>(getpid()));
    EXPECT_EQ(CurrentThreadId(), static_cast<unsigned long>(gettid()));
    unsigned long other = 0;
    std::thread([&] { other = CurrentThreadId(); }).join();
    EXPECT_NE(other, CurrentThreadId());
    EXPECT_GT(WorkingSetBytes(), 1u << 20);
    EXPECT_LT(CurrentProcessorNumber(), 4096u);
}

TEST(Uuid, TimeBasedAndDistinctWithTheirBytesInMemoryOrder) {
    std::set<std::array<std::uint8_t, 16>> seen;
    for (int i = 0; i < 10000; ++i) {
        const auto uuid = CreateSequentialUuid();
        // Version 1 in the high nibble of the (little-endian) third field and
        // the RFC 4122 variant in the clock sequence.
        EXPECT_EQ(uuid[7] >> 4, 1);
        EXPECT_EQ(uuid[8] & 0xC0, 0x80);
        EXPECT_TRUE(seen.insert(uuid).second);
    }
}

TEST(Disk, MountPointAndFreeSpaceOfAFolder) {
    testing::TempDir dir;
    const std::string mount = MountPointOf(dir.File("not-yet/there.log"));
    ASSERT_FALSE(mount.empty());
    EXPECT_EQ(mount.back(), '/');
    EXPECT_EQ(dir.Path().rfind(mount == "/" ? "/" : mount.substr(0, mount.size() - 1), 0), 0u);
    struct stat mountInfo {};
    struct stat dirInfo {};
    ASSERT_EQ(stat(mount.c_str(), &mountInfo), 0);
    ASSERT_EQ(stat(dir.Path().c_str(), &dirInfo), 0);
    EXPECT_EQ(mountInfo.st_dev, dirInfo.st_dev);

    EXPECT_GT(FreeDiskBytes(dir.Path()), 0u);
    EXPECT_EQ(FreeDiskBytes(dir.File("missing/folder")), 0u);
    EXPECT_EQ(FreeDiskBytes(""), 0u);
    EXPECT_EQ(MountPointOf("relative/path"), "");
}

TEST(DebugOutput, ASinkReceivesTextsAsTheyStand) {
    testing::DebugCapture capture;
    OutputDebugText("first\n");
    OutputDebugText(std::string_view("second-and-more", 6));
    EXPECT_EQ(capture.Texts(), (std::vector<std::string>{"first\n", "second"}));
}

TEST(DebugOutput, AChildForkedWhileAnotherThreadSendsATextCanSendItsOwn) {
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    const DebugOutputSink previous = SetDebugOutputSink([&](std::string_view text) {
        if (text == "slow") {
            entered.set_value();
            released.wait();
        }
    });
    std::thread sender([] { OutputDebugText("slow"); });
    entered.get_future().wait();
    // The fork begins while the sender is still inside its text.
    auto forking = std::async(std::launch::async, [] {
        const pid_t pid = fork();
        if (pid == 0) {
            OutputDebugText("child");
            _exit(0);
        }
        return pid;
    });
    // Let the sender go once the fork is done - or, when the fork waits for
    // the sender as it should, after a while.
    forking.wait_for(std::chrono::milliseconds(500));
    release.set_value();
    sender.join();
    const pid_t child = forking.get();
    SetDebugOutputSink(previous);
    ASSERT_GT(child, 0);
    int status = 0;
    pid_t ended = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((ended = waitpid(child, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (ended != child) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    EXPECT_EQ(ended, child) << "the child hung on its text";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace tapscope::platform
