#include "log/line_format.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "platform/process_info.h"

namespace ZelLog {
namespace {

namespace platform = tapscope::platform;

// Never destroyed: detached threads may still log while the process exits.
const std::unordered_map<int, std::string>& PriorityNames() {
    static const auto* names = new std::unordered_map<int, std::string>{
        {platform::kAboveNormalPriorityClass, "ABOVE_NORMAL"},
        {platform::kBelowNormalPriorityClass, "BELOW_NORMAL"},
        {platform::kHighPriorityClass, "HIGH"},
        {platform::kIdlePriorityClass, "IDLE"},
        {platform::kNormalPriorityClass, "NORMAL"},
        {platform::kRealtimePriorityClass, "REALTIME"},
        {platform::kThreadPriorityTimeCritical, "TIME_CRITICAL"},
        {platform::kThreadPriorityHighest, "HIGHEST"},
        {platform::kThreadPriorityAboveNormal, "ABOVE_NORMAL"},
        {platform::kThreadPriorityNormal, "NORMAL"},
        {platform::kThreadPriorityBelowNormal, "BELOW_NORMAL"},
        {platform::kThreadPriorityLowest, "LOWEST"},
        {platform::kThreadPriorityIdle, "IDLE"},
    };
    return *names;
}

// Built when the program starts, so that the first line pays nothing for it.
[[maybe_unused]] const auto& g_priorityNamesAtStart = PriorityNames();

// A processor number that never appears in a kept prefix: a second whose
// time of day is out of range keeps none.
constexpr unsigned kNoKeptPrefix = ~0u;

struct ThreadFacts {
    std::uint64_t forkGeneration = ~std::uint64_t{0};
    std::int64_t clockSecond = -1;
    unsigned long threadId = 0;
    // "][PID=00001234]:[NORMAL]:[TID=00002468", up to the optional "(MAIN)".
    char head[96] = {};
    std::size_t headLength = 0;
    // "]:[NORMAL] [", the thread priority and the opening of the time stamp.
    char tail[40] = {};
    std::size_t tailLength = 0;
    // Date text of the last date printed.
    zelmisc::LogTime date;
    char dateText[zelmisc::kDateTextSize] = {};
    std::size_t dateLength = 0;
    bool dateKnown = false;
    // Everything between the processor number and the milliseconds, for the
    // second, main thread and facts it was made for:
    // "][PID=00001234]:[NORMAL]:[TID=00002468(MAIN)]:[NORMAL] [06-12-26 09:05:03."
    // A line within that second copies it and adds only the processor number
    // and the milliseconds.
    char middle[kPrefixBufferSize] = {};
    std::size_t middleLength = 0;
    bool middleKnown = false;
    zelmisc::LogTime middleSecond;
    unsigned long middleMainThreadId = 0;
    // The whole prefix for lines made now (FormatLinePrefixAt), kept by the
    // clock's second rather than by the calendar fields, so that a line
    // compares one number to know that it may use it:
    // "[CPU=0001][PID=...]:...:[NORMAL] [06-12-26 09:05:03.000]", in which a
    // line writes only its milliseconds (and the processor number when it
    // changed). Zero beyond its end.
    std::int64_t nowSecond = -1;
    std::uint64_t nowForkGeneration = 0;
    unsigned long nowMainThreadId = 0;
    zelmisc::LogTime nowTime;         // the local time at the start of that second
    unsigned nowCpu = kNoKeptPrefix;  // the processor number in nowPrefix
    char nowPrefix[kPrefixBufferSize] = {};
    std::size_t nowLength = 0;
};

// Trivially destructible and constant-initialised: a line reads it without
// any first-use check.
thread_local ThreadFacts t_facts;

// Facts that rarely change are read again at most once per second per thread:
// each of them costs a system call, while a line must cost far less.
ThreadFacts& CurrentThreadFacts(std::int64_t clockSecond) {
    ThreadFacts& facts = t_facts;
    const std::uint64_t generation = platform::ForkGeneration();
    if (facts.forkGeneration != generation || facts.clockSecond != clockSecond) {
        facts.forkGeneration = generation;
        facts.clockSecond = clockSecond;
        facts.threadId = platform::CurrentThreadId();
        const int head =
            std::snprintf(facts.head, sizeof facts.head, "][PID=%08lu]:[%s]:[TID=%08lu",
                          platform::CurrentProcessId(),
                          PriorityName(platform::ProcessPriorityClass()).c_str(), facts.threadId);
        facts.headLength = std::min<std::size_t>(head < 0 ? 0 : head, sizeof facts.head - 1);
        const int tail = std::snprintf(facts.tail, sizeof facts.tail, "]:[%s] [",
                                       PriorityName(platform::ThreadPriority()).c_str());
        facts.tailLength = std::min<std::size_t>(tail < 0 ? 0 : tail, sizeof facts.tail - 1);
        facts.middleKnown = false;
    }
    return facts;
}

bool SameDate(const zelmisc::LogTime& a, const zelmisc::LogTime& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day;
}

bool SameSecond(const zelmisc::LogTime& a, const zelmisc::LogTime& b) {
    return SameDate(a, b) && a.hour == b.hour && a.minute == b.minute && a.second == b.second;
}

bool TimeOfDayValid(const zelmisc::LogTime& time) {
    return time.hour <= 23 && time.minute <= 59 && time.second <= 59 && time.millisecond <= 999;
}

// "00" to "99": two decimal digits at a time.
constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Appends |value| in decimal, zero-padded to |width| digits, as "%0*lu" does.
char* AppendPadded(char* out, unsigned long value, int width) {
    char digits[24];
    char* end = digits + sizeof digits;
    char* p = end;
    while (value >= 100) {
        const unsigned pair = static_cast<unsigned>(value % 100) * 2;
        value /= 100;
        *--p = kPairs[pair + 1];
        *--p = kPairs[pair];
    }
    if (value >= 10) {
        *--p = kPairs[value * 2 + 1];
        *--p = kPairs[value * 2];
    } else {
        *--p = static_cast<char>('0' + value);
    }
    for (int count = static_cast<int>(end - p); count < width; ++count) {
        *out++ = '0';
    }
    std::memcpy(out, p, static_cast<std::size_t>(end - p));
    return out + (end - p);
}

// Append |value| as exactly three or four decimal digits; the caller has
// checked that it has no more. No loop and no call: these run for every line.
char* AppendFixed3(char* out, unsigned value) {
    const unsigned hundreds = value / 100;
    out[0] = static_cast<char>('0' + hundreds);
    std::memcpy(out + 1, kPairs + (value - hundreds * 100) * 2, 2);
    return out + 3;
}

char* AppendFixed4(char* out, unsigned value) {
    const unsigned high = value / 100;
    std::memcpy(out, kPairs + high * 2, 2);
    std::memcpy(out + 2, kPairs + (value - high * 100) * 2, 2);
    return out + 4;
}

// Copies |n| bytes; a short piece (a marker, a line end) with a few moves
// rather than a call.
[[gnu::always_inline]] inline void CopyPiece(char* to, const char* from, std::size_t n) {
    if (n > 16) {
        std::memcpy(to, from, n);
    } else if (n >= 8) {
        std::uint64_t head;
        std::uint64_t tail;
        std::memcpy(&head, from, 8);
        std::memcpy(&tail, from + n - 8, 8);
        std::memcpy(to, &head, 8);
        std::memcpy(to + n - 8, &tail, 8);
    } else if (n >= 4) {
        std::uint32_t head;
        std::uint32_t tail;
        std::memcpy(&head, from, 4);
        std::memcpy(&tail, from + n - 4, 4);
        std::memcpy(to, &head, 4);
        std::memcpy(to + n - 4, &tail, 4);
    } else if (n > 0) {
        to[0] = from[0];
        to[n / 2] = from[n / 2];
        to[n - 1] = from[n - 1];
    }
}

char* Append(char* out, const char* text, std::size_t length) {
    std::memcpy(out, text, length);
    return out + length;
}

// Length of |format| cut to |limit| characters, less a conversion that the
// cut leaves unfinished.
std::size_t CutFormat(const char* format, std::size_t limit) {
    static constexpr std::string_view kConversions = "diouxXeEfFgGaAcspnmC%S";
    std::size_t i = 0;
    while (i < limit) {
        if (format[i] != '%') {
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        while (j < limit && kConversions.find(format[j]) == std::string_view::npos) {
            ++j;
        }
        if (j >= limit) {
            return i;
        }
        i = j + 1;
    }
    return limit;
}

}  // namespace

std::string PriorityName(int value) {
    const auto& names = PriorityNames();
    auto it = names.find(value);
    if (it != names.end()) {
        return it->second;
    }
    return "UNKNOWN_PRIO." + std::to_string(value);
}

namespace {

void RefreshDate(ThreadFacts& facts, const zelmisc::LogTime& time) {
    if (!facts.dateKnown || !SameDate(facts.date, time)) {
        zelmisc::FormatDate(time, facts.dateText, sizeof facts.dateText);
        facts.dateLength = std::strlen(facts.dateText);
        facts.date = time;
        facts.dateKnown = true;
    }
}

// Writes the prefix field by field. Used for the text between the processor
// number and the milliseconds, which is then kept, and whole for the rare
// prefix the kept text cannot serve (a processor number of five digits, a
// time of day out of range).
std::size_t ComposePrefix(char* out, const ThreadFacts& facts, unsigned cpu,
                          const zelmisc::LogTime& time, unsigned long mainThreadId) {
    char* p = out;
    p = Append(p, "[CPU=", 5);
    p = AppendPadded(p, cpu, 4);
    p = Append(p, facts.head, facts.headLength);
    if (facts.threadId == mainThreadId) {
        p = Append(p, "(MAIN)", 6);
    }
    p = Append(p, facts.tail, facts.tailLength);
    p = Append(p, facts.dateText, facts.dateLength);
    *p++ = ' ';
    if (TimeOfDayValid(time)) {
        p = AppendPadded(p, time.hour, 2);
        *p++ = ':';
        p = AppendPadded(p, time.minute, 2);
        *p++ = ':';
        p = AppendPadded(p, time.second, 2);
        *p++ = '.';
        p = AppendPadded(p, time.millisecond, 3);
    }
    *p++ = ']';
    *p = '\0';
    return static_cast<std::size_t>(p - out);
}

// Writes the text between the processor number and the milliseconds for a
// time of day in range and returns its length.
std::size_t ComposeMiddle(char* out, const ThreadFacts& facts, const zelmisc::LogTime& time,
                          unsigned long mainThreadId) {
    char* p = out;
    p = Append(p, facts.head, facts.headLength);
    if (facts.threadId == mainThreadId) {
        p = Append(p, "(MAIN)", 6);
    }
    p = Append(p, facts.tail, facts.tailLength);
    p = Append(p, facts.dateText, facts.dateLength);
    *p++ = ' ';
    p = AppendPadded(p, time.hour, 2);
    *p++ = ':';
    p = AppendPadded(p, time.minute, 2);
    *p++ = ':';
    p = AppendPadded(p, time.second, 2);
    *p++ = '.';
    return static_cast<std::size_t>(p - out);
}

void RefreshMiddle(ThreadFacts& facts, const zelmisc::LogTime& time, unsigned long mainThreadId) {
    facts.middleLength = ComposeMiddle(facts.middle, facts, time, mainThreadId);
    facts.middleSecond = time;
    facts.middleMainThreadId = mainThreadId;
    facts.middleKnown = true;
}

// Makes the kept prefix for lines made within the clock's second |seconds|.
void RefreshNow(ThreadFacts& facts, std::int64_t seconds, unsigned long mainThreadId) {
    zelmisc::LogTime time;
    zelmisc::detail::LocalLogTimeAt({seconds, 0}, time);
    CurrentThreadFacts(seconds);
    RefreshDate(facts, time);
    std::memset(facts.nowPrefix, 0, sizeof facts.nowPrefix);
    facts.nowCpu = kNoKeptPrefix;
    facts.nowLength = 0;
    if (TimeOfDayValid(time)) {
        // The processor number is written by the first line.
        char* p = facts.nowPrefix;
        p = Append(p, "[CPU=0000", 9);
        p += ComposeMiddle(p, facts, time, mainThreadId);
        p = Append(p, "000]", 4);
        facts.nowLength = static_cast<std::size_t>(p - facts.nowPrefix);
        facts.nowCpu = 0;
    }
    facts.nowTime = time;
    facts.nowSecond = seconds;
    facts.nowMainThreadId = mainThreadId;
    facts.nowForkGeneration = facts.forkGeneration;
}

}  // namespace

std::size_t FormatLinePrefix(char* out, const zelmisc::LogTime& time, unsigned long mainThreadId,
                             std::int64_t clockSecond) {
    ThreadFacts& facts = CurrentThreadFacts(clockSecond);
    RefreshDate(facts, time);
    const unsigned cpu = platform::CurrentProcessorNumber();
    if (cpu > 9999 || !TimeOfDayValid(time)) {
        return ComposePrefix(out, facts, cpu, time, mainThreadId);
    }
    if (!facts.middleKnown || facts.middleMainThreadId != mainThreadId ||
        !SameSecond(facts.middleSecond, time)) {
        RefreshMiddle(facts, time, mainThreadId);
    }
    char* p = out;
    p = Append(p, "[CPU=", 5);
    p = AppendFixed4(p, cpu);
    p = Append(p, facts.middle, facts.middleLength);
    p = AppendFixed3(p, time.millisecond);
    *p++ = ']';
    *p = '\0';
    return static_cast<std::size_t>(p - out);
}

std::size_t FormatLinePrefixAt(char* out, std::size_t capacity,
                               const tapscope::platform::WallTime& now,
                               unsigned long mainThreadId) {
    ThreadFacts& facts = t_facts;
    if (facts.nowSecond != now.seconds || facts.nowMainThreadId != mainThreadId ||
        facts.nowForkGeneration != platform::ForkGeneration()) {
        RefreshNow(facts, now.seconds, mainThreadId);
    }
    const unsigned millisecond = zelmisc::detail::RoundedMillisecond(now.nanoseconds / 1000);
    const unsigned cpu = platform::CurrentProcessorNumber();
    if (cpu != facts.nowCpu) {
        if (facts.nowCpu == kNoKeptPrefix || cpu > 9999) {
            // No kept prefix serves: the time of day is out of range, or
            // the processor number has more than four digits.
            zelmisc::LogTime time = facts.nowTime;
            time.millisecond = static_cast<std::uint16_t>(millisecond);
            char prefix[kPrefixBufferSize];
            const std::size_t length = FormatLinePrefix(prefix, time, mainThreadId, now.seconds);
            if (length >= capacity) {
                return 0;
            }
            std::memcpy(out, prefix, length + 1);
            return length;
        }
        AppendFixed4(facts.nowPrefix + 5, cpu);
        facts.nowCpu = cpu;
    }
    const std::size_t length = facts.nowLength;
    if (length >= capacity) {
        return 0;
    }
    // A copy of fixed size is a few vector moves; the kept prefix is zero
    // beyond its end, so the copy ends the text as well.
    constexpr std::size_t kFixedCopy = 128;
    if (length < kFixedCopy && capacity >= kFixedCopy) {
        std::memcpy(out, facts.nowPrefix, kFixedCopy);
    } else {
        std::memcpy(out, facts.nowPrefix, length + 1);
    }
    AppendFixed3(out + length - 4, millisecond);
    return length;
}

std::size_t ComposeLine(char* out, std::string_view prefix, std::string_view marker,
                        const char* format, va_list args, std::string_view suffix) {
    const std::size_t length = std::min(prefix.size(), kLineFormatLimit);
    std::memmove(out, prefix.data(), length);
    return ComposeLineAfterPrefix(out, length, marker, format, args, suffix);
}

std::size_t ComposeLineAfterPrefix(char* out, std::size_t prefixLength, std::string_view marker,
                                   const char* format, va_list args, std::string_view suffix) {
    std::size_t needed = 0;
    return ComposeLineIn(out, kLineBufferSize, needed, prefixLength, marker, format, args, suffix);
}

std::size_t ComposeLineIn(char* out, std::size_t capacity, std::size_t& needed,
                          std::size_t prefixLength, std::string_view marker, const char* format,
                          va_list args, std::string_view suffix) {
    constexpr std::size_t kMaxText = kLineBufferSize - 1;
    // Below the full line buffer, a line that does not fit is given up, to
    // be made again in a larger one; in the full buffer it is cut.
    capacity = std::min(capacity, kLineBufferSize);
    const bool small = capacity < kLineBufferSize;
    needed = kLineBufferSize;
    const std::size_t formatLength = std::strlen(format);
    if (prefixLength + marker.size() + formatLength + suffix.size() <= kLineFormatLimit) {
        // The usual line: no piece is cut by the format bound, only the
        // expanded line by the buffer.
        std::size_t length = prefixLength;
        if (length + marker.size() >= capacity) {
            return kNoRoom;
        }
        CopyPiece(out + length, marker.data(), marker.size());
        length += marker.size();
        const std::size_t room = capacity - length;
        const int n = std::vsnprintf(out + length, room, format, args);
        if (n > 0) {
            if (static_cast<std::size_t>(n) >= room) {
                if (small) {
                    // The room of the whole line and its NUL, as far as the
                    // full buffer goes.
                    needed = std::min(length + static_cast<std::size_t>(n) + suffix.size() + 1,
                                      kLineBufferSize);
                    return kNoRoom;
                }
                length += std::min(static_cast<std::size_t>(n), kMaxText - length);
            } else {
                length += static_cast<std::size_t>(n);
            }
        }
        const std::size_t suffixLength = std::min(suffix.size(), kMaxText - length);
        if (length + suffixLength >= capacity) {
            needed = std::min(length + suffix.size() + 1, kLineBufferSize);
            return kNoRoom;
        }
        CopyPiece(out + length, suffix.data(), suffixLength);
        length += suffixLength;
        out[length] = '\0';
        return length;
    }

    std::size_t length = std::min(prefixLength, kLineFormatLimit);
    bool fits = true;
    auto appendLiteral = [&](std::string_view text) {
        const std::size_t n = std::min(text.size(), kMaxText - length);
        if (length + n >= capacity) {
            fits = false;
            return;
        }
        std::memcpy(out + length, text.data(), n);
        length += n;
    };

    // The budget of kLineFormatLimit characters is spent on the pieces in
    // order, as if they had been printed into one format buffer.
    std::size_t budget = kLineFormatLimit - length;
    auto take = [&budget](std::string_view text) {
        const std::string_view part = text.substr(0, std::min(text.size(), budget));
        budget -= part.size();
        return part;
    };
    appendLiteral(take(marker));
    if (!fits) {
        return kNoRoom;
    }

    if (formatLength <= budget) {
        budget -= formatLength;
        const std::size_t room = capacity - length;
        const int n = std::vsnprintf(out + length, room, format, args);
        if (n > 0) {
            if (small && static_cast<std::size_t>(n) >= room) {
                // The room of the whole line and its NUL, as far as the full
                // buffer goes.
                needed = std::min(length + static_cast<std::size_t>(n) + suffix.size() + 1,
                                  kLineBufferSize);
                return kNoRoom;
            }
            length += std::min(static_cast<std::size_t>(n), kMaxText - length);
        }
        needed = std::min(length + suffix.size() + 1, kLineBufferSize);
        appendLiteral(take(suffix));
    } else if (budget > 0) {
        if (small) {
            return kNoRoom;
        }
        // The format itself is cut; no suffix follows it.
        char cut[kLineFormatLimit + 1];
        const std::size_t cutLength = CutFormat(format, budget);
        std::memcpy(cut, format, cutLength);
        cut[cutLength] = '\0';
        const int n = std::vsnprintf(out + length, kLineBufferSize - length, cut, args);
        if (n > 0) {
            length += std::min(static_cast<std::size_t>(n), kMaxText - length);
        }
    }
    if (!fits) {
        return kNoRoom;
    }
    out[length] = '\0';
    return length;
}

}  // namespace ZelLog
