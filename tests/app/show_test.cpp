// "tapscope show": hand-written captures and records in a temporary folder,
// shown through the command line's own parsing; the program itself for the
// cases that depend on its streams and exit status.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/show_command.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/zone_guard.h"

namespace tapscope::testing {
namespace {

constexpr int kExitLimitMs = 30000;

// Two TCP clients, interleaved: #1 sends "GET /a\r\n", #2 "GET /b\r\n", #1
// "ok\n", and after midnight #2 twenty bytes more.
const std::string kCapture =
    std::string("GET /a\r\nGET /b\r\nok\n0123456789abcdef") + std::string("\0\1\xff!", 4);
const std::string kCaptureSha256 =
    "a1eeb4101c4d4be0d3e0aeef999b39b5f6ced464ca86ede70f65592b095a136e";

// "31.5" -> "2026-12-08T17:49:31.5Z"
std::string At(const std::string& seconds) {
    return "2026-12-08T17:49:" + seconds + "Z";
}

std::string Start() {
    return R"({"type":"start","version":1,"transport":"tcp","capture":"till.bin","time":")" +
           At("30.000000") + R"(","mono":1000})";
}

std::string TcpSource(int id, int port) {
    return R"({"type":"source","id":)" + std::to_string(id) +
           R"(,"kind":"tcp","name":"127.0.0.1:)" + std::to_string(port) +
           R"(","address":"127.0.0.1","port":)" + std::to_string(port) + R"(,"connection":)" +
           std::to_string(id) + "}";
}

std::string Row(int source, int offset, int length, const std::string& first,
                const std::string& last, long long firstMono = 0, long long lastMono = 0) {
    std::string row = R"({"type":"row","source":)" + std::to_string(source) + R"(,"offset":)" +
                      std::to_string(offset) + R"(,"length":)" + std::to_string(length) +
                      R"(,"blocks":)" + std::to_string(length) + R"(,"first":")" + first +
                      R"(","last":")" + last + "\"";
    if (firstMono != 0) {
        row += R"(,"first_mono":)" + std::to_string(firstMono) + R"(,"last_mono":)" +
               std::to_string(lastMono);
    }
    return row + "}";
}

std::string Event(const std::string& kind, int source, const std::string& time,
                  const std::string& text, const std::string& more = "") {
    return R"({"type":"event","kind":")" + kind + R"(","source":)" + std::to_string(source) +
           R"(,"time":")" + time + "\"" + (text.empty() ? "" : R"(,"text":")" + text + "\"") +
           more + "}";
}

std::string End(int bytes, int rows, const std::string& sha256) {
    return R"({"type":"end","reason":"stopped","time":")" + At("59.000000") + R"(","bytes":)" +
           std::to_string(bytes) + R"(,"rows":)" + std::to_string(rows) + R"(,"sha256":")" +
           sha256 + "\"}";
}

// The record of kCapture, without its end.
std::vector<std::string> TwoClients() {
    return {Start(),
            TcpSource(1, 40112),
            Event("connected", 1, At("31.000000"), "client 127.0.0.1:40112 connected"),
            Row(1, 0, 8, At("31.100000"), At("31.100500")),
            TcpSource(2, 40114),
            Event("connected", 2, At("31.200000"), "client 127.0.0.1:40114 connected"),
            Row(2, 8, 8, At("32.000000"), At("32.000000")),
            Row(1, 16, 3, At("34.500000"), At("34.600000")),
            Event("closed", 1, At("35.000000"), "client 127.0.0.1:40112 closed the connection"),
            Row(2, 19, 20, "2026-12-09T00:00:01.000000Z", "2026-12-09T00:00:01.000200Z"),
            Event("reset", 2, "2026-12-09T00:00:02.000000Z", "")};
}

struct Shown {
    int status = -1;
    std::string out;
    std::string err;
};

class ShowTest : public ::testing::Test {
protected:
    // The capture file and, unless |lines| is empty, its record.
    void Write(const std::string& capture, std::vector<std::string> lines) {
        WriteFile(m_capture, capture);
        std::string record;
        for (const std::string& line : lines) {
            record += line + "\n";
        }
        if (!lines.empty()) {
            WriteFile(m_capture + ".jsonl", record);
        }
    }

    // "tapscope show <capture> |args|", parsed and run here.
    Shown Show(const std::vector<std::string>& args = {}) {
        std::vector<std::string> line = {"show", m_capture};
        line.insert(line.end(), args.begin(), args.end());
        const app::CommandLine command = app::ParseCommandLine(line);
        EXPECT_EQ(command.kind, app::CommandKind::kShow) << command.error;
        std::ostringstream out;
        std::ostringstream err;
        Shown shown;
        shown.status = app::RunShow(command.show, out, err);
        shown.out = out.str();
        shown.err = err.str();
        return shown;
    }

    ZoneGuard m_zone{"UTC0"};
    TempDir m_dir;
    const std::string m_capture = m_dir.File("till.bin");
};

TEST_F(ShowTest, ListsRowsAndEventsInArrivalOrderWithTimesSourcesAndBytes) {
    std::vector<std::string> record = TwoClients();
    record.push_back(End(39, 4, kCaptureSha256));
    Write(kCapture, record);
    const Shown shown = Show();
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_EQ(shown.err, "");
    EXPECT_EQ(shown.out,
              "=== 2026-12-08\n"
              "-- 17:49:31.000000 client 127.0.0.1:40112 connected\n"
              "17:49:31.100000 #1 127.0.0.1:40112: 8 bytes\n"
              "00000000: 4745 5420 2f61 0d0a                      GET /a..\n"
              "-- 17:49:31.200000 client 127.0.0.1:40114 connected\n"
              "17:49:32.000000 #2 127.0.0.1:40114: 8 bytes\n"
              "00000008: 4745 5420 2f62 0d0a                      GET /b..\n"
              "17:49:34.500000 #1 127.0.0.1:40112: 3 bytes\n"
              "00000010: 6f6b 0a                                  ok.\n"
              "-- 17:49:35.000000 client 127.0.0.1:40112 closed the connection\n"
              "=== 2026-12-09\n"
              "00:00:01.000000 #2 127.0.0.1:40114: 20 bytes\n"
              "00000013: 3031 3233 3435 3637 3839 6162 6364 6566  0123456789abcdef\n"
              "00000023: 0001 ff21                                ...!\n"
              "-- 00:00:02.000000 reset (#2 127.0.0.1:40114)\n");
}

TEST_F(ShowTest, TimesAreShownAndTakenInLocalTime) {
    ZoneGuard zone("XST-2");  // two hours east of UTC, without daylight saving
    Write(kCapture, TwoClients());
    Shown shown = Show({"--source", "#1"});
    EXPECT_NE(shown.out.find("=== 2026-12-08\n-- 19:49:31.000000 client"), std::string::npos)
        << shown.out;
    // 23:59:59 local is 21:59:59 UTC, and 00:00:01 UTC is 02:00:01 local of
    // the next day.
    shown = Show({"--since", "2026-12-09T02:00:00", "--raw"});
    EXPECT_EQ(shown.out, kCapture.substr(19));
    shown = Show({"--since", "2026-12-09T00:00:00Z", "--raw"});
    EXPECT_EQ(shown.out, kCapture.substr(19));
    shown = Show({"--until", "19:49:32", "--raw"});
    EXPECT_EQ(shown.out, kCapture.substr(0, 16));
}

TEST_F(ShowTest, SourceWithRawGivesOneClientsStreamExactly) {
    Write(kCapture, TwoClients());
    for (const char* name : {"#2", "2", "127.0.0.1:40114", "#2 127.0.0.1:40114"}) {
        const Shown shown = Show({"--source", name, "--raw"});
        EXPECT_EQ(shown.out, kCapture.substr(8, 8) + kCapture.substr(19)) << name;
        EXPECT_EQ(shown.status, 0) << name << shown.err;
    }
    Shown shown = Show({"--source=1", "--raw"});
    EXPECT_EQ(shown.out, "GET /a\r\nok\n");
    // Several sources, or an address that both share, give both in order.
    shown = Show({"--source", "1", "--source", "2", "--raw"});
    EXPECT_EQ(shown.out, kCapture);
    shown = Show({"--source", "127.0.0.1", "--raw"});
    EXPECT_EQ(shown.out, kCapture);
    // The listing keeps the events of the chosen source alone.
    shown = Show({"--source", "#1"});
    EXPECT_NE(shown.out.find("40112 closed the connection"), std::string::npos);
    EXPECT_EQ(shown.out.find("40114"), std::string::npos) << shown.out;

    shown = Show({"--source", "#3", "--raw"});
    EXPECT_EQ(shown.status, 2);
    EXPECT_EQ(shown.out, "");
    EXPECT_NE(shown.err.find("names no source of the record (its sources: #1 127.0.0.1:40112, "
                             "#2 127.0.0.1:40114)"),
              std::string::npos)
        << shown.err;
}

TEST_F(ShowTest, SinceAndUntilChooseWhatArrivedBetween) {
    Write(kCapture, TwoClients());
    // A row that is under way at --since is in.
    Shown shown = Show({"--since", "17:49:31.1003", "--until", "17:49:34.5", "--raw"});
    EXPECT_EQ(shown.out, kCapture.substr(0, 19));
    shown = Show({"--since", "17:49:31.1006", "--until", "17:49:34.499999", "--raw"});
    EXPECT_EQ(shown.out, "GET /b\r\n");
    // The capture's tail past its last row has no time: left out, and told.
    Write(kCapture + "tail", TwoClients());
    shown = Show({"--since", "2026-12-08T17:49:32"});
    EXPECT_EQ(shown.out.find("40112 connected"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("-- 17:49:35.000000 client 127.0.0.1:40112 closed"),
              std::string::npos);
    EXPECT_EQ(shown.out.find("tail"), std::string::npos) << shown.out;
    EXPECT_NE(shown.err.find("4 bytes of unknown time and source left out"), std::string::npos)
        << shown.err;
    EXPECT_EQ(shown.status, 0);
}

TEST_F(ShowTest, StatsCountRowsSourcesGapsLossesAndCheckTheEnd) {
    std::vector<std::string> record = {
        Start(),
        R"({"type":"source","id":1,"kind":"udp","name":"10.0.0.7:5000","address":"10.0.0.7","port":5000})",
        R"({"type":"source","id":2,"kind":"udp","name":"10.0.0.8:5000","address":"10.0.0.8","port":5000})",
        Row(1, 0, 8, At("31.000000"), At("31.000000"), 2000000000, 2000000000),
        // The wall clock was set back an hour here; the monotonic clock says
        // 3 s passed, and the gap is that.
        Row(2, 8, 8, "2026-12-08T16:49:34.000000Z", "2026-12-08T16:49:34.000000Z", 5000000000,
            5000000000),
        Event("loss", 0, "2026-12-08T16:49:35.000000Z", "2 datagrams lost",
              R"(,"count":2,"unit":"datagrams")"),
        Event("write-failed", 0, "2026-12-08T16:49:35.500000Z", "1 block not written",
              R"(,"count":1)"),
        Row(1, 16, 23, "2026-12-08T16:49:35.250000Z", "2026-12-08T16:49:36.000000Z", 6250000000,
            7000000000),
        End(39, 3, kCaptureSha256)};
    Write(kCapture, record);
    const Shown shown = Show({"--stats"});
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_EQ(shown.out, "capture file:   " + m_capture +
                             ", 39 bytes\n"
                             "record:         " +
                             m_capture +
                             ".jsonl, 3 rows, 2 events\n"
                             "rows:           3\n"
                             "bytes:          39\n"
                             "blocks:         39\n"
                             "sources:        2\n"
                             "  10.0.0.7:5000: 31 bytes in 2 rows\n"
                             "  10.0.0.8:5000: 8 bytes in 1 row\n"
                             "first:          2026-12-08 16:49:34.000000\n"
                             "last:           2026-12-08 17:49:31.000000\n"
                             "longest gap:    3.000000 s, from 17:49:31.000000 to 16:49:34.000000 "
                             "(before offset 8, 10.0.0.8:5000)\n"
                             "losses:         2 datagrams (1 event)\n"
                             "write failures: 1 block not written (1 event)\n"
                             "end:            stopped, 39 bytes (as the file has)\n"
                             "sha256:         matches the file\n");
}

TEST_F(ShowTest, ARunningCaptureShowsItsBytesPastTheLastRowAsTimeUnknown) {
    std::vector<std::string> record = TwoClients();
    Write(kCapture + "more", record);
    // The writer is in the middle of its next line.
    WriteFile(m_capture + ".jsonl", ReadFile(m_capture + ".jsonl") + R"({"type":"ro)");
    Shown shown = Show();
    EXPECT_EQ(shown.status, 0) << shown.err;
    const std::string tail =
        "time unknown, past the record's last row: 4 bytes\n"
        "00000027: 6d6f 7265                                more\n";
    ASSERT_GE(shown.out.size(), tail.size());
    EXPECT_EQ(shown.out.substr(shown.out.size() - tail.size()), tail) << shown.out;
    EXPECT_NE(shown.err.find("the record has no end: the capture is still running"),
              std::string::npos)
        << shown.err;
    shown = Show({"--raw"});
    EXPECT_EQ(shown.out, kCapture + "more");
    shown = Show({"--stats"});
    EXPECT_NE(shown.out.find("time unknown:   4 bytes\n"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("end:            none"), std::string::npos) << shown.out;
}

TEST_F(ShowTest, ACaptureWithoutARecordIsOneBlockOfUnknownTime) {
    Write("abc", {});
    Shown shown = Show();
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(shown.out,
              "time unknown: 3 bytes\n"
              "00000000: 6162 63                                  abc\n");
    EXPECT_NE(shown.err.find("has no record"), std::string::npos) << shown.err;
    // A record of a newer format is not guessed at: said, and the bytes shown.
    WriteFile(m_capture + ".jsonl", R"({"type":"start","version":2})"
                                    "\n");
    shown = Show({"--raw"});
    EXPECT_EQ(shown.status, 1);
    EXPECT_EQ(shown.out, "abc");
    EXPECT_NE(shown.err.find("record version 2 is newer"), std::string::npos) << shown.err;
}

TEST_F(ShowTest, ACaptureFileCutShortIsReportedAndWhatIsThereShown) {
    std::vector<std::string> record = TwoClients();
    record.push_back(End(39, 4, kCaptureSha256));
    Write(kCapture.substr(0, 12), record);
    Shown shown = Show();
    EXPECT_EQ(shown.status, 1);
    EXPECT_NE(shown.out.find("17:49:32.000000 #2 127.0.0.1:40114: 8 bytes\n"
                             "00000008: 4745 5420                                GET \n"
                             "(bytes 12 to 15 are not in the capture file)\n"
                             "17:49:34.500000 #1 127.0.0.1:40112: 3 bytes\n"
                             "(bytes 16 to 18 are not in the capture file)\n"),
              std::string::npos)
        << shown.out;
    EXPECT_NE(shown.err.find("has 12 bytes, but the record's rows reach to 39: the capture "
                             "file was cut short or replaced"),
              std::string::npos)
        << shown.err;
    EXPECT_NE(shown.err.find("the record's end says 39 bytes"), std::string::npos) << shown.err;
    shown = Show({"--source", "1", "--raw"});
    EXPECT_EQ(shown.out, "GET /a\r\n");
    EXPECT_EQ(shown.status, 1);
}

TEST_F(ShowTest, AChangedCaptureOrRowsThatDoNotTileItAreReported) {
    std::vector<std::string> record = TwoClients();
    record.push_back(End(39, 4, kCaptureSha256));
    std::string changed = kCapture;
    changed[3] = '_';
    Write(changed, record);
    Shown shown = Show({"--stats"});
    EXPECT_EQ(shown.status, 1);
    EXPECT_NE(shown.err.find("the capture file has changed since it was recorded"),
              std::string::npos)
        << shown.err;
    EXPECT_NE(shown.out.find("sha256:         differs"), std::string::npos) << shown.out;

    // A gap between two rows, a row over the one before it, and a source
    // never declared.
    Write("0123456789", {Start(), TcpSource(1, 40112), Row(1, 0, 4, At("31.0"), At("31.0")),
                         Row(1, 6, 2, At("32.0"), At("32.0")), Row(1, 7, 3, At("33.0"), At("33.0")),
                         Row(5, 10, 0, At("34.0"), At("34.0")), "{oops",
                         Row(0, 10, 0, At("35.0"), At("35.0")), End(10, 5, "")});
    shown = Show();
    EXPECT_EQ(shown.status, 1);
    for (const char* report :
         {"bytes 4 to 5 of ",
          "the row at offset 7 overlaps the rows before it (to "
          "offset 7)",
          "the row at offset 10 is of source 5, which the record does not declare",
          ".jsonl line 7: not a JSON object"}) {
        EXPECT_NE(shown.err.find(report), std::string::npos) << report << " in\n" << shown.err;
    }
    EXPECT_NE(shown.out.find("17:49:34.000000 source 5: 0 bytes\n"
                             "17:49:35.000000 unknown source: 0 bytes\n"),
              std::string::npos)
        << shown.out;
    // A row of source 0, the format's unknown source, is no fault.
    EXPECT_EQ(shown.err.find("source 0"), std::string::npos) << shown.err;
}

// The program itself, its standard output and standard error apart.
Shown RunProgram(const std::string& errors, const std::vector<std::string>& args) {
    std::vector<std::string> shellArgs = {"-c", "e=$1; shift; exec \"$0\" \"$@\" 2>\"$e\"",
                                          TAPSCOPE_PROGRAM, errors};
    shellArgs.insert(shellArgs.end(), args.begin(), args.end());
    ChildProcess child("/bin/sh", shellArgs);
    child.CloseInput();
    Shown shown;
    shown.out = child.ReadAll();
    EXPECT_TRUE(child.Wait(kExitLimitMs, &shown.status));
    shown.err = ReadFile(errors);
    return shown;
}

TEST_F(ShowTest, TheProgramWritesOneClientsBytesAloneAndReportsAMismatch) {
    std::vector<std::string> record = TwoClients();
    record.push_back(End(39, 4, kCaptureSha256));
    Write(kCapture, record);
    const std::string errors = m_dir.File("errors.txt");
    Shown shown = RunProgram(errors, {"show", m_capture, "--source", "#2", "--raw"});
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_EQ(shown.out, kCapture.substr(8, 8) + kCapture.substr(19));
    EXPECT_EQ(shown.err, "");

    WriteFile(m_capture, kCapture + "!");
    shown = RunProgram(errors, {"show", "--stats", m_capture});
    EXPECT_EQ(shown.status, 1);
    EXPECT_NE(shown.out.find("rows:           4\n"), std::string::npos) << shown.out;
    EXPECT_NE(shown.err.find("tapscope: the capture file has changed since it was recorded"),
              std::string::npos)
        << shown.err;

    // An output that cannot be written is a failure, not a success.
    ChildProcess full("/bin/sh", {"-c", "exec \"$0\" \"$@\" >/dev/full 2>&1", TAPSCOPE_PROGRAM,
                                  "show", m_capture, "--raw"});
    const std::string said = full.ReadAll();
    int status = -1;
    ASSERT_TRUE(full.Wait(kExitLimitMs, &status));
    EXPECT_EQ(status, 2) << said;

    shown = RunProgram(errors, {"show", m_dir.File("none.bin")});
    EXPECT_EQ(shown.status, 2);
    EXPECT_NE(shown.err.find("cannot open " + m_dir.File("none.bin")), std::string::npos);
}

TEST(ShowCommandLine, RefusesWhatItCannotUse) {
    const struct {
        std::vector<std::string> args;
        std::string error;
    } cases[] = {
        {{"show"}, "show needs a capture file"},
        {{"show", "a", "b"}, "show takes one capture file; 'b' is one too many"},
        {{"show", "a", "--raw", "--stats"}, "give either --raw or --stats, not both"},
        {{"show", "a", "--since", "25:00:00"}, "--since: '25:00:00' is not a time such as"},
        {{"show", "a", "--until=2026-02-30T00:00:00"}, "--until: '2026-02-30T00:00:00' is not"},
        {{"show", "a", "--source"}, "--source needs a value"},
        {{"show", "a", "--port", "1"}, "unknown option '--port' of show"},
        {{"show", "a", "--raw=yes"}, "--raw takes no value"},
    };
    for (const auto& c : cases) {
        const app::CommandLine command = app::ParseCommandLine(c.args);
        EXPECT_EQ(command.kind, app::CommandKind::kError) << c.error;
        EXPECT_EQ(command.error.rfind(c.error, 0), 0u) << command.error;
    }
    // "--" ends the options: a capture file may begin with a dash.
    const app::CommandLine command =
        app::ParseCommandLine({"show", "--source", "2", "--since", "17:49:30.25", "--", "-x"});
    ASSERT_EQ(command.kind, app::CommandKind::kShow) << command.error;
    EXPECT_EQ(command.show.file, "-x");
    ASSERT_TRUE(command.show.since);
    EXPECT_TRUE(command.show.since->timeOfDay);
    EXPECT_EQ(command.show.since->time.micros, 250000);
    EXPECT_EQ(app::ParseCommandLine({"show", "--help"}).kind, app::CommandKind::kHelp);
}

}  // namespace
}  // namespace tapscope::testing
