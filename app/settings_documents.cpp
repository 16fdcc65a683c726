#include "app/settings_documents.h"

#include <boost/format.hpp>
#include <cctype>
#include <charconv>

#include "app/strings.h"

namespace tapscope::app {

std::vector<std::string> ComPortNames() {
    std::vector<std::string> names;
    names.reserve(kComPortCount);
    for (int number = 1; number <= kComPortCount; ++number) {
        names.push_back((boost::format("COM%1%") % number).str());
    }
    return names;
}

std::optional<int> IndexOfName(const std::array<const char*, 3>& names, const std::string& name) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (name == names[i]) {
            return static_cast<int>(i);
        }
    }
    return std::nullopt;
}

std::string EscapeAttribute(const std::string& value) {
    std::string escaped;
    escaped.reserve(value.size());
    for (const char c : value) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            case '\'':
                escaped += "&apos;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

std::string ComSettingsDocument(const ComSettings& settings) {
    return (boost::format("<settings port=\"%1%\" baudrate=\"%2%\" charsize=\"%3%\" "
                          "parity=\"%4%\" stopbits=\"%5%\" />") %
            EscapeAttribute(settings.port) % EscapeAttribute(settings.baudRate) %
            EscapeAttribute(settings.charSize) % settings.parity % settings.stopBits)
        .str();
}

std::string EthernetSettingsDocument(const EthernetSettings& settings) {
    return (boost::format("<settings ip=\"%1%\" port=\"%2%\" />") %
            EscapeAttribute(settings.address) % settings.port)
        .str();
}

std::optional<int> ParseWholeNumber(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) {
        ++begin;
    }
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) {
        --end;
    }
    // from_chars takes no "+"; the exchange does.
    if (begin < end && text[begin] == '+' && end - begin > 1 && text[begin + 1] != '-') {
        ++begin;
    }
    int value = 0;
    const auto [stop, error] = std::from_chars(text.data() + begin, text.data() + end, value);
    if (begin == end || error != std::errc() || stop != text.data() + end) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> ExchangePort(const std::string& text, int& port) {
    const std::optional<int> number = ParseWholeNumber(text);
    if (!number) {
        return LoadString(IDS_PARSE_INT);
    }
    const int value = *number;
    port = value;
    if (value < kMinPort || value > kMaxPort) {
        // The resource uses the toolkit's "%1" and "%2" placeholders.
        std::string message = LoadString(IDS_PARSE_INT_RANGE);
        message.replace(message.find("%1"), 2, std::to_string(kMinPort));
        message.replace(message.find("%2"), 2, std::to_string(kMaxPort));
        return message;
    }
    return std::nullopt;
}

}  // namespace tapscope::app
