#include "protocols/detail/ip_settings.h"

#include <limits>
#include <stdexcept>

namespace tapscope::protocols::detail {
namespace {

constexpr const char* kDefaultAddress = "127.0.0.1";
constexpr int kDefaultPort = 8001;

}  // namespace

IpSettings ReadIpSettings(const boost::property_tree::ptree& settings) {
    IpSettings result;
    result.addressText = settings.get<std::string>("settings.<xmlattr>.ip", kDefaultAddress);
    result.port = settings.get<int>("settings.<xmlattr>.port", kDefaultPort);
    result.address = boost::asio::ip::make_address(result.addressText);
    if (result.port < 0 || result.port > std::numeric_limits<unsigned short>::max()) {
        throw std::out_of_range("invalid port value " + std::to_string(result.port));
    }
    return result;
}

std::string WithAddress(const std::string& failure, const IpSettings& ip) {
    return failure + " (" + ip.addressText + " port " + std::to_string(ip.port) + ")";
}

}  // namespace tapscope::protocols::detail
