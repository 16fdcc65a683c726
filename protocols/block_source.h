// BlockSource: where a delivered block came from (a serial device, a UDP
// sender, a TCP connection), for a consumer that keeps a record of who sent
// what. The data signal's shape stays as it is: a transport names the source
// of the block it is emitting for the duration of that emission, on the
// emitting thread (SourceScope), and a slot asks for it with
// AbstractProtocol::DeliveringSource(). Blocks delivered together carry their
// own sources (AbstractProtocol::BlockView::source).
#pragma once

#include <boost/asio/ip/address.hpp>
#include <cstdint>
#include <string>

struct BlockSource {
    enum class Kind : std::uint8_t { kUnknown, kSerial, kUdp, kTcp };

    Kind kind = Kind::kUnknown;
    // UDP and TCP: the peer's address and port.
    boost::asio::ip::address address;
    unsigned short port = 0;
    // TCP: the connection's number, 1 for the first client accepted.
    std::uint64_t connection = 0;
    // Serial: the port as the settings name it and the device it opened,
    // "COM3 -> /dev/ttyUSB0", and the device itself.
    std::string name;
    std::string device;

    // Whether two blocks came from the same sender.
    bool SameAs(const BlockSource& other) const {
        return kind == other.kind && connection == other.connection && port == other.port &&
               address == other.address && name == other.name;
    }
    // "127.0.0.1:40112", "[::1]:40112", or the serial name.
    std::string Text() const {
        if (kind == Kind::kSerial || kind == Kind::kUnknown) {
            return name;
        }
        const std::string text = address.to_string();
        return (address.is_v6() ? "[" + text + "]" : text) + ":" + std::to_string(port);
    }
};

namespace tapscope::protocols {

// Names |source| as the source of what this thread delivers until the scope
// ends; scopes nest (the previous source comes back).
class SourceScope {
public:
    explicit SourceScope(const BlockSource* source);
    ~SourceScope();
    SourceScope(const SourceScope&) = delete;
    SourceScope& operator=(const SourceScope&) = delete;

private:
    const BlockSource* m_previous;
};

}  // namespace tapscope::protocols
