// Capture files that roll over: every block whole in exactly one file, at the
// size and the age limits, and the oldest files beyond --keep deleted (only
// this user's own).
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>

#include "app/capture_roller.h"
#include "platform/capture_file.h"
#include "tests/support/temp_dir.h"

namespace tapscope::testing {
namespace {

using app::CaptureRoller;
using app::RolloverLimits;
using std::chrono::seconds;
using TimePoint = std::chrono::system_clock::time_point;

// A clock that stands still until moved.
struct FakeClock {
    TimePoint now = std::chrono::system_clock::from_time_t(1'800'000'000);
    CaptureRoller::Clock Function() {
        return [this] { return now; };
    }
};

// Appends |block| where the roller says, as the controller does.
void Capture(CaptureRoller& roller, const std::string& block) {
    platform::CaptureFile file(roller.FileForBlock(block.size()));
    const platform::CaptureFileResult result = file.Append(block.data(), block.size());
    ASSERT_TRUE(result.Ok()) << file.Path() << ": " << result.reason;
    roller.Written(block.size());
}

// The folder's files by name, with their contents.
std::map<std::string, std::string> Files(const TempDir& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
        std::ifstream in(entry.path(), std::ios::binary);
        files[entry.path().filename().string()] =
            std::string(std::istreambuf_iterator<char>(in), {});
    }
    return files;
}

TEST(CaptureRollerTest, SizeLimitEndsFilesOnlyBetweenBlocks) {
    TempDir dir;
    FakeClock clock;
    RolloverLimits limits;
    limits.maxBytes = 1000;
    CaptureRoller roller(dir.File("till.bin"), limits, clock.Function());
    EXPECT_TRUE(roller.CurrentFile().empty());  // no block, no file

    const std::string a(400, 'a'), b(400, 'b'), c(400, 'c'), big(1500, 'B'), d(1, 'd');
    for (const std::string* block : {&a, &b, &c, &big, &d}) {
        Capture(roller, *block);
    }
    // All in the same second: the stamp repeats and a count tells them apart.
    const auto files = Files(dir);
    ASSERT_EQ(files.size(), 4u);
    const std::string last = roller.CurrentFile().substr(dir.Path().size() + 1);
    ASSERT_TRUE(std::regex_match(last, std::regex(R"(till-\d{8}-\d{6}-4\.bin)"))) << last;
    const std::string stem = last.substr(0, 20);
    EXPECT_EQ(files.at(stem + ".bin"), a + b);
    EXPECT_EQ(files.at(stem + "-2.bin"), c);
    // A block larger than the limit gets a file of its own, never split; the
    // next block then begins a new file.
    EXPECT_EQ(files.at(stem + "-3.bin"), big);
    EXPECT_EQ(files.at(stem + "-4.bin"), d);
}

TEST(CaptureRollerTest, AgeLimitBeginsANewFileNamedWithItsStart) {
    TempDir dir;
    FakeClock clock;
    RolloverLimits limits;
    limits.maxAge = seconds(60);
    CaptureRoller roller(dir.File("pos"), limits, clock.Function());
    Capture(roller, "one");
    clock.now += seconds(59);
    Capture(roller, "two");
    clock.now += seconds(1);  // the first file is a minute old
    Capture(roller, "three");
    clock.now += seconds(3600);
    Capture(roller, "four");

    const auto files = Files(dir);
    ASSERT_EQ(files.size(), 3u);
    std::string joined;
    for (const auto& [name, content] : files) {
        EXPECT_EQ(name.rfind("pos-", 0), 0u) << name;  // no extension to keep
        joined += content + "|";
    }
    EXPECT_EQ(joined, "onetwo|three|four|");
    // Each name carries the local time of its own first block, a minute and
    // an hour apart.
    auto it = files.begin();
    const std::string first = it->first, second = (++it)->first, third = (++it)->first;
    // "pos-YYYYmmdd-HHMMSS": minutes at 15, hours at 13.
    EXPECT_NE(first.substr(15, 2), second.substr(15, 2));
    EXPECT_NE(third.substr(13, 2), second.substr(13, 2));
}

TEST(CaptureRollerTest, KeepDeletesOnlyTheOldestOfThisUsersOwnFiles) {
    TempDir dir;
    FakeClock clock;
    RolloverLimits limits;
    limits.maxAge = seconds(1);
    limits.keep = 2;
    // Files of this name from an earlier run, one of another user's, and
    // files of other names: only the first kind may go.
    const std::string old1 = dir.File("till-20200101-000000.bin");
    const std::string old2 = dir.File("till-20200101-000000-2.bin");
    const std::string foreign = dir.File("till-20100101-000000.bin");
    const std::string other = dir.File("till-notes.bin");
    const std::string elsewhere = dir.File("till-20000101-000000.txt");
    for (const std::string& path : {old1, old2, foreign, other, elsewhere}) {
        std::ofstream(path) << "x";
    }
    const passwd* nobody = ::getpwnam("nobody");
    const bool chowned = nobody != nullptr && ::chown(foreign.c_str(), nobody->pw_uid, -1) == 0;

    CaptureRoller roller(dir.File("till.bin"), limits, clock.Function());
    Capture(roller, "A");
    // Room for the new file: of the two old ones, the older (no count) went.
    EXPECT_FALSE(std::filesystem::exists(old1));
    EXPECT_TRUE(std::filesystem::exists(old2));
    clock.now += seconds(1);
    Capture(roller, "B");
    clock.now += seconds(1);
    Capture(roller, "C");
    EXPECT_TRUE(roller.TakeRemovalFailures().empty());

    std::map<std::string, std::string> ours;
    for (const auto& [name, content] : Files(dir)) {
        if (name != "till-notes.bin" && name != "till-20000101-000000.txt" &&
            name != "till-20100101-000000.bin") {
            ours[name] = content;
        }
    }
    ASSERT_EQ(ours.size(), 2u);
    EXPECT_EQ(ours.begin()->second + ours.rbegin()->second, "BC");
    EXPECT_TRUE(std::filesystem::exists(other));
    EXPECT_TRUE(std::filesystem::exists(elsewhere));
    if (chowned) {
        EXPECT_TRUE(std::filesystem::exists(foreign));
    } else {
        GTEST_LOG_(INFO) << "could not give a file to nobody; the foreign-owner case is unchecked";
    }
}

TEST(CaptureRollerTest, ParsesSizesAndDurations) {
    EXPECT_EQ(app::ParseRotateSize("10"), 10u * 1024 * 1024);
    EXPECT_EQ(app::ParseRotateSize("1048576"), 1048576ull * 1024 * 1024);
    for (const char* bad : {"", "0", "-1", "1.5", "10M", "1048577", "99999999999999999999"}) {
        EXPECT_FALSE(app::ParseRotateSize(bad)) << bad;
    }
    EXPECT_EQ(app::ParseDuration("90"), seconds(90));
    EXPECT_EQ(app::ParseDuration("90s"), seconds(90));
    EXPECT_EQ(app::ParseDuration("15m"), seconds(900));
    EXPECT_EQ(app::ParseDuration("6h"), seconds(21600));
    EXPECT_EQ(app::ParseDuration("1d"), seconds(86400));
    for (const char* bad : {"", "0", "0m", "h", "1x", "-5", "1.5h", "367d", "1 h"}) {
        EXPECT_FALSE(app::ParseDuration(bad)) << bad;
    }
}

}  // namespace
}  // namespace tapscope::testing
