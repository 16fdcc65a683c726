#include "platform/named_mutex.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace tapscope::platform {
namespace {

// A name no other test run uses; removed again when the test ends.
class UniqueName {
public:
    UniqueName() {
        static std::atomic<int> counter{0};
        m_name = "tapscope-mutex-test-" + std::to_string(getpid()) + "-" +
                 std::to_string(counter.fetch_add(1));
    }
    ~UniqueName() { NamedMutex::Remove(m_name); }
    const std::string& get() const { return m_name; }

private:
    std::string m_name;
};

// Lock() of another object for the same name, on another thread.
NamedMutex::Wait LockElsewhere(const std::string& name, std::int32_t timeoutMs) {
    return std::async(std::launch::async,
                      [&] {
                          NamedMutex other;
                          if (!other.Open(name)) {
                              return NamedMutex::Wait::kFailed;
                          }
                          const NamedMutex::Wait result = other.Lock(timeoutMs);
                          if (result != NamedMutex::Wait::kTimeout &&
                              result != NamedMutex::Wait::kFailed) {
                              other.Unlock();
                          }
                          return result;
                      })
        .get();
}

TEST(NamedMutex, OneNameOneMutexReentrantForItsOwner) {
    UniqueName name;
    NamedMutex first;
    ASSERT_TRUE(first.Open(name.get())) << first.error();
    ASSERT_EQ(first.Lock(1000), NamedMutex::Wait::kAcquired);
    ASSERT_EQ(first.Lock(1000), NamedMutex::Wait::kAcquired);  // again, same thread
    first.Unlock();
    // Still held once: another object of the same name must wait.
    EXPECT_EQ(LockElsewhere(name.get(), 20), NamedMutex::Wait::kTimeout);
    first.Unlock();
    EXPECT_EQ(LockElsewhere(name.get(), 1000), NamedMutex::Wait::kAcquired);
}

TEST(NamedMutex, AnOwnerThatEndsWithoutReleasingLeavesItAbandoned) {
    UniqueName name;
    // The owner's mapping outlives its thread, as a process's mappings outlive
    // its threads: the system marks the mutex through it when the thread ends.
    NamedMutex owner;
    ASSERT_TRUE(owner.Open(name.get()));
    std::thread([&] {
        ASSERT_EQ(owner.Lock(1000), NamedMutex::Wait::kAcquired);
        // ends holding it
    }).join();
    NamedMutex next;
    ASSERT_TRUE(next.Open(name.get()));
    EXPECT_EQ(next.Lock(1000), NamedMutex::Wait::kAbandoned);
    next.Unlock();
    // Usable again as usual.
    EXPECT_EQ(next.Lock(1000), NamedMutex::Wait::kAcquired);
    next.Unlock();
}

TEST(NamedMutex, ObjectsRacingToCreateTheSameNameGetOneMutex) {
    UniqueName name;
    constexpr int kRacers = 8;
    std::vector<NamedMutex> racers(kRacers);
    std::vector<std::thread> threads;
    std::atomic<int> opened{0};
    for (int i = 0; i < kRacers; ++i) {
        threads.emplace_back([&, i] {
            if (racers[i].Open(name.get())) {
                ++opened;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    ASSERT_EQ(opened.load(), kRacers);
    ASSERT_EQ(racers[0].Lock(1000), NamedMutex::Wait::kAcquired);
    for (int i = 1; i < kRacers; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(std::async(std::launch::async, [&] { return racers[i].Lock(0); }).get(),
                  NamedMutex::Wait::kTimeout);
    }
    racers[0].Unlock();
}

TEST(NamedMutex, TheSharedObjectIsReadableAndWritableByTheGroupWhateverTheUmask) {
    UniqueName name;
    const mode_t previous = umask(077);
    NamedMutex mutex;
    const bool opened = mutex.Open(name.get());
    umask(previous);
    ASSERT_TRUE(opened);
    struct stat info {};
    ASSERT_EQ(stat(("/dev/shm/" + name.get()).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0660u);
}

TEST(NamedMutex, AnEmptyNameIsPrivateAndBadNamesFail) {
    NamedMutex unnamed;
    ASSERT_TRUE(unnamed.Open(""));
    EXPECT_EQ(unnamed.Lock(0), NamedMutex::Wait::kAcquired);
    unnamed.Unlock();

    for (const std::string& bad : {std::string("a/b"), std::string(".."), std::string(300, 'x')}) {
        SCOPED_TRACE(bad.substr(0, 10));
        NamedMutex mutex;
        EXPECT_FALSE(mutex.Open(bad));
        EXPECT_EQ(mutex.Lock(0), NamedMutex::Wait::kFailed);
        EXPECT_EQ(mutex.error(), EINVAL);
    }

    // Something else under the name: refused, not taken for a mutex.
    UniqueName name;
    tapscope::testing::WriteFile("/dev/shm/" + name.get(), "junk");
    NamedMutex impostor;
    EXPECT_FALSE(impostor.Open(name.get()));
    EXPECT_EQ(impostor.error(), EPROTO);
}

// Root may hand a file to any owner: the objects below are made by this
// process and then given to "nobody", as if that user had made them.
TEST(NamedMutex, AnExistingObjectIsUsedOnlyWhenNoOtherUserCanHoldIt) {
    const struct passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || nobody == nullptr) {
        GTEST_SKIP() << "needs root and the user nobody to make objects of another owner";
    }
    const uid_t us = geteuid();
    const gid_t ourGroup = getegid();
    struct Case {
        const char* name;
        uid_t owner;
        gid_t group;
        mode_t mode;
        bool groupScope;  // else a name of this user only
        bool used;
    } cases[] = {
        {"ours", us, ourGroup, 0660, true, true},
        {"ours, writable by all", us, nobody->pw_gid, 0666, true, true},
        {"another user's in our group", nobody->pw_uid, ourGroup, 0660, true, true},
        {"another user's in our group, writable by all", nobody->pw_uid, ourGroup, 0666, true,
         false},
        {"another user's in another group", nobody->pw_uid, nobody->pw_gid, 0660, true, false},
        {"another user's in our group, for this user only", nobody->pw_uid, ourGroup, 0600, false,
         false},
        {"ours, for this user only", us, ourGroup, 0600, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UniqueName name;
        const std::string path = NamedMutex::PathOf(name.get());
        {
            NamedMutex maker;
            ASSERT_TRUE(maker.Open(name.get()));
        }
        ASSERT_EQ(chown(path.c_str(), c.owner, c.group), 0);
        ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
        NamedMutex mutex;
        const bool opened = mutex.Open(
            name.get(), c.groupScope ? NamedMutex::Scope::kGroup : NamedMutex::Scope::kUser);
        EXPECT_EQ(opened, c.used);
        if (!c.used) {
            EXPECT_EQ(mutex.error(), NamedMutex::kForeignOwner);
            EXPECT_EQ(mutex.Lock(0), NamedMutex::Wait::kFailed);
        }
    }
}

}  // namespace
}  // namespace tapscope::platform
