// The line's lock and error counters on what this machine has: a socat
// pseudo-terminal (which keeps no counters) and plain files.
#include "platform/serial_line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "tests/support/socat_pty.h"
#include "tests/support/temp_dir.h"

namespace tapscope::platform {
namespace {

using tapscope::testing::SocatPty;
using tapscope::testing::TempDir;

LineCounters Counts(std::uint64_t overrun, std::uint64_t bufferOverrun, std::uint64_t framing,
                    std::uint64_t parity, std::uint64_t breaks) {
    LineCounters counters;
    counters.overrun = overrun;
    counters.bufferOverrun = bufferOverrun;
    counters.framing = framing;
    counters.parity = parity;
    counters.breaks = breaks;
    return counters;
}

TEST(LineCounters, ChangesAreCountedPerKindAndADriverThatStartsOverCountsFromZero) {
    struct Case {
        LineCounters before;
        LineCounters now;
        std::uint64_t total;
        std::string text;
    } cases[] = {
        {Counts(0, 0, 0, 0, 0), Counts(0, 0, 0, 0, 0), 0, "none"},
        {Counts(1, 0, 2, 0, 0), Counts(3, 0, 3, 0, 0), 3, "2 overrun, 1 framing"},
        {Counts(0, 0, 0, 0, 0), Counts(0, 4, 0, 5, 6), 15, "4 buffer overrun, 5 parity, 6 break"},
        // The driver's counts went down (the port was reset): what it has
        // now is new.
        {Counts(9, 0, 0, 7, 0), Counts(2, 0, 0, 7, 0), 2, "2 overrun"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const LineCounters change = c.before.ChangeTo(c.now);
        EXPECT_EQ(change.Total(), c.total);
        EXPECT_EQ(change.Text(), c.text);
    }
}

TEST(SerialLine, APseudoTerminalOrAFileKeepsNoCountersAndABadDescriptorFails) {
    SocatPty pty;
    if (!pty.Ok()) {
        GTEST_SKIP() << pty.Error();
    }
    const int line = ::open(pty.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(line, 0);
    LineCounters counters = Counts(1, 1, 1, 1, 1);
    int error = 0;
    EXPECT_EQ(ReadLineCounters(line, counters, error), LineCountersResult::kUnsupported);
    // Nothing read, nothing changed.
    EXPECT_EQ(counters.Total(), 5u);
    ::close(line);

    TempDir folder;
    const int file = ::open(folder.File("plain").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(file, 0);
    EXPECT_EQ(ReadLineCounters(file, counters, error), LineCountersResult::kUnsupported);
    ::close(file);

    EXPECT_EQ(ReadLineCounters(-1, counters, error), LineCountersResult::kFailed);
    EXPECT_EQ(error, EBADF);
}

TEST(SerialLine, TheLockIsForOneDescriptorAndGoesWithIt) {
    SocatPty pty;
    if (!pty.Ok()) {
        GTEST_SKIP() << pty.Error();
    }
    const int first = ::open(pty.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(first, 0);
    int error = -1;
    EXPECT_TRUE(TakeLineExclusively(first, error));
    EXPECT_EQ(error, 0);
    // No program started later inherits it.
    EXPECT_NE(::fcntl(first, F_GETFD) & FD_CLOEXEC, 0);
    // Root passes the terminal's exclusive mode; the lock still refuses it.
    const int second = ::open(pty.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(second, 0);
    EXPECT_FALSE(TakeLineExclusively(second, error));
    EXPECT_EQ(error, EWOULDBLOCK);
    ReleaseLine(first);
    ::close(first);
    EXPECT_TRUE(TakeLineExclusively(second, error));
    ReleaseLine(second);
    ::close(second);
}

}  // namespace
}  // namespace tapscope::platform
