// The capture file on real files, FIFOs and links in a temporary folder: its
// mode, whole blocks only, a FIFO kept open for its reader, and links that
// another user planted.
#include "platform/capture_file.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/child_role.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace tapscope::testing {
namespace {

using platform::AppendResult;
using platform::CaptureFile;
using platform::CaptureFileResult;

CaptureFileResult Append(CaptureFile& file, const std::string& bytes) {
    return file.Append(bytes.data(), bytes.size());
}

mode_t ModeOf(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

class CaptureFileTest : public ::testing::Test {
protected:
    void SetUp() override { platform::IgnoreBrokenPipe(); }

    std::string MakeFifo(const std::string& name) {
        const std::string path = m_dir.File(name);
        EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
        return path;
    }

    TempDir m_dir;
};

// Created private even under a permissive umask.
TEST_F(CaptureFileTest, NewFileIsPrivateAndBlocksAreAppended) {
    const mode_t previous = umask(0);
    const std::string path = m_dir.File("capture.bin");
    CaptureFile file(path);
    EXPECT_TRUE(Append(file, "abc").Ok());
    EXPECT_TRUE(Append(file, std::string("d\0e", 3)).Ok());
    umask(previous);
    EXPECT_EQ(ReadFile(path), std::string("abcd\0e", 6));
    EXPECT_EQ(ModeOf(path), 0600u);
}

// Under a file size limit a block is written only in part (the system's
// EFBIG after a short write): the part is cut off again, and once the limit
// is lifted the next block follows the last whole one.
TAPSCOPE_CHILD_ROLE(AppendUnderSizeLimit) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlim_t unlimited = limit.rlim_cur;
    limit.rlim_cur = 10;
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
        return kChildCannotRun;
    }
    CaptureFile file(args.at(0));
    if (!Append(file, "abcdef").Ok()) {
        return 1;
    }
    const CaptureFileResult torn = Append(file, "ghijklmn");
    if (torn.result != AppendResult::kWriteFailed || torn.error != EFBIG) {
        return 2;
    }
    if (ReadFile(args.at(0)) != "abcdef") {
        return 3;
    }
    limit.rlim_cur = unlimited;
    setrlimit(RLIMIT_FSIZE, &limit);
    if (!Append(file, "ghijklmn").Ok()) {
        return 4;
    }
    return ReadFile(args.at(0)) == "abcdefghijklmn" ? 0 : 5;
}

TEST_F(CaptureFileTest, BlockThatFailsHalfWayIsCutOff) {
    const int status = RunChild("AppendUnderSizeLimit", {m_dir.File("limited.bin")});
    if (status == kChildCannotRun) {
        GTEST_SKIP() << "cannot set a file size limit here";
    }
    EXPECT_EQ(status, 0);
}

// A reading program sees every block as one stream: the pipe stays open
// between blocks and its end comes only with Close.
TEST_F(CaptureFileTest, FifoStaysOpenForItsReaderUntilClose) {
    const std::string fifo = MakeFifo("stream");
    ChildProcess reader("/bin/cat", {fifo});
    CaptureFile file(fifo);
    // cat may not have opened the FIFO yet.
    ASSERT_TRUE(WaitUntil([&] { return Append(file, "").result != AppendResult::kOpenFailed; }));
    ASSERT_TRUE(Append(file, "one\n").Ok());
    EXPECT_EQ(reader.ReadLine(), "one");
    ASSERT_TRUE(Append(file, "two\n").Ok());
    EXPECT_EQ(reader.ReadLine(), "two");
    file.Close();
    EXPECT_EQ(reader.ReadAll(), "");
    int status = -1;
    ASSERT_TRUE(reader.Wait(30000, &status));
    EXPECT_EQ(status, 0);
}

// Links planted in a folder: followed only where the kernel's
// protected-symlinks rule would follow them.
TEST_F(CaptureFileTest, AnotherUsersLinkInAStickyFolderIsNotFollowed) {
    const passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr || geteuid() != 0) {
        GTEST_SKIP() << "needs root and the user nobody to plant another user's link";
    }
    const uid_t me = geteuid();
    struct Case {
        const char* name;
        mode_t folderMode;
        uid_t folderOwner;
        uid_t linkOwner;
        bool followed;
    };
    const Case cases[] = {
        {"nobody's link, sticky folder", 01777, me, nobody->pw_uid, false},
        {"my link, sticky folder", 01777, me, me, true},
        {"nobody's link, folder not sticky", 0777, me, nobody->pw_uid, true},
        {"nobody's link, nobody's sticky folder", 01777, nobody->pw_uid, nobody->pw_uid, true},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string folder = m_dir.File("shared" + std::to_string(round));
        const std::string victim = m_dir.File("victim" + std::to_string(round));
        const std::string dangling = m_dir.File("made" + std::to_string(round++));
        std::filesystem::create_directory(folder);
        ASSERT_EQ(chown(folder.c_str(), c.folderOwner, 0), 0);
        ASSERT_EQ(chmod(folder.c_str(), c.folderMode), 0);
        WriteFile(victim, "secret");
        const std::string link = folder + "/capture.bin";
        const std::string danglingLink = folder + "/other.bin";
        ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
        ASSERT_EQ(symlink(dangling.c_str(), danglingLink.c_str()), 0);
        ASSERT_EQ(lchown(link.c_str(), c.linkOwner, 0), 0);
        ASSERT_EQ(lchown(danglingLink.c_str(), c.linkOwner, 0), 0);

        CaptureFile file(link);
        CaptureFile other(danglingLink);
        if (c.followed) {
            EXPECT_TRUE(file.CheckLinks().Ok());
            EXPECT_TRUE(Append(file, "+").Ok());
            EXPECT_EQ(ReadFile(victim), "secret+");
            EXPECT_TRUE(other.Check().Ok());
            EXPECT_FALSE(std::filesystem::exists(dangling));
            EXPECT_TRUE(Append(other, "new").Ok());
            EXPECT_EQ(ReadFile(dangling), "new");
            continue;
        }
        for (const CaptureFileResult& result : {file.CheckLinks(), file.Check(), Append(file, "+"),
                                                other.Check(), Append(other, "new")}) {
            EXPECT_EQ(result.result, AppendResult::kLinkRefused) << result.reason;
            EXPECT_TRUE(result.link == link || result.link == danglingLink) << result.link;
        }
        EXPECT_EQ(ReadFile(victim), "secret");
        EXPECT_FALSE(std::filesystem::exists(dangling));
    }
}

}  // namespace
}  // namespace tapscope::testing
