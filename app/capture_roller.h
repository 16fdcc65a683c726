// CaptureRoller: the capture file of a long, unattended capture, split into
// files of bounded size or age. Each file is named after the capture file
// with the local time of its first block: "till.bin" gives
// "till-20261208-152000.bin", then "till-20261208-162000.bin", and so on
// ("-2", "-3" ... after the time when a name of that second exists). A file is
// ended only between blocks, so that every block lies whole in one file, and
// a file begins only with a block, so that a capture in which nothing arrives
// leaves no file. With a limit on the number of files, the oldest of this
// capture's name beyond it are deleted when a new one begins.
//
// One thread (the one that writes the blocks) uses a roller.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tapscope::app {

struct RolloverLimits {
    std::uint64_t maxBytes = 0;      // 0: no size limit
    std::chrono::seconds maxAge{0};  // 0: no age limit
    unsigned keep = 0;               // 0: keep every file

    bool Active() const { return maxBytes > 0 || maxAge.count() > 0; }
};

// "10" (MiB) for --rotate-size; nothing when the text is not a whole number
// from 1 to 1,048,576.
std::optional<std::uint64_t> ParseRotateSize(const std::string& text);
// "90s", "15m", "6h", "1d" or a number of seconds for --rotate-every; nothing
// when the text is none of these or is 0.
std::optional<std::chrono::seconds> ParseDuration(const std::string& text);

// A whole number from 1 to 100,000 for --keep.
std::optional<unsigned> ParseRotateKeep(const std::string& text);

class CaptureRoller {
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    CaptureRoller(std::string capturePath, RolloverLimits limits,
                  Clock clock = std::chrono::system_clock::now);

    // The file the next block of |size| bytes goes to. Begins a new file (and
    // deletes the oldest beyond the limit) when there is none yet, when the
    // block would take a non-empty file past the size limit, or when the
    // current file has reached its age limit. A block larger than the size
    // limit gets a file of its own.
    const std::string& FileForBlock(std::size_t size);
    // The block FileForBlock named was appended whole.
    void Written(std::size_t size) { m_currentBytes += size; }

    // The current file; empty before the first block.
    const std::string& CurrentFile() const { return m_current; }
    // The old files that could not be deleted ("path: reason"), for the
    // caller to report; taking them clears the list.
    std::vector<std::string> TakeRemovalFailures();

private:
    void Begin();
    void RemoveOldest();

    std::string m_folder;     // with its trailing separator, or empty
    std::string m_stem;       // "till"
    std::string m_extension;  // ".bin", or empty
    RolloverLimits m_limits;
    Clock m_clock;
    std::string m_current;
    std::uint64_t m_currentBytes = 0;
    std::chrono::system_clock::time_point m_currentStart;
    std::vector<std::string> m_removalFailures;
};

}  // namespace tapscope::app
