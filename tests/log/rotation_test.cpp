#include "log/rotation.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/log/gzip_tool.h"
#include "tests/support/debug_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/zone_guard.h"

namespace ZelLog {
namespace {

namespace fs = std::filesystem;
using tapscope::platform::WallTime;
using tapscope::testing::DebugCapture;
using tapscope::testing::EnvGuard;
using tapscope::testing::ReadFile;
using tapscope::testing::TempDir;
using tapscope::testing::WriteFile;
using tapscope::testing::ZoneGuard;
using testing::Gunzip;
using testing::GzipAccepts;
using testing::LogLikeText;
using testing::RandomBytes;

constexpr std::int64_t kHour = 3600;
constexpr std::int64_t kDay = 24 * kHour;
// 2026-06-15 09:30:05 UTC.
constexpr std::int64_t kNow = 1781515805;

TEST(RotationDue, SizeAndWholeHourAgeLimits) {
    const RotationLimits defaults;  // 100 MiB, 48 hours
    RotationLimits sizeZero;
    sizeZero.maxSizeMb = 0;
    RotationLimits ageOff;
    ageOff.maxAgeHours = 0;
    RotationLimits fourGiB;
    fourGiB.maxSizeMb = 4096;
    struct Case {
        const char* name;
        std::uint64_t length;
        std::optional<std::int64_t> created;
        RotationLimits limits;
        bool due;
    } cases[] = {
        {"one byte over 100 MiB", 104857601, kNow, defaults, true},
        {"exactly 100 MiB", 104857600, kNow, defaults, false},
        {"size 0, one byte", 1, kNow, sizeZero, true},
        {"size 0, empty", 0, kNow, sizeZero, false},
        {"4 GiB limit, 4 GiB", 4294967296ULL, kNow, fourGiB, false},
        {"4 GiB limit, one byte over", 4294967297ULL, kNow, fourGiB, true},
        {"length past 4 GiB, 100 MiB limit", 4294967296ULL + 5, kNow, defaults, true},
        {"47 h 59 min old", 10, kNow - 47 * kHour - 59 * 60, defaults, false},
        {"48 h 59 min old counts as 48", 10, kNow - 48 * kHour - 59 * 60, defaults, false},
        {"49 h old", 10, kNow - 49 * kHour, defaults, true},
        {"age rule off, 1000 h old", 10, kNow - 1000 * kHour, ageOff, false},
        {"creation moment unknown", 10, std::nullopt, defaults, false},
        {"created in the future", 10, kNow + 100 * kHour, defaults, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RotationDue(c.length, c.created, kNow, c.limits), c.due);
    }
}

class RotationTest : public ::testing::Test {
protected:
    RotationClock Clock() {
        return [this] { return m_now; };
    }
    // The archive name of the moment |secondsBefore| seconds before now.
    std::string ArchiveOf(std::int64_t secondsBefore, const std::string& log) {
        return ArchivePath(log, LocalLogTimeAt(WallTime{m_now.seconds - secondsBefore, 0}));
    }
    // The names in the folder that end in ".GZ".
    std::set<std::string> Archives() {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(m_dir.Path())) {
            const std::string name = entry.path().filename().string();
            if (name.size() > 3 && name.substr(name.size() - 3) == ".GZ") {
                names.insert(name);
            }
        }
        return names;
    }

    ZoneGuard m_zone{"UTC0"};
    TempDir m_dir;
    std::string m_log = m_dir.File("tapscope.log");
    WallTime m_now{kNow, 0};
    RotationLimits m_limits;  // 2 zip days
};

TEST_F(RotationTest, GenerationsMoveFromLogToBackupToArchive) {
    const std::string gen1 = LogLikeText(70000, 1);
    const std::string gen2 = LogLikeText(90000, 2);
    const std::string gen3 = "third\r\n";
    const std::string gen4 = "fourth\r\n";

    // First rotation: no backup yet, so no archive.
    WriteFile(m_log, gen1);
    RotationResult result = RotateLogFile(m_log, m_limits, Clock());
    EXPECT_TRUE(result.rotated);
    EXPECT_TRUE(result.error.empty()) << result.error;
    EXPECT_TRUE(result.archivePath.empty());
    EXPECT_FALSE(fs::exists(m_log));
    EXPECT_EQ(ReadFile(m_log + ".BAK"), gen1);
    EXPECT_TRUE(Archives().empty());

    // Second: the old backup becomes an archive named after the local time.
    WriteFile(m_log, gen2);
    result = RotateLogFile(m_log, m_limits, Clock());
    EXPECT_TRUE(result.rotated);
    const std::string archive = m_dir.File("tapscope.log.20260615093005.GZ");
    EXPECT_EQ(result.archivePath, archive);
    EXPECT_TRUE(GzipAccepts(archive));
    EXPECT_TRUE(Gunzip(archive).output == gen1);
    EXPECT_EQ(ReadFile(m_log + ".BAK"), gen2);
    EXPECT_FALSE(fs::exists(m_log));

    // Third, within the same second: the archive gets a further member.
    WriteFile(m_log, gen3);
    result = RotateLogFile(m_log, m_limits, Clock());
    EXPECT_TRUE(result.rotated);
    EXPECT_EQ(result.archivePath, archive);
    EXPECT_TRUE(GzipAccepts(archive));
    EXPECT_TRUE(Gunzip(archive).output == gen1 + gen2);
    EXPECT_EQ(ReadFile(m_log + ".BAK"), gen3);

    // Fourth, a second later: a new archive.
    m_now.seconds += 1;
    WriteFile(m_log, gen4);
    result = RotateLogFile(m_log, m_limits, Clock());
    EXPECT_TRUE(result.rotated);
    EXPECT_EQ(Gunzip(m_dir.File("tapscope.log.20260615093006.GZ")).output, gen3);
    EXPECT_EQ(ReadFile(m_log + ".BAK"), gen4);
    EXPECT_EQ(Archives(), (std::set<std::string>{"tapscope.log.20260615093005.GZ",
                                                 "tapscope.log.20260615093006.GZ"}));
    EXPECT_FALSE(fs::exists(ArchivePartPath(m_log)));
}

TEST_F(RotationTest, ZipDaysZeroDeletesTheOldBackupAndNeitherArchivesNorPurges) {
    m_limits.zipDays = 0;
    const std::string old = ArchiveOf(10 * kDay, m_log);
    WriteFile(old, "old archive");
    WriteFile(m_log + ".BAK", "gen1");
    WriteFile(m_log, "gen2");
    const RotationResult result = RotateLogFile(m_log, m_limits, Clock());
    EXPECT_TRUE(result.rotated);
    EXPECT_TRUE(result.archivePath.empty());
    EXPECT_EQ(ReadFile(m_log + ".BAK"), "gen2");
    EXPECT_EQ(Archives(), std::set<std::string>{fs::path(old).filename().string()});
}

TEST_F(RotationTest, ArchivesArePurgedOnlyWhenABackupIsArchived) {
    const std::string old = ArchiveOf(3 * kDay, m_log);
    WriteFile(old, "old archive");
    WriteFile(m_log, "gen1");
    ASSERT_TRUE(RotateLogFile(m_log, m_limits, Clock()).rotated);
    EXPECT_TRUE(fs::exists(old));  // no backup yet: nothing archived, nothing purged

    WriteFile(m_log, "gen2");
    ASSERT_TRUE(RotateLogFile(m_log, m_limits, Clock()).rotated);
    EXPECT_FALSE(fs::exists(old));
    EXPECT_EQ(Archives(), std::set<std::string>{"tapscope.log.20260615093005.GZ"});
}

TEST_F(RotationTest, PurgeDeletesOnlyStampsOlderThanTheRetention) {
    const std::string folder = m_dir.Path() + "/";
    struct Case {
        const char* name;
        std::string file;
        bool deleted;
    } cases[] = {
        {"2 days and 1 second old", ArchiveOf(2 * kDay + 1, m_log), true},
        {"exactly 2 days old", ArchiveOf(2 * kDay, m_log), false},
        {"an hour old", ArchiveOf(kHour, m_log), false},
        {"10 days old", ArchiveOf(10 * kDay, m_log), true},
        {"a day in the future", ArchiveOf(-kDay, m_log), false},
        {"a further field after an old stamp", folder + "tapscope.log.20260101000000.x.GZ", true},
        {"14 digits that are no date", folder + "tapscope.log.20261315093005.GZ", false},
        {"all zeros", folder + "tapscope.log.00000000000000.GZ", false},
        {"14 characters, not digits", folder + "tapscope.log.backup-copy-01.GZ", false},
        {"13 digits", folder + "tapscope.log.2026010100000.GZ", false},
        {"lower-case extension", folder + "tapscope.log.20260101000000.gz", false},
        {"another log's archive", folder + "other.log.20260101000000.GZ", false},
        {"the part of an archive", folder + "tapscope.log.GZ.part", false},
    };
    for (const Case& c : cases) {
        WriteFile(c.file, "content");
    }
    const std::string oldFolder = ArchiveOf(10 * kDay, m_log) + ".d.GZ";
    fs::create_directory(oldFolder);

    int expected = 0;
    for (const Case& c : cases) {
        expected += c.deleted ? 1 : 0;
    }
    EXPECT_EQ(PurgeArchives(m_log, 2, Clock()), expected);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(fs::exists(c.file), !c.deleted) << c.file;
    }
    EXPECT_TRUE(fs::is_directory(oldFolder));
}

TEST_F(RotationTest, ArchivesOfALogNamedWithADotAreNeverPurged) {
    const std::string log = m_dir.File("a.b.log");
    const std::string old = ArchiveOf(30 * kDay, log);
    WriteFile(old, "old archive");
    WriteFile(log + ".BAK", "gen1");
    WriteFile(log, "gen2");
    const RotationResult result = RotateLogFile(log, m_limits, Clock());
    EXPECT_TRUE(result.rotated);
    EXPECT_EQ(Gunzip(result.archivePath).output, "gen1");
    EXPECT_TRUE(fs::exists(old));
}

TEST_F(RotationTest, ASpecialFileAtTheBackupStopsTheRotationAtOnceUntouched) {
    const std::string backup = m_log + ".BAK";
    WriteFile(m_dir.File("secret"), "secret");
    struct Case {
        const char* name;
        std::function<void()> plant;
        fs::file_type type;
        const char* what;
    } cases[] = {
        {"a folder",
         [&] {
             fs::create_directory(backup);
             WriteFile(backup + "/inside", "x");
         },
         fs::file_type::directory, "a folder"},
        {"a named pipe", [&] { ASSERT_EQ(mkfifo(backup.c_str(), 0600), 0); }, fs::file_type::fifo,
         "a named pipe"},
        {"a link to another file", [&] { fs::create_symlink(m_dir.File("secret"), backup); },
         fs::file_type::symlink, "a symbolic link"},
        {"a dangling link", [&] { fs::create_symlink(m_dir.File("nothing"), backup); },
         fs::file_type::symlink, "a symbolic link"},
    };
    // A named pipe opened for reading would block the rotation for good.
    testing::PipeWatchdog watchdog(backup);
    for (const Case& c : cases) {
        for (std::int32_t zipDays : {0, 2}) {
            SCOPED_TRACE(std::string(c.name) + ", zip days " + std::to_string(zipDays));
            m_limits.zipDays = zipDays;
            fs::remove_all(backup);
            c.plant();
            WriteFile(m_log, "current");
            const RotationResult result = RotateLogFile(m_log, m_limits, Clock());
            EXPECT_FALSE(result.rotated);
            EXPECT_NE(result.error.find(backup), std::string::npos) << result.error;
            EXPECT_NE(result.error.find(c.what), std::string::npos) << result.error;
            EXPECT_EQ(ReadFile(m_log), "current");
            EXPECT_EQ(fs::symlink_status(backup).type(), c.type);
            EXPECT_TRUE(Archives().empty());
            EXPECT_FALSE(fs::exists(ArchivePartPath(m_log)));
        }
    }
    EXPECT_FALSE(watchdog.Fired());
    EXPECT_EQ(ReadFile(backup + "/inside"), "");
    EXPECT_EQ(ReadFile(m_dir.File("secret")), "secret");
}

// A monotonic clock the test moves by hand.
struct FakeMonotonicClock {
    std::int64_t ms = 1000000;
    MonotonicClock Function() {
        return [this] { return ms; };
    }
};

TEST_F(RotationTest, AFailingRotationIsRetriedAfterAGrowingWaitAndReportedOncePerCause) {
    DebugCapture capture;
    FakeMonotonicClock monotonic;
    RotationRetry retry(monotonic.Function());
    const std::string backup = m_log + ".BAK";
    ASSERT_EQ(mkfifo(backup.c_str(), 0600), 0);
    testing::PipeWatchdog watchdog(backup);
    WriteFile(m_log, "current");

    // A flush every 500 ms for ten minutes: the attempts come after 2, 4, 8,
    // 16, 32 s, then once a minute.
    const std::int64_t start = monotonic.ms;
    std::vector<std::int64_t> attempts;
    for (std::int64_t t = 0; t <= 10 * 60000; t += 500) {
        monotonic.ms = start + t;
        if (const auto result = retry.Rotate(m_log, m_limits, Clock())) {
            EXPECT_FALSE(result->rotated);
            attempts.push_back(t);
        }
    }
    const std::vector<std::int64_t> expected = {0,      2000,   6000,   14000,  30000,
                                                62000,  122000, 182000, 242000, 302000,
                                                362000, 422000, 482000, 542000};
    EXPECT_EQ(attempts, expected);
    EXPECT_EQ(retry.Failures(), static_cast<int>(expected.size()));
    const std::string reported = "CDebug Can't rotate LOG file (" + m_log + ") ";
    EXPECT_EQ(capture.Count(reported), 1);
    EXPECT_EQ(capture.Count("a named pipe"), 1);

    // Another cause is reported once more.
    fs::remove(backup);
    fs::create_directory(backup);
    monotonic.ms += kMaxRotationRetryMs;
    ASSERT_TRUE(retry.Rotate(m_log, m_limits, Clock()).has_value());
    monotonic.ms += kMaxRotationRetryMs;
    ASSERT_TRUE(retry.Rotate(m_log, m_limits, Clock()).has_value());
    EXPECT_EQ(capture.Count(reported), 2);
    EXPECT_EQ(capture.Count("a folder"), 1);
    EXPECT_EQ(retry.WaitMs(), kMaxRotationRetryMs);

    // The cause gone, the next attempt rotates; the recovery is said once and
    // the wait is over.
    fs::remove(backup);
    EXPECT_FALSE(retry.Rotate(m_log, m_limits, Clock()).has_value());
    monotonic.ms += kMaxRotationRetryMs;
    const auto result = retry.Rotate(m_log, m_limits, Clock());
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(result->rotated) << result->error;
    EXPECT_EQ(ReadFile(backup), "current");
    EXPECT_EQ(capture.Count("CDebug rotated LOG file (" + m_log + ") after 16 failed attempts"), 1);
    EXPECT_EQ(retry.Failures(), 0);
    EXPECT_EQ(retry.WaitMs(), 0);
    WriteFile(m_log, "next");
    ASSERT_TRUE(retry.Rotate(m_log, m_limits, Clock()).has_value());
    EXPECT_FALSE(watchdog.Fired());
}

// Child exit codes.
constexpr int kChildRotationFailed = 0;
constexpr int kChildRotated = 1;
constexpr int kChildCannotDropPrivileges = 3;

bool DropToNobody() {
    const passwd* nobody = getpwnam("nobody");
    return nobody != nullptr && setgroups(0, nullptr) == 0 && setgid(nobody->pw_gid) == 0 &&
           setuid(nobody->pw_uid) == 0;
}

// Rotates in a child process prepared by |prepare| and returns its exit code.
int RotateInChild(const std::string& log, const RotationLimits& limits, RotationClock clock,
                  const std::function<bool()>& prepare) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (!prepare()) {
            _exit(kChildCannotDropPrivileges);
        }
        const RotationResult result = RotateLogFile(log, limits, clock);
        _exit(result.rotated || result.error.empty() ? kChildRotated : kChildRotationFailed);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

TEST_F(RotationTest, AFailedArchiveOrDeleteLosesNoGenerationAndTheNextRotationCatchesUp) {
    struct Case {
        const char* name;
        std::int32_t zipDays;
        mode_t folderMode;
        mode_t backupMode;
        std::function<bool()> prepare;
    } cases[] = {
        {"archive folder not writable", 2, 0755, 0644, DropToNobody},
        {"disk full", 2, 0700, 0644,
         [] {
             // Writes past 64 KiB fail with "File too large" instead of a signal.
             std::signal(SIGXFSZ, SIG_IGN);
             const rlimit limit{65536, 65536};
             return setrlimit(RLIMIT_FSIZE, &limit) == 0;
         }},
        {"backup unreadable", 2, 0777, 0000, DropToNobody},
        {"old backup cannot be deleted", 0, 0755, 0644, DropToNobody},
    };
    // Random bytes, so that the archive outgrows the file-size limit.
    const std::string gen1 = RandomBytes(512 * 1024, 11);
    const std::string gen2 = LogLikeText(200000, 12);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string log = dir.File("tapscope.log");
        const std::string backup = log + ".BAK";
        WriteFile(backup, gen1);
        WriteFile(log, gen2);
        chmod(dir.Path().c_str(), c.folderMode);
        chmod(backup.c_str(), c.backupMode);
        m_limits.zipDays = c.zipDays;

        const int code = RotateInChild(log, m_limits, Clock(), c.prepare);
        ASSERT_NE(code, kChildCannotDropPrivileges) << "the child could not be prepared";
        EXPECT_EQ(code, kChildRotationFailed);
        EXPECT_EQ(ReadFile(log), gen2);
        EXPECT_TRUE(ReadFile(backup) == gen1);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 2);

        // The cause gone, the next rotation finishes the job.
        chmod(dir.Path().c_str(), 0700);
        chmod(backup.c_str(), 0644);
        const RotationResult result = RotateLogFile(log, m_limits, Clock());
        EXPECT_TRUE(result.rotated) << result.error;
        EXPECT_EQ(ReadFile(backup), gen2);
        if (c.zipDays != 0) {
            EXPECT_TRUE(Gunzip(result.archivePath).output == gen1);
        }
        EXPECT_FALSE(fs::exists(ArchivePartPath(log)));
    }
}

TEST_F(RotationTest, ALinkPlantedUnderTheArchivePartIsNeverWrittenThrough) {
    // A folder every user may write to, as /tmp is, where another user
    // planted a link under the name the archive is written to first.
    TempDir shared;
    ASSERT_EQ(chmod(shared.Path().c_str(), 01777), 0);
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const std::string log = shared.File("tapscope.log");
    const std::string backup = log + ".BAK";
    const std::string part = ArchivePartPath(log);
    const std::string victim = shared.File("victim");
    WriteFile(victim, "not the log's");
    ASSERT_EQ(chmod(victim.c_str(), 0666), 0);
    const std::string gen1 = LogLikeText(3000, 13);
    const std::string gen2 = LogLikeText(2000, 14);

    // Run by another user, who may not remove the link: the rotation stops.
    WriteFile(backup, gen1);
    WriteFile(log, gen2);
    fs::create_symlink(victim, part);
    const int code = RotateInChild(log, m_limits, Clock(), DropToNobody);
    ASSERT_NE(code, kChildCannotDropPrivileges) << "the child could not be prepared";
    EXPECT_EQ(code, kChildRotationFailed);
    EXPECT_EQ(ReadFile(victim), "not the log's");
    EXPECT_EQ(ReadFile(backup), gen1);
    EXPECT_EQ(ReadFile(log), gen2);

    // Run by root, who may: the link goes and the archive is made in its place.
    ASSERT_EQ(lchown(part.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    const RotationResult result = RotateLogFile(log, m_limits, Clock());
    EXPECT_TRUE(result.rotated) << result.error;
    EXPECT_EQ(Gunzip(result.archivePath).output, gen1);
    EXPECT_EQ(ReadFile(victim), "not the log's");
    EXPECT_FALSE(fs::exists(fs::symlink_status(part)));
}

}  // namespace
}  // namespace ZelLog
