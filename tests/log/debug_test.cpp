#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log/debug.h"
#include "log/line_format.h"
#include "platform/process_info.h"
#include "tests/support/debug_capture.h"
#include "tests/support/log_test_access.h"

namespace ZelLog {
namespace {

namespace platform = tapscope::platform;
using tapscope::testing::DebugCapture;

std::unique_ptr<CDebug> MakeLog(std::int32_t level, std::uint32_t options = 1,
                                const std::string& filter = "") {
    LogSettings settings;
    settings.level = level;
    settings.options = options;
    settings.filter = filter;
    return CDebugTestAccess::Create(settings);
}

std::vector<std::string> Queued(CDebug& debug) {
    return CDebugTestAccess::TakeQueue(debug);
}

// One call of every line operation.
void WriteOneOfEach(CDebug& debug) {
    debug.Trace("trace %d", 1);
    debug.Warning("warning %d", 2);
    ZEL_ERROR_SITE_FOR (&debug)("error %d", 3);
    debug.PrintRaw("raw %d\n", 4);
    debug.Dump("dump 5\n");
}

TEST(CDebugLevels, EachOperationWritesFromItsOwnLevel) {
    struct Case {
        std::int32_t level;
        std::vector<std::string> kinds;
    } cases[] = {
        {-1, {}},
        {0, {}},
        {1, {"warning", "error", "dump"}},
        {2, {"trace", "warning", "error", "raw", "dump"}},
        {7, {"trace", "warning", "error", "raw", "dump"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.level);
        auto debug = MakeLog(c.level);
        WriteOneOfEach(*debug);
        const auto lines = Queued(*debug);
        ASSERT_EQ(lines.size(), c.kinds.size());
        for (std::size_t i = 0; i < lines.size(); ++i) {
            EXPECT_NE(lines[i].find(c.kinds[i]), std::string::npos) << lines[i];
        }
    }
}

TEST(CDebugLines, TheShapeOfEachKindOfLine) {
    auto debug = MakeLog(2);
    debug->Trace("Stop TCP Server");
    debug->Warning("disk %s", "low");
    ErrorSite{debug.get(), "src\\protocols\\udp.cpp", "Wed Jun 27 18:10:10 2018", 322}(
        "%s", "bind failed");
    debug->PrintRaw("INSUFFISIENT DISK SPACE!!!");
    const auto lines = Queued(*debug);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(kPrefixPattern + " Stop TCP Server\n")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(kPrefixPattern + " !WARNING! disk low\n")))
        << lines[1];
    const std::regex error(kPrefixPattern + R"( #\* ERROR \*# bind failed \(file:udp.cpp line:322 )"
                                            R"(ver:Wed Jun 27 18:10:10 2018 memory:(\d+) MB\)\n)");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[2], match, error)) << lines[2];
    const long reportedMb = std::stol(match[1]);
    const long residentMb = static_cast<long>(platform::WorkingSetBytes() >> 20);
    EXPECT_NEAR(reportedMb, residentMb, 16);
    EXPECT_EQ(lines[3], "INSUFFISIENT DISK SPACE!!!");

    // A path without separators is shown whole; "/" separates as "\" does.
    ErrorSite{debug.get(), "plain.cpp", "ts", 1}("x");
    ErrorSite{debug.get(), "/home/build/app/window.cpp", "ts", 2}("y");
    const auto more = Queued(*debug);
    ASSERT_EQ(more.size(), 2u);
    EXPECT_NE(more[0].find("(file:plain.cpp line:1 ver:ts memory:"), std::string::npos);
    EXPECT_NE(more[1].find("(file:window.cpp line:2 ver:ts memory:"), std::string::npos);
}

TEST(CDebugLines, PercentSignsOutsideTheCallersFormatAreCopiedAsTheyStand) {
    auto debug = MakeLog(2);
    ErrorSite{debug.get(), "src/100%s%n%d.cpp", "Wed %s %n", 7}("%d%% done", 50);
    debug->Trace("%s", "100% %s %n");
    const auto lines = Queued(*debug);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(" #* ERROR *# 50% done (file:100%s%n%d.cpp line:7 ver:Wed %s %n "),
              std::string::npos)
        << lines[0];
    EXPECT_EQ(lines[1].substr(lines[1].size() - 12), " 100% %s %n\n");
}

TEST(CDebugFilter, TraceAndWarningNeedTheFilterTextErrorsDoNot) {
    auto debug = MakeLog(2, 1, "COM");
    debug->Trace("Connect to [COM3]");
    debug->Trace("Start UDP Server");
    debug->Warning("no com port");  // case-sensitive
    debug->PrintRaw("raw COM");
    debug->PrintRaw("raw udp");
    ZEL_ERROR_SITE_FOR(debug.get())("%s", "socket error");
    debug->Dump("dumped text");
    const auto lines = Queued(*debug);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0].find("Connect to [COM3]"), std::string::npos);
    EXPECT_EQ(lines[1], "raw COM");
    EXPECT_NE(lines[2].find("socket error"), std::string::npos);
    EXPECT_EQ(lines[3], "dumped text");
}

TEST(CDebugOptions, FileBitsAndEchoBitsDecideWhereALineGoes) {
    struct Case {
        std::uint32_t options;
        bool file;
        bool echo;
    } cases[] = {
        {0x10, false, true}, {0x11, true, true},  {0x00, false, false},
        {0x08, true, false}, {0x80, false, true}, {0xFFFFFF00, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        DebugCapture capture;
        auto debug = MakeLog(2, c.options);
        debug->Trace("line %d", 1);
        debug->Dump("dumped\n");  // never echoed, always queued
        const auto lines = Queued(*debug);
        const auto echoed = capture.Texts();
        EXPECT_EQ(lines.size(), c.file ? 2u : 1u);
        ASSERT_EQ(echoed.size(), c.echo ? 1u : 0u);
        if (c.echo) {
            EXPECT_TRUE(std::regex_match(echoed[0], std::regex(kPrefixPattern + " line 1\n")));
        }
        if (c.file && c.echo) {
            EXPECT_EQ(lines[0], echoed[0]);
        }
    }
}

TEST(CDebugBounds, LongLinesAreCutForTheQueueAndForTheEcho) {
    DebugCapture capture;
    auto debug = MakeLog(2, 0x11);
    const std::string text(5000, 'x');
    debug->Trace("%s", text.c_str());
    auto lines = Queued(*debug);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), 4095u);
    EXPECT_EQ(lines[0].back(), 'x');  // the newline was cut with the rest
    const auto echoed = capture.Texts();
    ASSERT_EQ(echoed.size(), 1u);
    EXPECT_EQ(echoed[0].size(), 2048u);
    EXPECT_EQ(echoed[0], lines[0].substr(0, 2047) + "\n");

    // The line buffer of the queue cuts again.
    LogSettings small;
    small.level = 2;
    small.bufferSize = 1000;
    auto limited = CDebugTestAccess::Create(small);
    limited->Trace("%s", text.c_str());
    limited->Enqueue("%s", text.c_str());
    limited->Dump(text.c_str());
    lines = Queued(*limited);
    ASSERT_EQ(lines.size(), 3u);
    for (const std::string& line : lines) {
        EXPECT_EQ(line.size(), 999u);
    }

    // A buffer larger than a prefixed line still takes a long Enqueue whole.
    small.bufferSize = 10000;
    auto large = CDebugTestAccess::Create(small);
    const std::string part(4500, 'y');
    large->Enqueue("%s|%s", part.c_str(), part.c_str());
    large->Enqueue("%s|%s", text.c_str(), text.c_str());
    lines = Queued(*large);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], part + "|" + part);
    EXPECT_EQ(lines[1], (text + "|" + text).substr(0, 9999));
}

// The text of a line after its prefix. The digits of an error line's memory
// figure (the process's size when the line was made, which may grow between
// two lines) become zeros, so that two lines cut at the same length still
// compare equal.
std::string AfterPrefix(const std::string& line) {
    std::smatch match;
    if (!std::regex_search(line, match, std::regex("^" + kPrefixPattern))) {
        ADD_FAILURE() << "no prefix: " << line.substr(0, 120);
        return line;
    }
    std::string text = match.suffix();
    const std::string label = " memory:";
    const std::size_t at = text.rfind(label);
    if (at != std::string::npos) {
        for (std::size_t i = at + label.size();
             i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
            text[i] = '0';
        }
    }
    return text;
}

// A line that goes only to the file is made in its queue slot (inline, or in
// the slot's own buffer when longer); with the echo on it is made on the
// stack and copied. Both must queue the same text: at every length around the
// slot's room and the line bound, with a NUL put in by %c, through the filter
// and with the smaller line buffers that cut it again.
TEST(CDebugLines, LinesMadeInTheQueueAreTheLinesMadeForTheEcho) {
    DebugCapture capture;  // the echo, kept off the system log
    for (std::uint32_t bufferSize : {4096u, 100u, 1000u}) {
        for (const char* filter : {"", "needle"}) {
            SCOPED_TRACE(testing::Message() << bufferSize << "/" << filter);
            LogSettings settings;
            settings.level = 2;
            settings.bufferSize = bufferSize;
            settings.filter = filter;
            settings.options = 0x01;
            auto fileOnly = CDebugTestAccess::Create(settings);
            settings.options = 0x11;
            auto echoed = CDebugTestAccess::Create(settings);
            auto both = [&](auto&& write) {
                write(*fileOnly);
                write(*echoed);
            };
            // The fixed part of each kind of line (prefix, marker, suffix),
            // whole.
            auto probe = MakeLog(2);
            probe->Trace("needle");
            probe->Warning("needle");
            ErrorSite{probe.get(), "src/x.cpp", "ts", 5}("needle");
            const auto fixed = Queued(*probe);
            ASSERT_EQ(fixed.size(), 3u);
            for (std::size_t kind = 0; kind < fixed.size(); ++kind) {
                const std::size_t base = fixed[kind].size() - 6;  // without "needle"
                std::vector<std::size_t> lengths = {0, 5000};
                for (std::size_t edge : {detail::LineSlot::kInlineRoom - 1, kLineBufferSize - 1}) {
                    for (std::size_t d = 0; d < 5; ++d) {
                        if (edge + d >= base + 2) {
                            lengths.push_back(edge + d - base - 2);
                        }
                    }
                }
                for (std::size_t length : lengths) {
                    // "needle" ends the text, so the filter passes only the
                    // lines that keep it whole.
                    const std::string text = std::string(length, 'x') + "needle";
                    both([&](CDebug& debug) {
                        if (kind == 0) {
                            debug.Trace("%s", text.c_str());
                        } else if (kind == 1) {
                            debug.Warning("%s", text.c_str());
                        } else {
                            ErrorSite{&debug, "src/x.cpp", "ts", 5}("%s", text.c_str());
                        }
                    });
                }
            }
            both([](CDebug& debug) {
                debug.Trace("needle ab%cde", '\0');
                debug.Trace("ab%cde needle", '\0');
            });
            const auto made = Queued(*fileOnly);
            const auto reference = Queued(*echoed);
            ASSERT_EQ(made.size(), reference.size());
            EXPECT_GT(made.size(), 20u);
            for (std::size_t i = 0; i < made.size(); ++i) {
                SCOPED_TRACE(i);
                EXPECT_EQ(made[i].size(), reference[i].size());
                EXPECT_EQ(AfterPrefix(made[i]), AfterPrefix(reference[i]));
            }
        }
    }
}

TEST(CDebugQueue, TheBoundDropsTheOldestLinesAndCountsThem) {
    struct Case {
        std::uint32_t bound;
        int written;
        std::uint32_t kept;
    } cases[] = {{3, 6, 4}, {0, 5, 1}, {5000, 5010, 5001}, {10, 4, 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bound);
        LogSettings settings;
        settings.level = 1;
        settings.queueMaxLines = c.bound;
        auto debug = CDebugTestAccess::Create(settings);
        for (int i = 0; i < c.written; ++i) {
            debug->Enqueue("line %d\n", i);
        }
        std::uint64_t skipped = 0;
        const auto queue = CDebugTestAccess::TakeQueue(*debug, &skipped);
        ASSERT_EQ(queue.size(), c.kept);
        EXPECT_EQ(skipped, c.written - c.kept);
        EXPECT_EQ(queue.back(), "line " + std::to_string(c.written - 1) + "\n");
        EXPECT_EQ(queue.front(), "line " + std::to_string(c.written - c.kept) + "\n");
    }
}

TEST(CDebugThreads, OnlyTheCreatingThreadIsMain) {
    auto debug = MakeLog(2);
    debug->Trace("from main");
    std::thread([&] { debug->Trace("from worker"); }).join();
    const auto lines = Queued(*debug);
    ASSERT_EQ(lines.size(), 2u);
    char mainTid[32];
    std::snprintf(mainTid, sizeof mainTid, "[TID=%08lu(MAIN)]", platform::CurrentThreadId());
    EXPECT_NE(lines[0].find(mainTid), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1].find("(MAIN)"), std::string::npos) << lines[1];
    EXPECT_TRUE(std::regex_search(lines[1], std::regex(R"(\[TID=\d{8}\]:)"))) << lines[1];
}

TEST(CDebugThreads, ConcurrentLinesStayWhole) {
    constexpr int kThreads = 8;
    constexpr int kLinesPerThread = 2000;
    LogSettings settings;
    settings.level = 2;
    settings.queueMaxLines = kThreads * kLinesPerThread;
    auto debug = CDebugTestAccess::Create(settings);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&debug, t] {
            const std::string payload(40 + t, static_cast<char>('a' + t));
            for (int i = 0; i < kLinesPerThread; ++i) {
                debug->Trace("T%d #%d %s", t, i, payload.c_str());
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const auto lines = Queued(*debug);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLinesPerThread));
    const std::regex shape(kPrefixPattern + R"( T(\d) #(\d+) ([a-h]+)\n)");
    std::vector<int> next(kThreads, 0);
    for (const std::string& line : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, shape)) << line;
        const int t = std::stoi(match[1]);
        EXPECT_EQ(std::stoi(match[2]), next[t]++);  // each thread's lines in order
        EXPECT_EQ(match[3].str(), std::string(40 + t, static_cast<char>('a' + t)));
    }
}

TEST(CDebugInstance, OneObjectForTheWholeProcess) {
    std::vector<CDebug*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&seen, i] { seen[i] = CDebug::Instance("", kRegistryPath); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    ASSERT_NE(seen[0], nullptr);
    EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [&](CDebug* p) { return p == seen[0]; }));
    EXPECT_EQ(CDebug::Instance("/other", "OTHER"), seen[0]);
    EXPECT_EQ(Log(), seen[0]);
    // A test program's log is off until a test switches it on (TestSession).
    EXPECT_EQ(seen[0]->Level(), 0);

    // Tests can switch the process-wide log on and read what components wrote.
    LogSettings settings;
    settings.level = 2;
    EXPECT_EQ(CDebugTestAccess::InstallProcessLog(settings), seen[0]);
    Log()->Trace("Client connect [%i]", 1);
    const auto lines = Queued(*Log());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" Client connect [1]\n"), std::string::npos);
    CDebugTestAccess::InstallProcessLog(LogSettings{});
    Log()->Trace("dropped at level 0");
    EXPECT_TRUE(Queued(*Log()).empty());
}

}  // namespace
}  // namespace ZelLog
