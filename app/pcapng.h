// The pieces of a pcapng file that an export writes: the section header,
// interface descriptions and enhanced packet blocks (little-endian, with
// comments as options), and the IPv4/IPv6 packets that carry UDP datagrams
// and TCP segments on a raw-IP interface, with their lengths and checksums
// filled in, so that Wireshark and tshark dissect them like packets taken
// off a wire.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tapscope::app {

// Link types of an interface: an IPv4 or IPv6 packet without a link header;
// bytes as they came (a serial line, a sender the record does not name);
// packets without bytes (events, told in their comments).
constexpr std::uint16_t kLinkTypeRaw = 101;
constexpr std::uint16_t kLinkTypeUser0 = 147;
constexpr std::uint16_t kLinkTypeUser1 = 148;

// An IP address and port. IPv4 addresses use the first 4 bytes.
struct Endpoint {
    bool v6 = false;
    std::array<std::uint8_t, 16> address{};
    std::uint16_t port = 0;
};

// Reads a numeric address: "10.0.0.5", "::1", "[::1]", "fe80::1%eth0" (the
// zone is dropped). An IPv4 address mapped into IPv6 ("::ffff:10.0.0.5") is
// read as the IPv4 address, as the packet carried it on the wire.
std::optional<Endpoint> ParseEndpoint(const std::string& address, std::uint16_t port);
// True for 0.0.0.0 and ::.
bool IsAnyAddress(const Endpoint& endpoint);
// 127.0.0.1, or ::1 when |v6|, with |port|.
Endpoint Loopback(bool v6, std::uint16_t port);

// The most payload one packet carries so that its IP length field holds it
// (an IPv4 total length, or an IPv6 payload length, of at most 65,535).
std::size_t MaxUdpPayload(bool v6);
std::size_t MaxTcpPayload(bool v6);

// TCP flags.
constexpr std::uint8_t kTcpFin = 0x01;
constexpr std::uint8_t kTcpSyn = 0x02;
constexpr std::uint8_t kTcpRst = 0x04;
constexpr std::uint8_t kTcpPsh = 0x08;
constexpr std::uint8_t kTcpAck = 0x10;

// A whole IP packet with a UDP datagram of |payload|; |size| must not pass
// MaxUdpPayload. Both ends must be of one family.
std::vector<std::uint8_t> UdpPacket(const Endpoint& from, const Endpoint& to,
                                    const std::uint8_t* payload, std::size_t size);

struct TcpSegment {
    std::uint32_t seq = 0;
    std::uint32_t ack = 0;
    std::uint8_t flags = 0;
};
// A whole IP packet with a TCP segment of |payload| (20-byte header, no
// options); |size| must not pass MaxTcpPayload.
std::vector<std::uint8_t> TcpPacket(const Endpoint& from, const Endpoint& to,
                                    const TcpSegment& segment, const std::uint8_t* payload,
                                    std::size_t size);

// Builds the blocks of one section. Each call returns the block's bytes,
// ready to be written in order.
namespace pcapng {

struct Option {
    std::uint16_t code = 0;
    std::string value;
};
// Option codes.
constexpr std::uint16_t kComment = 1;        // any block: opt_comment
constexpr std::uint16_t kShbUserAppl = 4;    // section: the application that wrote it
constexpr std::uint16_t kIfName = 2;         // interface: its name
constexpr std::uint16_t kIfDescription = 3;  // interface: in words
constexpr std::uint16_t kIfTsResol = 9;      // interface: timestamp resolution

// A section header of unknown length with |options|.
std::string SectionHeader(const std::vector<Option>& options);
// An interface of |linkType| that takes packets of any length, its
// timestamps in microseconds, with |options| besides.
std::string InterfaceDescription(std::uint16_t linkType, const std::vector<Option>& options);
// A packet of |size| bytes on interface |interface| (counted from 0 in the
// order of their descriptions) at |timeUs| microseconds since 1970 UTC, with
// a comment for each of |comments|.
std::string EnhancedPacket(std::uint32_t interface, std::int64_t timeUs, const std::uint8_t* data,
                           std::size_t size, const std::vector<std::string>& comments);

}  // namespace pcapng

}  // namespace tapscope::app
