// The checks the command line makes before a capture starts, so that a value
// no transport could use is refused as a usage error that says what is
// accepted, instead of surfacing later as a library's terse text ("conversion
// of data to type "i" failed", "Invalid argument"). The window does not use
// them: its pages hand every value to the transport as typed.
//
// Each check returns nullopt for a good value, else what is accepted:
//   CheckCharSize("9") -> "give 5, 6, 7 or 8 data bits"
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tapscope::app {

// A serial port name: "COMn" must have n from 1 to 255 (any letter case);
// any other name is a device path and is left to the opening.
std::optional<std::string> CheckComPort(const std::string& name);
// Bits per second: a whole number above 0.
std::optional<std::string> CheckBaudRate(const std::string& text);
// Data bits: 5 to 8.
std::optional<std::string> CheckCharSize(const std::string& text);
// A numeric IPv4 or IPv6 address; host names are not resolved.
std::optional<std::string> CheckAddress(const std::string& text);

// How many bytes one read may take (--read-size): a whole number of bytes
// from 1 to kLargestReadSize, digits only; anything else nullopt.
constexpr std::size_t kLargestReadSize = 64 * 1024;
std::optional<std::size_t> ParseReadSize(const std::string& text);
// --burst-gap: milliseconds from 0 to 60000 with at most three decimals
// ("10", "2.5"), as microseconds; nothing for anything else.
std::optional<std::int64_t> ParseBurstGap(const std::string& text);

// The stop-bits list index for a command-line word: "one"/"1" -> 0,
// "onepointfive"/"1.5" -> 1, "two"/"2" -> 2; anything else nullopt.
std::optional<int> StopBitsIndexOf(const std::string& word);

// A whole settings document given with --settings for the transport of
// |tab|: well-formed, within the reader's bounds, with a settings element
// that has every attribute the transport reads, each with a value it accepts.
// Returns what is wrong, naming the missing attributes or the bad value.
std::optional<std::string> CheckSettingsDocument(int tab, const std::string& document);

}  // namespace tapscope::app
