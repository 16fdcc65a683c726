#include "app/pcapng.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace tapscope::app {
namespace {

constexpr std::size_t kIpv4HeaderSize = 20;
constexpr std::size_t kIpv6HeaderSize = 40;
constexpr std::size_t kUdpHeaderSize = 8;
constexpr std::size_t kTcpHeaderSize = 20;
constexpr std::size_t kLargestIpLength = 65535;
constexpr std::uint8_t kProtocolTcp = 6;
constexpr std::uint8_t kProtocolUdp = 17;
constexpr std::uint8_t kTimeToLive = 64;
constexpr std::uint16_t kTcpWindow = 65535;

void Put16(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 8);
    at[1] = static_cast<std::uint8_t>(value);
}

void Put32(std::uint8_t* at, std::uint32_t value) {
    Put16(at, value >> 16);
    Put16(at + 2, value);
}

// The ones' complement sum of |size| bytes as big-endian 16-bit words,
// added to |sum|; an odd last byte is padded with a zero.
std::uint32_t AddWords(std::uint32_t sum, const std::uint8_t* data, std::size_t size) {
    std::uint64_t total = sum;
    std::size_t i = 0;
    for (; i + 1 < size; i += 2) {
        total += (static_cast<std::uint32_t>(data[i]) << 8) | data[i + 1];
    }
    if (i < size) {
        total += static_cast<std::uint32_t>(data[i]) << 8;
    }
    while (total >> 16) {
        total = (total & 0xFFFF) + (total >> 16);
    }
    return static_cast<std::uint32_t>(total);
}

std::uint16_t Complement(std::uint32_t sum) {
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

std::size_t IpHeaderSize(bool v6) {
    return v6 ? kIpv6HeaderSize : kIpv4HeaderSize;
}

// An IP packet of |l4Size| bytes of |protocol| after the IP header, which is
// filled in; the transport header and payload are left to the caller.
std::vector<std::uint8_t> IpPacket(const Endpoint& from, const Endpoint& to, std::uint8_t protocol,
                                   std::size_t l4Size) {
    const std::size_t header = IpHeaderSize(from.v6);
    std::vector<std::uint8_t> packet(header + l4Size);
    std::uint8_t* ip = packet.data();
    if (from.v6) {
        ip[0] = 0x60;  // version 6, no traffic class, no flow label
        Put16(ip + 4, static_cast<std::uint32_t>(l4Size));
        ip[6] = protocol;
        ip[7] = kTimeToLive;
        std::memcpy(ip + 8, from.address.data(), 16);
        std::memcpy(ip + 24, to.address.data(), 16);
    } else {
        ip[0] = 0x45;  // version 4, five words of header
        Put16(ip + 2, static_cast<std::uint32_t>(packet.size()));
        Put16(ip + 6, 0x4000);  // don't fragment
        ip[8] = kTimeToLive;
        ip[9] = protocol;
        std::memcpy(ip + 12, from.address.data(), 4);
        std::memcpy(ip + 16, to.address.data(), 4);
        Put16(ip + 10, Complement(AddWords(0, ip, kIpv4HeaderSize)));
    }
    return packet;
}

// The checksum of a UDP or TCP header and payload, |l4| of |size| bytes
// with its own checksum field zero, under the IP pseudo-header.
std::uint16_t TransportChecksum(const Endpoint& from, const Endpoint& to, std::uint8_t protocol,
                                const std::uint8_t* l4, std::size_t size) {
    const std::size_t addressSize = from.v6 ? 16 : 4;
    std::uint32_t sum = AddWords(0, from.address.data(), addressSize);
    sum = AddWords(sum, to.address.data(), addressSize);
    std::uint8_t tail[8] = {};
    Put32(tail, static_cast<std::uint32_t>(size));
    tail[7] = protocol;
    // IPv4's pseudo-header has a zero byte, the protocol and a 16-bit length;
    // IPv6's a 32-bit length, three zero bytes and the protocol: the same sum.
    sum = AddWords(sum, tail, sizeof tail);
    return Complement(AddWords(sum, l4, size));
}

void Append16(std::string& out, std::uint16_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>(value >> 8));
}

void Append32(std::string& out, std::uint32_t value) {
    Append16(out, static_cast<std::uint16_t>(value & 0xFFFF));
    Append16(out, static_cast<std::uint16_t>(value >> 16));
}

void PadTo4(std::string& out) {
    out.append((4 - out.size() % 4) % 4, '\0');
}

// A block of |type| around |body| (a multiple of 4 bytes long).
std::string Block(std::uint32_t type, const std::string& body) {
    const auto total = static_cast<std::uint32_t>(12 + body.size());
    std::string block;
    block.reserve(total);
    Append32(block, type);
    Append32(block, total);
    block += body;
    Append32(block, total);
    return block;
}

// An option's value holds at most 65,535 bytes; a longer text is cut there
// (without splitting a UTF-8 character), as the format cannot say more.
std::string FitOption(const std::string& value) {
    constexpr std::size_t kLargest = 65535;
    if (value.size() <= kLargest) {
        return value;
    }
    std::size_t end = kLargest;
    while (end > 0 && (static_cast<unsigned char>(value[end]) & 0xC0) == 0x80) {
        --end;
    }
    return value.substr(0, end);
}

void PutOptions(std::string& block, const std::vector<pcapng::Option>& options) {
    if (options.empty()) {
        return;
    }
    for (const pcapng::Option& option : options) {
        const std::string value = FitOption(option.value);
        Append16(block, option.code);
        Append16(block, static_cast<std::uint16_t>(value.size()));
        block += value;
        PadTo4(block);
    }
    Append32(block, 0);  // opt_endofopt
}

}  // namespace

std::optional<Endpoint> ParseEndpoint(const std::string& address, std::uint16_t port) {
    std::string text = address;
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
        text = text.substr(1, text.size() - 2);
    }
    if (const std::size_t zone = text.find('%'); zone != std::string::npos) {
        text.erase(zone);
    }
    Endpoint endpoint;
    endpoint.port = port;
    if (inet_pton(AF_INET, text.c_str(), endpoint.address.data()) == 1) {
        return endpoint;
    }
    if (inet_pton(AF_INET6, text.c_str(), endpoint.address.data()) != 1) {
        return std::nullopt;
    }
    static constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(endpoint.address.data(), kMapped, sizeof kMapped) == 0) {
        std::memmove(endpoint.address.data(), endpoint.address.data() + 12, 4);
        std::fill(endpoint.address.begin() + 4, endpoint.address.end(), 0);
        return endpoint;
    }
    endpoint.v6 = true;
    return endpoint;
}

bool IsAnyAddress(const Endpoint& endpoint) {
    const auto end = endpoint.address.begin() + (endpoint.v6 ? 16 : 4);
    return std::all_of(endpoint.address.begin(), end, [](std::uint8_t b) { return b == 0; });
}

Endpoint Loopback(bool v6, std::uint16_t port) {
    Endpoint endpoint;
    endpoint.v6 = v6;
    endpoint.port = port;
    if (v6) {
        endpoint.address[15] = 1;
    } else {
        endpoint.address[0] = 127;
        endpoint.address[3] = 1;
    }
    return endpoint;
}

std::size_t MaxUdpPayload(bool v6) {
    // IPv6's length field leaves out its own header; IPv4's counts it.
    return kLargestIpLength - kUdpHeaderSize - (v6 ? 0 : kIpv4HeaderSize);
}

std::size_t MaxTcpPayload(bool v6) {
    return kLargestIpLength - kTcpHeaderSize - (v6 ? 0 : kIpv4HeaderSize);
}

std::vector<std::uint8_t> UdpPacket(const Endpoint& from, const Endpoint& to,
                                    const std::uint8_t* payload, std::size_t size) {
    const std::size_t l4Size = kUdpHeaderSize + size;
    std::vector<std::uint8_t> packet = IpPacket(from, to, kProtocolUdp, l4Size);
    std::uint8_t* udp = packet.data() + IpHeaderSize(from.v6);
    Put16(udp, from.port);
    Put16(udp + 2, to.port);
    Put16(udp + 4, static_cast<std::uint32_t>(l4Size));
    if (size > 0) {
        std::memcpy(udp + kUdpHeaderSize, payload, size);
    }
    std::uint16_t checksum = TransportChecksum(from, to, kProtocolUdp, udp, l4Size);
    // Zero means "no checksum" in UDP; a sum that comes out as zero is sent
    // as its other form.
    Put16(udp + 6, checksum == 0 ? 0xFFFF : checksum);
    return packet;
}

std::vector<std::uint8_t> TcpPacket(const Endpoint& from, const Endpoint& to,
                                    const TcpSegment& segment, const std::uint8_t* payload,
                                    std::size_t size) {
    const std::size_t l4Size = kTcpHeaderSize + size;
    std::vector<std::uint8_t> packet = IpPacket(from, to, kProtocolTcp, l4Size);
    std::uint8_t* tcp = packet.data() + IpHeaderSize(from.v6);
    Put16(tcp, from.port);
    Put16(tcp + 2, to.port);
    Put32(tcp + 4, segment.seq);
    Put32(tcp + 8, segment.ack);
    tcp[12] = (kTcpHeaderSize / 4) << 4;
    tcp[13] = segment.flags;
    Put16(tcp + 14, kTcpWindow);
    if (size > 0) {
        std::memcpy(tcp + kTcpHeaderSize, payload, size);
    }
    Put16(tcp + 16, TransportChecksum(from, to, kProtocolTcp, tcp, l4Size));
    return packet;
}

namespace pcapng {

std::string SectionHeader(const std::vector<Option>& options) {
    std::string body;
    Append32(body, 0x1A2B3C4D);  // byte-order magic
    Append16(body, 1);           // version 1.0
    Append16(body, 0);
    Append32(body, 0xFFFFFFFF);  // section length: not given (-1)
    Append32(body, 0xFFFFFFFF);
    PutOptions(body, options);
    return Block(0x0A0D0D0A, body);
}

std::string InterfaceDescription(std::uint16_t linkType, const std::vector<Option>& options) {
    std::string body;
    Append16(body, linkType);
    Append16(body, 0);
    Append32(body, 0);  // no snapshot length: packets are whole
    std::vector<Option> all = options;
    all.push_back({kIfTsResol, std::string(1, '\x06')});  // 10^-6 s
    PutOptions(body, all);
    return Block(1, body);
}

std::string EnhancedPacket(std::uint32_t interface, std::int64_t timeUs, const std::uint8_t* data,
                           std::size_t size, const std::vector<std::string>& comments) {
    const auto time = static_cast<std::uint64_t>(std::max<std::int64_t>(timeUs, 0));
    std::string body;
    body.reserve(20 + size + 4);
    Append32(body, interface);
    Append32(body, static_cast<std::uint32_t>(time >> 32));
    Append32(body, static_cast<std::uint32_t>(time & 0xFFFFFFFF));
    Append32(body, static_cast<std::uint32_t>(size));
    Append32(body, static_cast<std::uint32_t>(size));
    if (size > 0) {
        body.append(reinterpret_cast<const char*>(data), size);
    }
    PadTo4(body);
    std::vector<Option> options;
    for (const std::string& comment : comments) {
        options.push_back({kComment, comment});
    }
    PutOptions(body, options);
    return Block(6, body);
}

}  // namespace pcapng
}  // namespace tapscope::app
