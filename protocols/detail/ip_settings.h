// The address and port of the IP transports, as read from a settings document.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <boost/property_tree/ptree.hpp>
#include <string>

namespace tapscope::protocols::detail {

struct IpSettings {
    std::string addressText;  // as written, for the log
    int port = 0;             // as written, for the log
    boost::asio::ip::address address;
};

// Reads "settings.<xmlattr>.ip" (default "127.0.0.1") and
// "settings.<xmlattr>.port" (default 8001); a missing or unconvertible value
// takes its default. Throws the library's error when the address is not a
// numeric IPv4 or IPv6 address (host names are not resolved), and
// std::out_of_range "invalid port value ..." when the port does not fit in 16
// bits, rather than listening on some other port.
IpSettings ReadIpSettings(const boost::property_tree::ptree& settings);

// |failure| with the address and port it concerns, so that a socket error
// says which ones: "bind: Address already in use (127.0.0.1 port 8001)".
std::string WithAddress(const std::string& failure, const IpSettings& ip);

}  // namespace tapscope::protocols::detail
