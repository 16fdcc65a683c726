// The pieces every prefixed log line is made of: priority names, the line
// prefix, and the composition of prefix, caller's text and suffix with the
// bounds of the line buffers. Pure functions apart from a per-thread cache of
// the facts that rarely change; safe on any thread.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "runtime/log_time.h"

namespace ZelLog {

// A finished line holds at most kLineBufferSize - 1 characters.
constexpr std::size_t kLineBufferSize = 4096;
// The prefix, the marker, the caller's format and the suffix together are cut
// to this many characters before the caller's arguments are expanded.
constexpr std::size_t kLineFormatLimit = 3996;
// The longest text MakeLinePrefix produces, with room to spare.
constexpr std::size_t kPrefixBufferSize = 256;

// The name of a thread priority or a process priority class (the value ranges
// do not overlap); "UNKNOWN_PRIO.<value>" for any other value.
std::string PriorityName(int value);

// Writes "[CPU=..][PID=..]:[class]:[TID=..(MAIN)]:[priority] [date time]" for
// |time| into |out| (at least kPrefixBufferSize bytes, terminated) and returns
// its length. "(MAIN)" follows the thread id when it equals |mainThreadId|.
// The process and thread facts are read again when |clockSecond| (the clock's
// seconds since 1970 when the line was made) differs from the last call's on
// this thread, so at most once per second.
std::size_t FormatLinePrefix(char* out, const zelmisc::LogTime& time, unsigned long mainThreadId,
                             std::int64_t clockSecond);

// Composes "prefix marker <caller's text> suffix" into |out| (kLineBufferSize
// bytes) and returns the length of the text. Only |format| is ever read as a
// printf format: the other pieces are copied as they stand. The bounds are
// those of building the whole line as one format first: the pieces are cut to
// kLineFormatLimit characters (a conversion cut in half is dropped), and the
// expanded line to kLineBufferSize - 1 characters.
std::size_t ComposeLine(char* out, std::string_view prefix, std::string_view marker,
                        const char* format, va_list args, std::string_view suffix)
    __attribute__((format(printf, 4, 0)));

// The prefix of a line made at |now| on the calling thread, as
// FormatLinePrefix writes it for the local time of |now|, into |out|
// (|capacity| bytes, terminated); returns its length, or 0 when it does not
// fit (kPrefixBufferSize bytes always do). The text between the processor
// number and the milliseconds is kept per thread for the second of |now|, so
// a line within that second copies it and writes only the processor number
// and the milliseconds.
std::size_t FormatLinePrefixAt(char* out, std::size_t capacity,
                               const tapscope::platform::WallTime& now, unsigned long mainThreadId);

// ComposeLine for a prefix of |prefixLength| characters that is already at
// the start of |out|, as FormatLinePrefix writes it there: the line is made
// in place, without a copy of the prefix.
std::size_t ComposeLineAfterPrefix(char* out, std::size_t prefixLength, std::string_view marker,
                                   const char* format, va_list args, std::string_view suffix)
    __attribute__((format(printf, 4, 0)));

// What ComposeLineIn returns for a line that does not fit.
constexpr std::size_t kNoRoom = ~std::size_t{0};

// ComposeLineAfterPrefix into |capacity| bytes (up to kLineBufferSize): the
// same line, when it fits with its terminating NUL. Otherwise kNoRoom, with
// |args| used up and |needed| set to a room the line fits in (at most
// kLineBufferSize); a line is made in a small buffer first (a queue slot),
// and only a long one in a larger.
std::size_t ComposeLineIn(char* out, std::size_t capacity, std::size_t& needed,
                          std::size_t prefixLength, std::string_view marker, const char* format,
                          va_list args, std::string_view suffix)
    __attribute__((format(printf, 6, 0)));

// Length of a formatted text up to its first NUL (an argument printed with %c
// may put one inside); the text is stored and echoed only up to there.
inline std::size_t TextLength(const char* text, std::size_t written) {
    return strnlen(text, written);
}

}  // namespace ZelLog
