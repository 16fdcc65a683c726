#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "log/detail/line_queue.h"

namespace ZelLog::detail {
namespace {

// Lines are "<thread>:<number>"; returns the numbers seen per thread.
std::vector<std::vector<int>> NumbersByThread(const std::vector<std::string>& lines, int threads) {
    std::vector<std::vector<int>> numbers(threads);
    for (const std::string& line : lines) {
        const auto colon = line.find(':');
        numbers[std::stoi(line.substr(0, colon))].push_back(std::stoi(line.substr(colon + 1)));
    }
    return numbers;
}

TEST(LineQueue, TakesLinesOfSeveralThreadsInTheOrderTheyWereQueued) {
    LineQueue queue;
    // Threads take turns through a shared counter, so the queue order is known.
    constexpr int kThreads = 3;
    constexpr int kTurns = 300;
    std::atomic<int> turn{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = t; i < kThreads * kTurns; i += kThreads) {
                while (turn.load() != i) {
                    std::this_thread::yield();
                }
                queue.Push(std::to_string(t) + ":" + std::to_string(i), 100000);
                turn.store(i + 1);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::vector<std::string> lines;
    EXPECT_EQ(queue.Take(100000, lines), 0u);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kTurns));
    for (int i = 0; i < kThreads * kTurns; ++i) {
        EXPECT_EQ(lines[i], std::to_string(i % kThreads) + ":" + std::to_string(i));
    }
    // The threads have ended: their lines were taken, nothing stays behind.
    EXPECT_EQ(queue.Take(100000, lines), 0u);
    EXPECT_TRUE(lines.empty());
}

TEST(LineQueue, TheBoundKeepsTheNewestLinesOverAllThreads) {
    // One thread writes 30 lines, then another writes 5: with a bound of 9 the
    // take holds the newest 10 lines, 5 of the first thread and all of the
    // second, and counts 25 skipped, as one queue dropping its oldest would.
    LineQueue queue;
    std::thread([&] {
        for (int i = 0; i < 30; ++i) {
            queue.Push("0:" + std::to_string(i), 9);
        }
    }).join();
    std::thread([&] {
        for (int i = 0; i < 5; ++i) {
            queue.Push("1:" + std::to_string(i), 9);
        }
    }).join();
    std::vector<std::string> lines;
    EXPECT_EQ(queue.Take(9, lines), 25u);
    const auto numbers = NumbersByThread(lines, 2);
    EXPECT_EQ(numbers[0], (std::vector<int>{25, 26, 27, 28, 29}));
    EXPECT_EQ(numbers[1], (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(lines.front(), "0:25");
}

TEST(LineQueue, ManyProducerThreadsShareOneBound) {
    // Nothing is taken while 16 threads each queue far more than the bound:
    // the queue as a whole never holds more than bound + 1 lines and the
    // sixteenth it may run over (and a line in flight per producer), and a
    // take gets exactly the newest bound + 1.
    constexpr int kThreads = 16;
    constexpr int kLinesEach = 20000;
    constexpr std::uint32_t kBound = 1000;
    LineQueue queue;
    std::atomic<int> running{kThreads};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLinesEach; ++i) {
                queue.Push(std::to_string(t) + ":" + std::to_string(i), kBound);
            }
            --running;
        });
    }
    std::size_t largest = 0;
    while (running.load() > 0) {
        largest = std::max(largest, queue.Size());
        std::this_thread::yield();
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    constexpr std::size_t kMostHeld = (kBound + 1) + (kBound + 1) / 16;
    EXPECT_LE(largest, kMostHeld + kThreads);
    EXPECT_LE(queue.Size(), kMostHeld);

    std::vector<std::string> lines;
    EXPECT_EQ(queue.Take(kBound, lines), std::uint64_t{kThreads} * kLinesEach - (kBound + 1));
    ASSERT_EQ(lines.size(), kBound + 1);
    // The oldest lines went first: what each thread kept is the end of what
    // it queued.
    const auto numbers = NumbersByThread(lines, kThreads);
    for (int t = 0; t < kThreads; ++t) {
        SCOPED_TRACE(t);
        for (std::size_t k = 0; k < numbers[t].size(); ++k) {
            EXPECT_EQ(numbers[t][k], kLinesEach - static_cast<int>(numbers[t].size() - k));
        }
    }
    EXPECT_EQ(queue.Size(), 0u);
}

TEST(LineQueue, ConcurrentTakesNeverLoseOrReorderALine) {
    LineQueue queue;
    constexpr int kThreads = 4;
    constexpr int kLines = 20000;
    std::atomic<bool> done{false};
    std::vector<std::string> all;
    std::thread taker([&] {
        std::vector<std::string> lines;
        while (!done.load()) {
            queue.Take(1000000, lines);
            all.insert(all.end(), lines.begin(), lines.end());
        }
        queue.Take(1000000, lines);
        all.insert(all.end(), lines.begin(), lines.end());
    });
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t) {
        producers.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) {
                queue.Push(std::to_string(t) + ":" + std::to_string(i), 1000000);
            }
        });
    }
    for (std::thread& producer : producers) {
        producer.join();
    }
    done.store(true);
    taker.join();
    const auto numbers = NumbersByThread(all, kThreads);
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(numbers[t].size(), static_cast<std::size_t>(kLines)) << t;
        for (int i = 0; i < kLines; ++i) {
            ASSERT_EQ(numbers[t][i], i) << t;
        }
    }
}

TEST(LineQueue, RoundsOfEverySizeComeOutWhole) {
    // Small rounds reuse the room of the round before; a burst larger than
    // what is kept for reuse is given back; neither may lose or mix a line.
    LineQueue queue;
    std::vector<std::string> lines;
    int next = 0;
    for (int round : {3, 100, 9000, 50, 0, 20000, 7}) {
        SCOPED_TRACE(round);
        const int first = next;
        for (int i = 0; i < round; ++i) {
            queue.Push(std::to_string(next++), 1000000);
        }
        EXPECT_EQ(queue.Take(1000000, lines), 0u);
        ASSERT_EQ(lines.size(), static_cast<std::size_t>(round));
        for (int i = 0; i < round; ++i) {
            ASSERT_EQ(lines[i], std::to_string(first + i));
        }
    }
}

// A line of |number| whose length cycles across the short-string size, the
// size of text storage kept from line to line, and beyond.
std::string VaryingLine(int number) {
    static constexpr std::size_t kLengths[] = {1, 16, 200, 600, 15, 513, 40, 3000};
    const std::size_t length = kLengths[number % 8];
    std::string line = std::to_string(number) + ":";
    while (line.size() < length) {
        line += static_cast<char>('a' + (number + line.size()) % 26);
    }
    return line;
}

TEST(LineQueue, ReusedStorageNeverMixesTextsOfOldLinesIntoNewOnes) {
    // A bound of 99 with pushes far past it: the ring wraps many times and
    // each slot is written again with a line shorter or longer than the one
    // it held, between takes of every size and through drops.
    constexpr std::uint32_t kBound = 99;
    LineQueue queue;
    std::vector<std::string> lines;
    int next = 0;
    for (int round : {5, 150, 1000, 99, 100, 101, 7000, 3}) {
        SCOPED_TRACE(round);
        for (int i = 0; i < round; ++i) {
            queue.Push(VaryingLine(next++), kBound);
        }
        const std::uint64_t skipped = queue.Take(kBound, lines);
        const int kept = std::min(round, static_cast<int>(kBound) + 1);
        EXPECT_EQ(skipped, static_cast<std::uint64_t>(round - kept));
        ASSERT_EQ(lines.size(), static_cast<std::size_t>(kept));
        for (int i = 0; i < kept; ++i) {
            ASSERT_EQ(lines[i], VaryingLine(next - kept + i));
        }
    }
}

TEST(LineQueue, DiscardDropsLinesButKeepsTheSkipCount) {
    LineQueue queue;
    for (int i = 0; i < 8; ++i) {
        queue.Push(std::to_string(i), 2);
    }
    queue.Discard(2);
    std::vector<std::string> lines;
    // A take that finds nothing leaves the count for the one that finds lines.
    EXPECT_EQ(queue.Take(2, lines), 0u);
    EXPECT_TRUE(lines.empty());
    queue.Push("after", 2);
    EXPECT_EQ(queue.Take(2, lines), 5u);
    EXPECT_EQ(lines, (std::vector<std::string>{"after"}));
}

// Lines made in place: inline up to the slot's room, in the slot's own
// buffer beyond it, a line made in that buffer and then cut short, and a line
// that is never committed (it leaves nothing and holds nothing up). Rounds
// reuse the slots with lines longer and shorter than what they held.
TEST(LineQueue, LinesMadeInTheirSlotsComeOutWholeAtEveryLength) {
    constexpr std::size_t kRoom = LineSlot::kInlineRoom;
    const std::size_t lengths[] = {0,         1,         kRoom - 2, kRoom - 1, kRoom,
                                   kRoom + 1, kRoom + 2, 600,       4095,      20000};
    LineQueue queue;
    std::vector<std::string> expected;
    auto text = [](std::size_t length, int round) {
        std::string line(length, static_cast<char>('a' + round));
        for (std::size_t i = 0; i < length; i += 7) {
            line[i] = static_cast<char>('0' + i % 10);
        }
        return line;
    };
    std::vector<std::string> lines;
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        expected.clear();
        // Each round in another order, so that each slot meets other lengths.
        for (std::size_t k = 0; k < std::size(lengths); ++k) {
            const std::size_t length = lengths[(k * (round + 3)) % std::size(lengths)];
            const std::string line = text(length, round);
            if (k % 2 == 0) {
                queue.Push(line, 1000);
            } else {
                LineQueue::LineWriter writer(queue);
                char* out =
                    length < writer.Capacity() ? writer.Buffer() : writer.Enlarge(length + 1);
                ASSERT_GT(writer.Capacity(), length);
                std::memcpy(out, line.data(), length);
                writer.Commit(length, 1000);
            }
            expected.push_back(line);
            {
                // Never committed: dropped, and the part is free again.
                LineQueue::LineWriter abandoned(queue);
                std::memcpy(abandoned.Buffer(), "half", 4);
            }
            {
                // Made long, then cut to fewer characters than the room.
                LineQueue::LineWriter writer(queue);
                const std::string longer = text(kRoom + 50 + k, round + 1);
                char* out = writer.Enlarge(longer.size() + 1);
                std::memcpy(out, longer.data(), longer.size());
                writer.Commit(k * 10, 1000);
                expected.push_back(longer.substr(0, k * 10));
            }
        }
        EXPECT_EQ(queue.Take(1000, lines), 0u);
        ASSERT_EQ(lines.size(), expected.size());
        for (std::size_t i = 0; i < lines.size(); ++i) {
            ASSERT_EQ(lines[i], expected[i]) << i;
        }
    }
    EXPECT_EQ(queue.Size(), 0u);
}

// Threads that come and go while another keeps running: a thread that starts
// after another ended takes over that thread's part (with lines still in it,
// or emptied by a take and kept), never the running thread's. Every line
// comes out once, in the order it was queued, whatever part it went to.
TEST(LineQueue, ThreadsThatComeAndGoKeepTheOrderOfTheirLines) {
    constexpr int kGenerations = 12;
    constexpr int kThreads = 3;
    constexpr int kLines = 40;
    // A generation: kThreads * kLines lines from its threads in turn, then
    // one from the thread that stays.
    constexpr int kPerGeneration = kThreads * kLines + 1;
    LineQueue queue;
    std::atomic<int> turn{0};
    auto push = [&](int number) {
        while (turn.load() != number) {
            std::this_thread::yield();
        }
        queue.Push(std::to_string(number), 1000000);
        turn.store(number + 1);
    };
    std::thread stayer([&] {
        for (int g = 0; g < kGenerations; ++g) {
            push(g * kPerGeneration + kThreads * kLines);
        }
    });
    std::vector<std::string> all;
    std::vector<std::string> lines;
    for (int g = 0; g < kGenerations; ++g) {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t, g] {
                for (int i = t; i < kThreads * kLines; i += kThreads) {
                    push(g * kPerGeneration + i);
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        while (turn.load() != (g + 1) * kPerGeneration) {
            std::this_thread::yield();
        }
        // Takes after some generations only, so that parts are taken over
        // both with their lines and emptied.
        if (g % 3 == 1) {
            EXPECT_EQ(queue.Take(1000000, lines), 0u);
            all.insert(all.end(), lines.begin(), lines.end());
        }
    }
    stayer.join();
    EXPECT_EQ(queue.Take(1000000, lines), 0u);
    all.insert(all.end(), lines.begin(), lines.end());
    ASSERT_EQ(all.size(), static_cast<std::size_t>(kGenerations * kPerGeneration));
    for (std::size_t i = 0; i < all.size(); ++i) {
        ASSERT_EQ(all[i], std::to_string(i));
    }
}

}  // namespace
}  // namespace ZelLog::detail
