// The capture controller with a fake view and the real transports on
// loopback: what a press of Start does to the capture file, the messages it
// shows, the blocks it writes, and how a capture ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <filesystem>
#include <future>
#include <memory>
#include <regex>
#include <stdexcept>
#include <thread>

#include "app/capture_controller.h"
#include "app/settings_documents.h"
#include "tests/app/app_test_support.h"
#include "tests/app/fake_view.h"
#include "tests/support/child_role.h"
#include "tests/support/log_test_access.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace tapscope::testing {
namespace {

using app::CaptureController;
using app::MessageAnswer;

std::string UdpDocument(unsigned short port) {
    return app::EthernetSettingsDocument({"127.0.0.1", port});
}

// The text of a log line without its prefix (which ends with the time stamp).
std::string LineText(const std::string& line) {
    static const std::regex kPrefix(R"(^.*?\d\d:\d\d:\d\d\.\d{3}\] (.*?)\r?\n?$)");
    std::smatch match;
    return std::regex_match(line, match, kPrefix) ? match[1].str() : line;
}

int CountContaining(const std::vector<std::string>& texts, const std::string& part) {
    return static_cast<int>(std::count_if(texts.begin(), texts.end(), [&](const std::string& text) {
        return text.find(part) != std::string::npos;
    }));
}

class CaptureControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ZelLog::LogSettings settings;
        settings.level = 2;
        m_log = ZelLog::CDebugTestAccess::InstallProcessLog(settings);
        ZelLog::CDebugTestAccess::TakeQueue(*m_log);
        m_view.SetFileName(m_capture);
    }

    // Starts a UDP capture on a free port and waits until the worker runs.
    unsigned short StartUdp() {
        const unsigned short port = FreeUdpPort();
        m_controller.SetSettingsPage(std::make_shared<FixedPage>(UdpDocument(port)));
        m_view.SetTab(app::kTabUdp);
        m_controller.OnStartStop();
        EXPECT_TRUE(m_controller.TransportStarted());
        EXPECT_TRUE(WaitForCaption("Stop..."));
        return port;
    }

    bool WaitForCaption(const std::string& caption) {
        return m_view.WaitFor([&](const FakeView& view) {
            return !view.CaptionsLocked().empty() && view.CaptionsLocked().back() == caption;
        });
    }
    bool WaitForMessages(std::size_t count) {
        return m_view.WaitFor(
            [&](const FakeView& view) { return view.MessageCountLocked() >= count; });
    }
    bool WaitForWorkerEnd() {
        return WaitUntil([&] { return m_controller.WorkerFinished(); });
    }

    // The texts of the log lines written since the last call.
    std::vector<std::string> LogTexts() {
        std::vector<std::string> texts;
        for (const std::string& line : ZelLog::CDebugTestAccess::TakeQueue(*m_log)) {
            texts.push_back(LineText(line));
        }
        return texts;
    }

    TempDir m_dir;
    const std::string m_capture = m_dir.File("pos_log.txt");
    ZelLog::CDebug* m_log = nullptr;
    FakeView m_view;
    CaptureController m_controller{m_view, ""};
};

TEST_F(CaptureControllerTest, EmptyFileNameShowsOneMessageAndStartsNothing) {
    m_view.SetFileName("");
    m_controller.SetSettingsPage(std::make_shared<FixedPage>(UdpDocument(FreeUdpPort())));
    m_controller.OnStartStop();

    ASSERT_EQ(m_view.Messages().size(), 1u);
    const app::MessageBoxRequest message = m_view.Messages()[0];
    EXPECT_EQ(message.text, "Empty log file name");
    EXPECT_EQ(message.caption, "tapscope");
    EXPECT_EQ(message.icon, app::MessageIcon::kWarning);
    EXPECT_EQ(message.buttons, app::MessageButtons::kOk);
    EXPECT_FALSE(m_controller.WorkerStarted());
    EXPECT_FALSE(m_controller.HoldsProtocol());
}

// The overwrite question: No keeps the file and starts nothing; Yes removes
// it, and a capture in which nothing arrives leaves no file behind.
TEST_F(CaptureControllerTest, ExistingFileIsRemovedOnlyAfterYes) {
    for (const MessageAnswer answer : {MessageAnswer::kNo, MessageAnswer::kYes}) {
        SCOPED_TRACE(answer == MessageAnswer::kYes ? "Yes" : "No");
        FakeView view;
        CaptureController controller(view, "");
        view.SetFileName(m_capture);
        view.Answer(answer);
        WriteFile(m_capture, "earlier capture");
        controller.SetSettingsPage(std::make_shared<FixedPage>(UdpDocument(FreeUdpPort())));
        controller.OnStartStop();

        ASSERT_EQ(view.Messages().size(), 1u);
        EXPECT_EQ(view.Messages()[0].text, "File 'pos_log.txt' exists.\r\n Overwrite file?");
        EXPECT_EQ(view.Messages()[0].buttons, app::MessageButtons::kYesNo);
        EXPECT_EQ(view.Messages()[0].icon, app::MessageIcon::kError);
        if (answer == MessageAnswer::kNo) {
            EXPECT_FALSE(controller.WorkerStarted());
            EXPECT_EQ(ReadFile(m_capture), "earlier capture");
            continue;
        }
        EXPECT_TRUE(controller.WorkerStarted());
        EXPECT_FALSE(std::filesystem::exists(m_capture));
        controller.OnStartStop();  // stop
        controller.OnClose();
        EXPECT_FALSE(std::filesystem::exists(m_capture));
    }
}

TEST_F(CaptureControllerTest, FolderInPlaceOfTheFileIsReportedAndNothingStarts) {
    std::filesystem::create_directory(m_capture);
    m_controller.SetSettingsPage(std::make_shared<FixedPage>(UdpDocument(FreeUdpPort())));
    m_controller.OnStartStop();

    ASSERT_EQ(m_view.Messages().size(), 1u);
    EXPECT_EQ(m_view.Messages()[0].text, "'pos_log.txt' is a folder, not a file.");
    EXPECT_EQ(m_view.Messages()[0].detail, m_capture + ": Is a directory");
    EXPECT_FALSE(m_controller.WorkerStarted());
    EXPECT_TRUE(std::filesystem::is_directory(m_capture));
}

// As "nobody": a file whose folder cannot be searched cannot be tested for
// existence, and one in a folder that cannot be written cannot be removed.
TAPSCOPE_CHILD_ROLE(PrepareAsNobody) {
    if (!DropToNobody()) {
        return kChildCannotRun;
    }
    FakeView view;
    view.Answer(MessageAnswer::kYes);
    view.SetFileName(args.at(0));
    view.SetTab(app::kTabUdp);
    CaptureController controller(view, "");
    controller.SetSettingsPage(std::make_shared<FixedPage>(args.at(1)));
    controller.OnStartStop();
    const std::vector<app::MessageBoxRequest> messages = view.Messages();
    if (controller.WorkerStarted() || messages.empty()) {
        return 1;
    }
    const app::MessageBoxRequest& last = messages.back();
    return last.text == args.at(2) && last.detail == args.at(0) + ": Permission denied" ? 0 : 2;
}

TEST_F(CaptureControllerTest, UnusableExistingFileIsReportedAndNothingStarts) {
    chmod(m_dir.Path().c_str(), 0755);
    const std::string hidden = m_dir.File("hidden");
    const std::string locked = m_dir.File("locked");
    std::filesystem::create_directory(hidden);
    std::filesystem::create_directory(locked);
    chmod(hidden.c_str(), 0700);
    chmod(locked.c_str(), 0755);
    WriteFile(hidden + "/pos_log.txt", "kept");
    WriteFile(locked + "/pos_log.txt", "kept");
    const std::string document = UdpDocument(FreeUdpPort());
    struct Case {
        std::string path;
        std::string text;
    };
    for (const Case& c :
         {Case{hidden + "/pos_log.txt", "Cannot check whether file 'pos_log.txt' exists."},
          Case{locked + "/pos_log.txt", "Cannot remove file 'pos_log.txt'."}}) {
        SCOPED_TRACE(c.path);
        const int status = RunChild("PrepareAsNobody", {c.path, document, c.text});
        if (status == kChildCannotRun) {
            GTEST_SKIP() << "cannot switch to the user nobody here";
        }
        EXPECT_EQ(status, 0);
        EXPECT_EQ(ReadFile(c.path), "kept");
    }
}

// A capture file that cannot be created is found out at Start: the message
// names the path and why, nothing starts, and no file is left behind.
TEST_F(CaptureControllerTest, UnwritableCaptureFileIsRefusedAtStart) {
    WriteFile(m_dir.File("plain"), "");
    struct Case {
        std::string path;
        const char* reason;
    };
    for (const Case& c : {Case{m_dir.File("missing/pos_log.txt"), "No such file or directory"},
                          Case{m_dir.File("plain/pos_log.txt"), "Not a directory"}}) {
        SCOPED_TRACE(c.path);
        FakeView view;
        view.SetFileName(c.path);
        view.SetTab(app::kTabUdp);
        CaptureController controller(view, "");
        controller.SetSettingsPage(std::make_shared<FixedPage>(UdpDocument(FreeUdpPort())));
        controller.OnStartStop();

        ASSERT_EQ(view.Messages().size(), 1u);
        EXPECT_EQ(view.Messages()[0].text, "Cannot capture into file 'pos_log.txt'.");
        EXPECT_EQ(view.Messages()[0].detail, c.path + ": " + c.reason);
        EXPECT_FALSE(controller.WorkerStarted());
        EXPECT_FALSE(controller.HoldsProtocol());
        EXPECT_TRUE(controller.CaptureFileRefused());
    }
    // The check of a file that can be created leaves none behind.
    StartUdp();
    EXPECT_FALSE(m_controller.CaptureFileRefused());
    EXPECT_FALSE(std::filesystem::exists(m_capture));
    m_controller.OnStartStop();
}

// Another user's link in a sticky, world-writable folder is refused before
// the overwrite question could be asked about the file it points at.
TEST_F(CaptureControllerTest, AnotherUsersLinkIsRefusedBeforeAnyQuestion) {
    const passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr || geteuid() != 0) {
        GTEST_SKIP() << "needs root and the user nobody to plant another user's link";
    }
    const std::string shared = m_dir.File("shared");
    const std::string victim = m_dir.File("victim");
    std::filesystem::create_directory(shared);
    chmod(shared.c_str(), 01777);
    WriteFile(victim, "not yours");
    const std::string link = shared + "/pos_log.txt";
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    ASSERT_EQ(lchown(link.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    m_view.SetFileName(link);
    m_view.Answer(MessageAnswer::kYes);
    m_controller.SetSettingsPage(std::make_shared<FixedPage>(UdpDocument(FreeUdpPort())));
    m_controller.OnStartStop();

    ASSERT_EQ(m_view.Messages().size(), 1u);
    EXPECT_EQ(m_view.Messages()[0].text, "Cannot capture into file 'pos_log.txt'.");
    EXPECT_EQ(m_view.Messages()[0].detail.rfind(link + ": a symbolic link of another user", 0), 0u)
        << m_view.Messages()[0].detail;
    EXPECT_FALSE(m_controller.WorkerStarted());
    EXPECT_TRUE(m_controller.CaptureFileRefused());
    EXPECT_EQ(ReadFile(victim), "not yours");
    EXPECT_TRUE(std::filesystem::is_symlink(link));
}

// A file that cannot be written during a capture is reported once per
// outage, with the count of dropped blocks when writing works again or when
// the capture ends; the capture goes on meanwhile.
TEST_F(CaptureControllerTest, WriteOutageIsReportedOnceAndTheCaptureResumes) {
    const std::string folder = m_dir.File("out");
    const std::string away = m_dir.File("away");
    std::filesystem::create_directory(folder);
    const std::string capture = folder + "/pos_log.txt";
    m_view.SetFileName(capture);
    const unsigned short port = StartUdp();
    SendDatagram(port, "a");
    ASSERT_TRUE(WaitUntil([&] { return m_controller.BlocksWritten() == 1; }));

    std::filesystem::rename(folder, away);
    for (const char* lost : {"b", "c", "d"}) {
        SendDatagram(port, lost);
    }
    ASSERT_TRUE(WaitUntil([&] { return m_controller.BlocksDropped() == 3; }));
    std::filesystem::rename(away, folder);
    SendDatagram(port, "e");
    ASSERT_TRUE(WaitUntil([&] { return m_controller.BlocksWritten() == 2; }));
    EXPECT_EQ(ReadFile(capture), "ae");

    std::filesystem::rename(folder, away);
    SendDatagram(port, "f");
    ASSERT_TRUE(WaitUntil([&] { return m_controller.BlocksDropped() == 4; }));
    m_controller.OnStartStop();
    ASSERT_TRUE(WaitForWorkerEnd());

    const std::string detail = capture + ": No such file or directory";
    const std::vector<app::MessageBoxRequest> messages = m_view.Messages();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0].text, "Cannot open file");
    EXPECT_EQ(messages[1].text, "Writing to the capture file works again; 3 blocks were dropped.");
    EXPECT_EQ(messages[2].text, "Cannot open file");
    EXPECT_EQ(messages[3].text,
              "The capture ended while its file could not be written; 1 block was dropped.");
    for (const app::MessageBoxRequest& message : messages) {
        EXPECT_EQ(message.detail, detail);
        EXPECT_EQ(message.caption, "tapscope");
    }
    EXPECT_EQ(CountContaining(LogTexts(), "Cannot open file [" + capture + "]"), 2);
}

// A FIFO whose reader stops reading: the pipe fills and the worker waits in a
// write when Stop comes; the stop is not held up, and the block is counted.
TEST_F(CaptureControllerTest, StalledPipeReaderCannotHoldTheStopUp) {
    const std::string fifo = m_dir.File("capture.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    m_view.SetFileName(fifo);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    // One datagram fits, the second does not.
    ASSERT_EQ(fcntl(reader, F_SETPIPE_SZ, 65536), 65536);
    const unsigned short port = StartUdp();
    const std::string big(60000, 'x');
    for (int i = 0; i < 3; ++i) {
        SendDatagram(port, big);
    }
    // The pipe holds the first datagram and part of the next (whether they
    // came one by one or together); the writer waits for room.
    ASSERT_TRUE(WaitUntil([&] {
        int queued = 0;
        return ioctl(reader, FIONREAD, &queued) == 0 && queued > static_cast<int>(big.size());
    }));
    auto stopped = std::async(std::launch::async, [&] {
        m_controller.OnStartStop();
        m_controller.OnClose();
    });
    EXPECT_EQ(stopped.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    close(reader);  // frees the worker should the stop have hung
    stopped.wait();
    EXPECT_GE(m_controller.BlocksDropped(), 1u);
    EXPECT_EQ(CountContaining(m_view.MessageTexts(),
                              "The capture ended while its file could not be written"),
              1);
}

// A block that cannot be written whole is reported, not logged as written.
// /dev/full takes every open and refuses every write; being a device, it is
// written to without the overwrite question.
TEST_F(CaptureControllerTest, FailedWriteIsReportedAndNotCountedAsWritten) {
    m_view.SetFileName("/dev/full");
    const unsigned short port = StartUdp();
    SendDatagram(port, "lost");
    ASSERT_TRUE(WaitForMessages(1));

    ASSERT_EQ(m_view.Messages().size(), 1u);
    EXPECT_EQ(m_view.Messages()[0].text, "Cannot write file");
    EXPECT_EQ(m_view.Messages()[0].detail, "/dev/full: No space left on device");
    EXPECT_EQ(CountContaining(LogTexts(), "Success write"), 0);
    EXPECT_EQ(m_controller.BlocksWritten(), 0u);
    EXPECT_EQ(m_view.Position(), 0);
    m_controller.OnStartStop();
}

TEST_F(CaptureControllerTest, BlocksAreAppendedInArrivalOrderAndLogged) {
    const unsigned short port = StartUdp();
    SendDatagram(port, "abc");
    SendDatagram(port, "defgh");
    ASSERT_TRUE(WaitUntil([&] { return m_controller.BlocksWritten() == 2; }));

    EXPECT_EQ(ReadFile(m_capture), "abcdefgh");
    EXPECT_EQ(m_controller.BytesWritten(), 8u);
    const std::vector<std::string> texts = LogTexts();
    const std::string settings = "[Current settings ] = " + UdpDocument(port);
    EXPECT_EQ(std::count(texts.begin(), texts.end(), settings), 1);
    const auto first = std::find(texts.begin(), texts.end(),
                                 "Success write [3] symbols to file [" + m_capture + "]");
    const auto second = std::find(texts.begin(), texts.end(),
                                  "Success write [5] symbols to file [" + m_capture + "]");
    EXPECT_NE(first, texts.end());
    EXPECT_NE(second, texts.end());
    EXPECT_LT(first, second);
    EXPECT_EQ(m_view.Position(), 20);
    m_controller.OnStartStop();
    EXPECT_TRUE(WaitForWorkerEnd());
    EXPECT_EQ(m_view.Captions(), (std::vector<std::string>{"Stop...", "Start..."}));
    EXPECT_EQ(m_view.EnabledStates(), (std::vector<bool>{false, true}));
}

// Datagrams that pile up while the worker is busy are written together; the
// file, the write lines, the counts and the progress are those of the same
// datagrams written one by one. With rollover, a new file may begin inside
// such a burst, between two datagrams.
TEST_F(CaptureControllerTest, ABurstWrittenTogetherIsTheSameAsBlocksOneByOne) {
    for (const bool rolling : {false, true}) {
        SCOPED_TRACE(rolling ? "rolling over" : "one file");
        TempDir dir;
        const std::string capture = dir.File("burst.bin");
        m_view.SetFileName(capture);
        app::RolloverLimits limits;
        limits.maxBytes = rolling ? 1000 : 0;
        m_controller.SetRollover(limits);
        const int before = m_view.Position();
        const unsigned short port = StartUdp();
        LogTexts();
        // The worker waits at the gate while the burst arrives.
        std::promise<void> gate;
        boost::asio::post(m_controller.IoService(),
                          [opened = gate.get_future().share()] { opened.wait(); });
        std::string sent;
        std::vector<std::string> writes;
        for (int i = 0; i < 57; ++i) {
            const std::string datagram(static_cast<std::size_t>(i * 7 % 200), 'A' + i % 26);
            SendDatagram(port, datagram);
            sent += datagram;
            writes.push_back("Success write [" + std::to_string(datagram.size()) + "] symbols");
        }
        gate.set_value();
        ASSERT_TRUE(WaitUntil([&] { return m_controller.BlocksWritten() == 57; }));
        EXPECT_EQ(m_controller.BytesWritten(), sent.size());
        EXPECT_EQ(m_view.Position(), (before / 10 + 57) % 10 * 10);
        m_controller.OnStartStop();
        ASSERT_TRUE(WaitForWorkerEnd());

        std::vector<std::string> texts;
        for (const std::string& text : LogTexts()) {
            if (text.rfind("Success write", 0) == 0) {
                texts.push_back(text.substr(0, text.find(" to file")));
            }
        }
        EXPECT_EQ(texts, writes);
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
            if (entry.path().extension() != ".jsonl") {  // each file's record
                files.push_back(entry.path().string());
            }
        }
        if (!rolling) {
            ASSERT_EQ(files.size(), 1u);
            EXPECT_TRUE(ReadFile(capture) == sent);
            continue;
        }
        // Every file under the limit unless one block alone passes it, and
        // together every byte once, in order.
        std::sort(files.begin(), files.end(), [](const std::string& a, const std::string& b) {
            return std::make_pair(a.size(), a) < std::make_pair(b.size(), b);
        });
        std::string joined;
        for (const std::string& file : files) {
            const std::string content = ReadFile(file);
            EXPECT_LE(content.size(), 1000u) << file;
            joined += content;
        }
        EXPECT_GT(files.size(), 5u);
        EXPECT_TRUE(joined == sent);
    }
}

// The single bytes of a burst of TCP reads reach the controller together, yet
// the capture stays what one block at a time makes: the same file, a read and
// a write line, a count and a progress step per byte, and one open, append and
// close of the capture file per byte (counted with inotify).
TEST_F(CaptureControllerTest, ABurstOfTcpBytesIsAppendedAByteAtATime) {
    const unsigned short port = FreeTcpPort();
    m_controller.SetSettingsPage(std::make_shared<FixedPage>(UdpDocument(port)));
    m_view.SetTab(app::kTabTcp);
    m_controller.OnStartStop();
    ASSERT_TRUE(m_controller.TransportStarted());
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket client(io);
    client.connect({boost::asio::ip::make_address("127.0.0.1"), port});
    boost::asio::write(client, boost::asio::buffer(std::string("<")));
    ASSERT_TRUE(WaitUntil([&] { return m_controller.BytesWritten() == 1; }));
    const int before = m_view.Position();
    LogTexts();
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, m_capture.c_str(), IN_OPEN | IN_CLOSE_WRITE), 0);
    // The worker waits at the gate while the bytes arrive: they are read in
    // bursts.
    std::promise<void> gate;
    boost::asio::post(m_controller.IoService(),
                      [opened = gate.get_future().share()] { opened.wait(); });
    constexpr int kBytes = 200;
    std::string sent;
    for (int i = 0; i < kBytes; ++i) {
        sent += static_cast<char>(i * 37);
    }
    boost::asio::write(client, boost::asio::buffer(sent));
    gate.set_value();
    ASSERT_TRUE(WaitUntil([&] { return m_controller.BlocksWritten() == kBytes + 1; }));
    EXPECT_EQ(m_view.Position(), (before / 10 + kBytes) % 10 * 10);
    int closes = 0;
    alignas(inotify_event) char events[64 * 1024];
    for (ssize_t got; (got = read(watch, events, sizeof events)) > 0;) {
        for (char* at = events; at < events + got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            closes += (event->mask & IN_CLOSE_WRITE) != 0 ? 1 : 0;
            at += sizeof(inotify_event) + event->len;
        }
    }
    close(watch);
    EXPECT_EQ(closes, kBytes);
    const auto log = LogTexts();
    EXPECT_EQ(CountContaining(log, "Success read [1] symbols from socket"), kBytes);
    EXPECT_EQ(CountContaining(log, "Success write [1] symbols to file"), kBytes);
    m_controller.OnStartStop();
    ASSERT_TRUE(WaitForWorkerEnd());
    EXPECT_TRUE(ReadFile(m_capture) == "<" + sent);
}

// A capture that rolls over puts whole blocks into time-stamped files beside
// the capture file's name, asks nothing about an existing file of that name,
// and logs each block against the file it went to.
TEST_F(CaptureControllerTest, RolloverKeepsEveryBlockWholeInOneFile) {
    WriteFile(m_capture, "earlier");
    app::RolloverLimits limits;
    limits.maxBytes = 10;
    m_controller.SetRollover(limits);
    const unsigned short port = StartUdp();
    for (const char* block : {"abcd", "efgh", "ijkl", "0123456789AB"}) {
        SendDatagram(port, block);
    }
    ASSERT_TRUE(WaitUntil([&] { return m_controller.BlocksWritten() == 4; }));
    m_controller.OnStartStop();
    ASSERT_TRUE(WaitForWorkerEnd());

    EXPECT_TRUE(m_view.Messages().empty());
    EXPECT_EQ(ReadFile(m_capture), "earlier");
    std::vector<std::string> rolled;
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.Path())) {
        if (entry.path() != m_capture && entry.path().extension() != ".jsonl") {
            rolled.push_back(entry.path().string());
        }
    }
    // In capture order: by the time stamp, then within one second "x.txt",
    // "x-2.txt", "x-3.txt".
    auto order = [](const std::string& path) {
        std::smatch match;
        std::regex_search(path, match, std::regex(R"(-(\d{8}-\d{6})(?:-(\d+))?\.txt$)"));
        return std::make_pair(match[1].str(), match[2].matched ? std::stoi(match[2].str()) : 1);
    };
    std::sort(rolled.begin(), rolled.end(),
              [&](const std::string& a, const std::string& b) { return order(a) < order(b); });
    ASSERT_EQ(rolled.size(), 3u);
    EXPECT_EQ(ReadFile(rolled[0]), "abcdefgh");
    EXPECT_EQ(ReadFile(rolled[1]), "ijkl");
    EXPECT_EQ(ReadFile(rolled[2]), "0123456789AB");
    EXPECT_EQ(m_controller.CurrentCaptureFile(), rolled[2]);
    const std::vector<std::string> texts = LogTexts();
    EXPECT_EQ(CountContaining(texts, "Success write [4] symbols to file [" + rolled[0] + "]"), 2);
    EXPECT_EQ(CountContaining(texts, "Success write [4] symbols to file [" + rolled[1] + "]"), 1);
}

// A count of 0 in a non-empty buffer is still a written block; an empty
// buffer only creates the file.
TEST_F(CaptureControllerTest, CountZeroIsABlockButAnEmptyBufferIsNot) {
    struct Case {
        const char* name;
        std::vector<char> buffer;
        bool logged;
        int position;
    };
    for (const Case& c :
         {Case{"count 0", {'x', 'y', 'z'}, true, 10}, Case{"empty", {}, false, 0}}) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(m_capture);
        FakeView view;
        view.SetFileName(m_capture);
        CaptureController controller(view, "");
        controller.SetSettingsPage(std::make_shared<FixedPage>(UdpDocument(FreeUdpPort())));
        controller.OnStartStop();
        ASSERT_TRUE(controller.HoldsProtocol());
        LogTexts();
        controller.OnProtocolData(controller.CurrentProtocol(), c.buffer, 0);

        EXPECT_TRUE(std::filesystem::exists(m_capture));
        EXPECT_EQ(ReadFile(m_capture), "");
        const std::vector<std::string> texts = LogTexts();
        const std::string line = "Success write [0] symbols to file [" + m_capture + "]";
        EXPECT_EQ(std::count(texts.begin(), texts.end(), line), c.logged ? 1 : 0);
        EXPECT_EQ(view.Position(), c.position);
        controller.OnClose();
    }
}

TEST_F(CaptureControllerTest, TenBlocksBringTheIndicatorBackToZero) {
    const unsigned short port = StartUdp();
    for (int i = 1; i <= 10; ++i) {
        SendDatagram(port, std::to_string(i));
        ASSERT_TRUE(WaitUntil([&] { return m_controller.BlocksWritten() == std::uint64_t(i); }));
        EXPECT_EQ(m_view.Position(), i * 10 % 100) << "after block " << i;
    }
    m_controller.OnStartStop();
}

// A count larger than the buffer (a transport's fault) writes only what the
// buffer holds.
TEST_F(CaptureControllerTest, CountBeyondTheBufferWritesOnlyTheBuffer) {
    StartUdp();
    m_controller.OnProtocolData(m_controller.CurrentProtocol(), {'a', 'b'}, 1000);
    EXPECT_EQ(ReadFile(m_capture), "ab");
    m_controller.OnStartStop();
}

// A document the transport rejects gives exactly one message with the
// transport's text and the window's title, and the controls come back idle.
TEST_F(CaptureControllerTest, RejectedDocumentGivesOneMessageAndIdle) {
    m_view.SetTab(app::kTabUdp);
    m_controller.SetSettingsPage(
        std::make_shared<FixedPage>("<settings ip=\"localhost\" port=\"8001\" />"));
    m_controller.OnStartStop();
    ASSERT_TRUE(WaitForWorkerEnd());

    ASSERT_EQ(m_view.Messages().size(), 1u);
    EXPECT_EQ(m_view.Messages()[0].caption, "Read protocol from service.");
    EXPECT_EQ(m_view.Messages()[0].icon, app::MessageIcon::kError);
    EXPECT_FALSE(m_view.Messages()[0].text.empty());
    EXPECT_FALSE(m_controller.HoldsProtocol());
    EXPECT_FALSE(m_controller.TransportStarted());
    EXPECT_TRUE(WaitForCaption("Start..."));
    const std::vector<std::string> texts = LogTexts();
    EXPECT_EQ(CountContaining(texts, m_view.Messages()[0].text), 1);
    EXPECT_FALSE(std::filesystem::exists(m_capture));
}

// A TCP transport whose Start fails without a message stays held while the
// worker finds nothing to do; the next press only releases it, and the press
// after that starts a new capture.
TEST_F(CaptureControllerTest, StartThatFailsSilentlyNeedsTwoMorePresses) {
    auto page = std::make_shared<FixedPage>("");
    m_controller.SetSettingsPage(page);
    m_view.SetTab(app::kTabTcp);
    m_controller.OnStartStop();
    ASSERT_TRUE(WaitForWorkerEnd());
    EXPECT_TRUE(m_view.Messages().empty());
    EXPECT_FALSE(m_controller.TransportStarted());
    EXPECT_TRUE(m_controller.HoldsProtocol());
    EXPECT_EQ(m_view.Captions(), (std::vector<std::string>{"Stop...", "Start..."}));

    m_controller.OnStartStop();
    EXPECT_FALSE(m_controller.HoldsProtocol());
    EXPECT_EQ(m_view.Captions().size(), 2u);

    const unsigned short port = FreeTcpPort();
    m_controller.SetSettingsPage(std::make_shared<FixedPage>(UdpDocument(port)));
    m_controller.OnStartStop();
    EXPECT_TRUE(m_controller.TransportStarted());
    EXPECT_TRUE(m_controller.HoldsProtocol());
    m_controller.OnStartStop();
    EXPECT_TRUE(WaitForWorkerEnd());
}

TEST_F(CaptureControllerTest, ErrorOutOfTheRunLoopIsShownAndEndsTheCapture) {
    StartUdp();
    boost::asio::post(m_controller.IoService(), [] { throw std::runtime_error("handler failed"); });
    ASSERT_TRUE(WaitForWorkerEnd());

    ASSERT_EQ(m_view.MessageTexts(), std::vector<std::string>{"handler failed"});
    EXPECT_FALSE(m_controller.HoldsProtocol());
    EXPECT_EQ(m_view.Captions().back(), "Start...");
}

// A message from a transport that is no longer held (its emission raced with
// the stop) can never stop the next capture.
TEST_F(CaptureControllerTest, LateMessageOfAnEarlierTransportIsIgnored) {
    StartUdp();
    const std::shared_ptr<AbstractProtocol> earlier = m_controller.CurrentProtocol();
    m_controller.OnStartStop();
    ASSERT_TRUE(WaitForWorkerEnd());
    StartUdp();

    earlier->m_messageSignal(earlier, "late message");
    earlier->m_dataSignal(earlier, std::vector<char>{'l', 'a', 't', 'e'}, 4);
    EXPECT_TRUE(m_view.Messages().empty());
    EXPECT_TRUE(m_controller.HoldsProtocol());
    EXPECT_FALSE(std::filesystem::exists(m_capture));
    m_controller.OnStartStop();
}

// A TCP client that goes away makes the server report it; the capture ends
// with one message, even when the button is pressed at the same moment.
TEST_F(CaptureControllerTest, ClientThatLeavesEndsTheCaptureOnce) {
    constexpr int kRounds = 10;
    m_view.SetTab(app::kTabTcp);
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        const std::size_t before = m_view.Messages().size();
        const unsigned short port = FreeTcpPort();
        m_controller.SetSettingsPage(std::make_shared<FixedPage>(UdpDocument(port)));
        std::filesystem::remove(m_capture);
        m_controller.OnStartStop();
        ASSERT_TRUE(m_controller.TransportStarted());
        {
            boost::asio::io_context io;
            boost::asio::ip::tcp::socket client(io);
            client.connect({boost::asio::ip::make_address("127.0.0.1"), port});
            boost::asio::write(client, boost::asio::buffer(std::string("xy")));
            ASSERT_TRUE(WaitUntil([&] { return m_controller.BytesWritten() == 2; }));
        }
        const bool racing = round % 2 == 1;
        if (racing) {
            m_controller.StopCapture();  // the button, racing with the server's message
        }
        ASSERT_TRUE(WaitForWorkerEnd());
        const std::size_t shown = m_view.Messages().size() - before;
        if (racing) {
            EXPECT_LE(shown, 1u);
        } else {
            EXPECT_EQ(shown, 1u);
        }
        EXPECT_FALSE(m_controller.HoldsProtocol());
        EXPECT_EQ(ReadFile(m_capture), "xy");
        if (shown == 1) {
            // Named, and shown as information: it is how such a capture ends.
            const auto message = m_view.Messages().back();
            EXPECT_TRUE(std::regex_match(
                message.text, std::regex(R"(client 127\.0\.0\.1:\d+ closed the connection)")))
                << message.text;
            EXPECT_EQ(message.icon, app::MessageIcon::kInformation);
        }
    }
}

// A transport whose Stop fails, as a close the system refuses would: it keeps
// the io_context busy with a timer until then.
class FailingStopTransport : public AbstractProtocol,
                             public std::enable_shared_from_this<FailingStopTransport> {
public:
    FailingStopTransport(boost::asio::io_context& io, const std::string& settings)
        : AbstractProtocol(io, settings), m_timer(io) {}
    bool Start() override {
        m_timer.expires_after(std::chrono::hours(1));
        m_timer.async_wait([self = shared_from_this()](const boost::system::error_code&) {});
        return true;
    }
    void Stop() override {
        if (m_stopped.exchange(true)) {
            return;
        }
        m_timer.cancel();
        ReportMessage(weak_from_this().lock(), "close: Bad file descriptor");
    }

private:
    boost::asio::steady_timer m_timer;
    std::atomic<bool> m_stopped{false};
};

// The failure of the Stop that ends a capture reaches the operator as any
// transport message does: a box with the window's title and an error line,
// whether the capture's worker still runs or has already ended.
TEST_F(CaptureControllerTest, AFailedStopIsShownAsATransportMessage) {
    m_controller.SetProtocolFactory([](boost::asio::io_context& io, int, const std::string& doc) {
        return std::shared_ptr<AbstractProtocol>(MakeProtocol<FailingStopTransport>(io, doc));
    });
    m_controller.SetSettingsPage(std::make_shared<FixedPage>(UdpDocument(FreeUdpPort())));
    for (const bool workerRuns : {true, false}) {
        SCOPED_TRACE(workerRuns ? "worker runs" : "worker ended");
        const std::size_t before = m_view.Messages().size();
        m_controller.OnStartStop();
        ASSERT_TRUE(m_controller.TransportStarted());
        ASSERT_TRUE(WaitForCaption("Stop..."));
        LogTexts();
        if (!workerRuns) {
            m_controller.IoService().stop();
            ASSERT_TRUE(WaitForWorkerEnd());
            ASSERT_TRUE(m_controller.HoldsProtocol());
        }
        m_controller.OnStartStop();  // Stop
        ASSERT_TRUE(WaitForWorkerEnd());
        ASSERT_TRUE(WaitForMessages(before + 1));
        const auto messages = m_view.Messages();
        ASSERT_EQ(messages.size(), before + 1);
        EXPECT_EQ(messages.back().text, "close: Bad file descriptor");
        EXPECT_EQ(messages.back().caption, m_view.WindowTitle());
        EXPECT_EQ(messages.back().icon, app::MessageIcon::kError);
        const auto log = LogTexts();
        EXPECT_EQ(CountContaining(log, "no longer in use"), 0);
        EXPECT_EQ(CountContaining(log, "close: Bad file descriptor"), 1);
        EXPECT_FALSE(m_controller.HoldsProtocol());
        EXPECT_EQ(m_view.Captions().back(), "Start...");
    }
}

// A transport that, at the end of a capture, delivers one last block from
// the worker and reports that more was left behind.
class DrainingTransport : public AbstractProtocol,
                          public std::enable_shared_from_this<DrainingTransport> {
public:
    DrainingTransport(boost::asio::io_context& io, const std::string& settings)
        : AbstractProtocol(io, settings), m_timer(io) {}
    bool Start() override {
        m_timer.expires_after(std::chrono::hours(1));
        m_timer.async_wait([self = shared_from_this()](const boost::system::error_code&) {});
        return true;
    }
    void Stop() override { m_timer.cancel(); }
    void Drain(std::chrono::steady_clock::time_point, DrainDone done) override {
        boost::asio::post(m_ioService, [self = shared_from_this(), done] {
            self->m_dataSignal(self, std::vector<char>{'t', 'a', 'i', 'l'}, 4);
            done(DrainResult{4, 7});
        });
    }

private:
    boost::asio::steady_timer m_timer;
};

// What a transport delivers while it drains is written to the capture file;
// what it drained and left is kept for the totals, and what it left is shown.
TEST_F(CaptureControllerTest, WhatTheDrainDeliversIsWrittenAndCounted) {
    m_controller.SetProtocolFactory([](boost::asio::io_context& io, int, const std::string& doc) {
        return std::shared_ptr<AbstractProtocol>(MakeProtocol<DrainingTransport>(io, doc));
    });
    m_controller.SetSettingsPage(std::make_shared<FixedPage>(UdpDocument(FreeUdpPort())));
    m_controller.OnStartStop();
    ASSERT_TRUE(WaitForCaption("Stop..."));
    m_controller.OnStartStop();
    ASSERT_TRUE(WaitForWorkerEnd());
    EXPECT_EQ(ReadFile(m_capture), "tail");
    EXPECT_EQ(m_controller.BytesWritten(), 4u);
    EXPECT_EQ(m_controller.LastDrain().drainedBytes, 4u);
    EXPECT_EQ(m_controller.LastDrain().leftBytes, 7u);
    EXPECT_EQ(m_view.LeftBehind(), std::vector<std::uint64_t>{7});
    EXPECT_TRUE(m_view.Messages().empty());
    EXPECT_FALSE(m_controller.HoldsProtocol());
}

// Stop pressed while the worker waits for the box of a transport message,
// then Start: the press waits for the last capture to end instead of joining
// a worker that waits for the window.
TEST_F(CaptureControllerTest, PressWhileTheLastCaptureIsEndingDoesNothing) {
    const unsigned short port = FreeTcpPort();
    m_view.SetTab(app::kTabTcp);
    m_controller.SetSettingsPage(std::make_shared<FixedPage>(UdpDocument(port)));
    m_view.HoldBoxes(true);
    m_controller.OnStartStop();
    {
        boost::asio::io_context io;
        boost::asio::ip::tcp::socket client(io);
        client.connect({boost::asio::ip::make_address("127.0.0.1"), port});
    }
    // The server reports the client's leaving; the worker waits in the box.
    ASSERT_TRUE(m_view.WaitFor([](const FakeView& view) { return view.WaitingLocked() == 1; }));
    m_controller.StopCapture();
    m_controller.OnStartStop();
    EXPECT_FALSE(m_controller.HoldsProtocol());
    EXPECT_FALSE(m_controller.WorkerFinished());

    m_view.HoldBoxes(false);
    ASSERT_TRUE(WaitForWorkerEnd());
    m_controller.OnStartStop();
    EXPECT_TRUE(m_controller.HoldsProtocol());
    m_controller.OnStartStop();
}

}  // namespace
}  // namespace tapscope::testing
