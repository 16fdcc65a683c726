#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "runtime/sync_objects.h"

namespace zelmisc {
namespace {

using namespace std::chrono_literals;

bool OtherThreadGetsLock(CriticalSection& section) {
    auto result = std::async(std::launch::async, [&section] {
        section.Lock();
        section.Unlock();
        return true;
    });
    return result.wait_for(5s) == std::future_status::ready && result.get();
}

TEST(CriticalSection, ReentrantForItsOwnerAndFreeAfterMatchedUnlocks) {
    CriticalSection section;
    section.Lock();
    section.Enter();  // the same thread may take it again
    section.Leave();
    // Still held once: another thread must wait.
    std::atomic<bool> acquired{false};
    std::thread other([&] {
        section.Lock();
        acquired = true;
        section.Unlock();
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(acquired.load());
    section.Unlock();
    other.join();
    EXPECT_TRUE(acquired.load());
    EXPECT_TRUE(OtherThreadGetsLock(section));
}

// Counts the calls that reach it through the virtual operations.
class CountingLock : public SyncObject {
public:
    void Lock() override { ++locks; }
    void Unlock() override { ++unlocks; }
    int locks = 0;
    int unlocks = 0;
};

TEST(ScopedLock, GivesTheLockBackExactlyOnceOnAnException) {
    CountingLock lock;
    try {
        ScopedLock guard(lock);
        EXPECT_EQ(lock.locks, 1);
        throw std::runtime_error("leave the scope");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(lock.locks, 1);
    EXPECT_EQ(lock.unlocks, 1);

    CriticalSection section;
    try {
        ScopedLock guard(section);
        throw std::runtime_error("leave the scope");
    } catch (const std::runtime_error&) {
    }
    EXPECT_TRUE(OtherThreadGetsLock(section));
}

TEST(SyncObject, PlainObjectNeverBlocks) {
    SyncObject plain;
    SyncObject& asBase = plain;
    asBase.Lock();
    auto other = std::async(std::launch::async, [&] {
        asBase.Lock();
        asBase.Unlock();
    });
    EXPECT_EQ(other.wait_for(5s), std::future_status::ready);
    asBase.Unlock();
}

}  // namespace
}  // namespace zelmisc
