#include "app/command_line_checks.h"

#include <algorithm>
#include <boost/asio/ip/address.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <cctype>
#include <stdexcept>
#include <vector>

#include "app/capture_controller.h"
#include "app/settings_documents.h"
#include "protocols/settings_document.h"

namespace tapscope::app {
namespace {

// The port numbers a Windows port name can carry.
constexpr int kFirstComNumber = 1;
constexpr int kLastComNumber = 255;
constexpr int kSmallestCharSize = 5;
constexpr int kLargestCharSize = 8;
// Parity and stop bits in a document: list indexes 0 to 2.
constexpr int kLastListIndex = 2;

// True for "com" followed by digits only, in any letter case: a name meant as
// a Windows port name, whatever its number.
bool LooksLikeComName(const std::string& name) {
    if (name.size() <= 3) {
        return false;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        if (std::tolower(static_cast<unsigned char>(name[i])) != "com"[i]) {
            return false;
        }
    }
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) {
            return false;
        }
    }
    return true;
}

std::optional<std::string> CheckListIndex(const std::string& text, const char* accepted) {
    const std::optional<int> index = ParseWholeNumber(text);
    if (!index || *index < 0 || *index > kLastListIndex) {
        return std::string("give ") + accepted;
    }
    return std::nullopt;
}

std::optional<std::string> CheckPortNumber(const std::string& text) {
    const std::optional<int> port = ParseWholeNumber(text);
    if (!port || *port < kMinPort || *port > kMaxPort) {
        return "give a port number from " + std::to_string(kMinPort) + " to " +
               std::to_string(kMaxPort);
    }
    return std::nullopt;
}

struct Attribute {
    const char* name;
    std::optional<std::string> (*check)(const std::string&);
};

std::optional<std::string> CheckParity(const std::string& text) {
    return CheckListIndex(text, "0 (none), 1 (odd) or 2 (even)");
}
std::optional<std::string> CheckStopBits(const std::string& text) {
    return CheckListIndex(text, "0 (one), 1 (one and a half) or 2 (two)");
}

// What each transport reads from its document, in the order a page writes it.
std::vector<Attribute> AttributesOf(int tab) {
    if (tab == kTabCom) {
        return {{"port", CheckComPort},
                {"baudrate", CheckBaudRate},
                {"charsize", CheckCharSize},
                {"parity", CheckParity},
                {"stopbits", CheckStopBits}};
    }
    return {{"ip", CheckAddress}, {"port", CheckPortNumber}};
}

// "port, baudrate and charsize"
std::string JoinNames(const std::vector<std::string>& names) {
    std::string joined;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            joined += i + 1 == names.size() ? " and " : ", ";
        }
        joined += names[i];
    }
    return joined;
}

}  // namespace

std::optional<std::string> CheckComPort(const std::string& name) {
    constexpr const char* kAccepted = "give COM1 to COM255, or a device path such as /dev/ttyUSB0";
    if (name.empty()) {
        return std::string(kAccepted);
    }
    if (LooksLikeComName(name)) {
        const std::string digits = name.substr(3);
        const std::optional<int> number = ParseWholeNumber(digits);
        if (digits[0] == '0' || !number || *number < kFirstComNumber || *number > kLastComNumber) {
            return std::string(kAccepted);
        }
    }
    return std::nullopt;
}

std::optional<std::string> CheckBaudRate(const std::string& text) {
    const std::optional<int> rate = ParseWholeNumber(text);
    if (!rate || *rate <= 0) {
        return std::string("give a whole number of bits per second, such as 9600 or 115200");
    }
    return std::nullopt;
}

std::optional<std::string> CheckCharSize(const std::string& text) {
    const std::optional<int> bits = ParseWholeNumber(text);
    if (!bits || *bits < kSmallestCharSize || *bits > kLargestCharSize) {
        return std::string("give 5, 6, 7 or 8 data bits");
    }
    return std::nullopt;
}

std::optional<std::string> CheckAddress(const std::string& text) {
    boost::system::error_code error;
    boost::asio::ip::make_address(text, error);
    if (error) {
        return std::string(
            "give a numeric IPv4 or IPv6 address such as 127.0.0.1, 0.0.0.0 or ::1 "
            "(host names are not looked up)");
    }
    return std::nullopt;
}

std::optional<std::size_t> ParseReadSize(const std::string& text) {
    // Six digits at most, so that no value can overflow on its way in.
    constexpr std::size_t kMostDigits = 6;
    if (text.empty() || text.size() > kMostDigits ||
        !std::all_of(text.begin(), text.end(),
                     [](unsigned char c) { return std::isdigit(c) != 0; })) {
        return std::nullopt;
    }
    const std::size_t bytes = std::stoul(text);
    if (bytes < 1 || bytes > kLargestReadSize) {
        return std::nullopt;
    }
    return bytes;
}

std::optional<std::int64_t> ParseBurstGap(const std::string& text) {
    // Milliseconds: whole digits, then at most three decimals (microseconds).
    const auto point = text.find('.');
    const std::string whole = text.substr(0, point);
    const std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
    auto digits = [](const std::string& part) {
        return std::all_of(part.begin(), part.end(),
                           [](unsigned char c) { return std::isdigit(c) != 0; });
    };
    if (whole.empty() || whole.size() > 5 || !digits(whole) || fraction.size() > 3 ||
        !digits(fraction) || (point != std::string::npos && fraction.empty())) {
        return std::nullopt;
    }
    std::int64_t micro = std::stoll(whole) * 1000;
    if (!fraction.empty()) {
        micro += std::stoll(fraction + std::string(3 - fraction.size(), '0'));
    }
    if (micro > 60'000'000) {
        return std::nullopt;
    }
    return micro;
}

std::optional<int> StopBitsIndexOf(const std::string& word) {
    if (const std::optional<int> index = IndexOfName(kStopBitsNames, word)) {
        return index;
    }
    // The numbers people say: one, one and a half, two stop bits.
    constexpr std::array<const char*, 3> kStopBitsNumbers = {"1", "1.5", "2"};
    return IndexOfName(kStopBitsNumbers, word);
}

std::optional<std::string> CheckSettingsDocument(int tab, const std::string& document) {
    const std::vector<Attribute> attributes = AttributesOf(tab);
    // "<settings ip="..." port="..." />"
    std::string expected = "<settings ";
    for (const Attribute& attribute : attributes) {
        expected += std::string(attribute.name) + "=\"...\" ";
    }
    expected += "/>";

    boost::property_tree::ptree tree;
    try {
        tree = ParseSettingsDocument(document);
    } catch (const boost::property_tree::xml_parser_error& error) {
        return "not a well-formed settings document (" + error.message() + "); give " + expected;
    } catch (const std::exception& error) {
        return std::string(error.what());
    }
    const auto settings = tree.get_child_optional("settings");
    if (!settings) {
        return "the document has no settings element; give " + expected;
    }
    std::vector<std::string> missing;
    for (const Attribute& attribute : attributes) {
        if (!settings->get_optional<std::string>(std::string("<xmlattr>.") + attribute.name)) {
            missing.emplace_back(attribute.name);
        }
    }
    if (!missing.empty()) {
        return std::string("the settings element lacks ") +
               (missing.size() == 1 ? "the attribute " : "the attributes ") + JoinNames(missing) +
               "; give " + expected;
    }
    for (const Attribute& attribute : attributes) {
        const auto value = settings->get<std::string>(std::string("<xmlattr>.") + attribute.name);
        if (const std::optional<std::string> problem = attribute.check(value)) {
            return std::string(attribute.name) + "=\"" + value + "\": " + *problem;
        }
    }
    return std::nullopt;
}

}  // namespace tapscope::app
