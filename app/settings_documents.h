// The settings documents that the settings pages and the command line build,
// the choices the pages offer, and the integer exchange of the port box with
// its two validation messages. Free of widgets, so that the command line and
// the tests use the same rules as the window.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace tapscope::app {

// The serial page's values, as the page holds them: free text for the port,
// baud rate and character size, list indexes for parity and stop bits.
struct ComSettings {
    std::string port = "COM1";
    std::string baudRate = "9600";
    std::string charSize = "8";
    int parity = 0;    // 0 none, 1 odd, 2 even
    int stopBits = 0;  // 0 one, 1 one and a half, 2 two
};

struct EthernetSettings {
    std::string address = "127.0.0.1";
    int port = 8001;
};

// The COM list: "COM1" to "COM255".
constexpr int kComPortCount = 255;
std::vector<std::string> ComPortNames();

// The baud-rate list, in the order shown.
constexpr std::array<int, 19> kBaudRates = {75,    110,   134,   150,    300,   600,   1200,
                                            1800,  2400,  4800,  7200,   9600,  14400, 19200,
                                            28800, 38400, 57600, 115200, 128000};
constexpr int kDefaultBaudRate = 9600;

// List index = the number the document carries.
constexpr std::array<const char*, 3> kParityNames = {"none", "odd", "even"};
constexpr std::array<const char*, 3> kStopBitsNames = {"one", "onepointfive", "two"};

// The index of |name| in |names|, or nullopt.
std::optional<int> IndexOfName(const std::array<const char*, 3>& names, const std::string& name);

// |value| as the text of a double-quoted XML attribute: '&', '<', '>', '"'
// and '\'' become entity references, so that a typed value can neither end
// the attribute early nor add one ("0.0.0.0\" port=\"7" stays one bad ip).
std::string EscapeAttribute(const std::string& value);

// "<settings port="COM1" baudrate="9600" charsize="8" parity="0" stopbits="0" />",
// every value escaped with EscapeAttribute.
std::string ComSettingsDocument(const ComSettings& settings);
// "<settings ip="127.0.0.1" port="8001" />"
std::string EthernetSettingsDocument(const EthernetSettings& settings);

// The port box accepts 1 to 65535.
constexpr int kMinPort = 1;
constexpr int kMaxPort = 65535;

// A whole number the way the page's exchange and the transports convert one:
// blanks around it and a sign allowed, fitting in 32 bits.
//   " +42 " -> 42; "4 2", "abc", "", "99999999999" -> nullopt
std::optional<int> ParseWholeNumber(const std::string& text);

// Takes the port box's |text| into |port| the way the page's data exchange
// does: a whole number (blanks around it allowed, a sign allowed, fitting in
// 32 bits) is stored; text that is not one leaves |port| unchanged. Returns
// the validation message to show, or nullopt when the value was taken and is
// within kMinPort..kMaxPort:
//   "abc"   -> "Enter an integer.", port unchanged
//   "70000" -> "Enter an integer between 1 and 65535.", port 70000
std::optional<std::string> ExchangePort(const std::string& text, int& port);

}  // namespace tapscope::app
