// Builds every transport from arbitrary text as its settings document, starts
// and stops it and lets its aborted operations complete; nothing may crash,
// leak or hang.
//
// Only loopback is ever touched: the UDP and TCP transports are started only
// when the document's address is a loopback address (or no address at all,
// so that Start fails before it opens anything), and the serial transport only
// when its port name maps into a device folder of our own whose comN links
// all lead to one pseudo-terminal that this process holds.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "log/debug.h"
#include "platform/debug_output.h"
#include "platform/serial_device.h"
#include "protocols/serial_protocol.h"
#include "protocols/settings_document.h"
#include "protocols/tcp_server_protocol.h"
#include "protocols/udp_protocol.h"
#include "tests/support/log_test_access.h"

namespace {

constexpr int kComNumbers = 255;

class Environment {
public:
    Environment() {
        char pattern[] = "/tmp/tapscope-fuzz-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            abort();
        }
        m_folder = pattern;
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
            abort();
        }
        const std::string terminal = ptsname(m_master);
        for (int n = 1; n <= kComNumbers; ++n) {
            std::filesystem::create_symlink(terminal, m_folder + "/com" + std::to_string(n));
        }
        setenv("TAPSCOPE_DEVICES", m_folder.c_str(), 1);
        // Parse errors would otherwise fill the system log.
        tapscope::platform::SetDebugOutputSink([](std::string_view) {});
        ZelLog::LogSettings settings;
        settings.level = 2;  // every line is formatted, with the document's texts in it
        m_log = ZelLog::CDebugTestAccess::InstallProcessLog(settings);
    }

    ~Environment() {
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
        close(m_master);
    }

    bool IsOwnDevice(const std::string& name) const {
        return tapscope::platform::SerialDevicePath(name).rfind(m_folder + "/", 0) == 0;
    }

    void DropLogLines() { ZelLog::CDebugTestAccess::TakeQueue(*m_log); }

    boost::asio::io_context io;

private:
    std::string m_folder;
    int m_master = -1;
    ZelLog::CDebug* m_log = nullptr;
};

Environment& TheEnvironment() {
    static Environment environment;
    return environment;
}

// The settings as the transports read them (boost::property_tree, defaults
// for what is missing).
boost::property_tree::ptree Parse(const std::string& document) {
    try {
        return ParseSettingsDocument(document);
    } catch (...) {
        return {};
    }
}

bool AddressIsLoopbackOrInvalid(const boost::property_tree::ptree& tree) {
    const auto text = tree.get<std::string>("settings.<xmlattr>.ip", "127.0.0.1");
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(text, error);
    return error || address.is_loopback();
}

template <typename Protocol>
void Exercise(Environment& environment, const std::string& document, bool start) {
    std::shared_ptr<AbstractProtocol> protocol = MakeProtocol<Protocol>(environment.io, document);
    // Every message is an error report that an operator reads: never empty.
    protocol->m_messageSignal.connect(
        [](std::shared_ptr<AbstractProtocol>, const std::string& text) {
            if (text.empty()) {
                __builtin_trap();
            }
        });
    if (start) {
        protocol->Start();
        environment.io.restart();
        environment.io.poll();
        protocol->Stop();
    }
    protocol.reset();
    // The aborted operations complete; then the last reference goes.
    environment.io.restart();
    environment.io.run();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Environment& environment = TheEnvironment();
    const std::string document(reinterpret_cast<const char*>(data), size);
    const auto tree = Parse(document);
    const bool loopback = AddressIsLoopbackOrInvalid(tree);
    const auto port = tree.get_optional<std::string>("settings.<xmlattr>.port");
    const bool ownDevice = port && environment.IsOwnDevice(*port);

    Exercise<UDPProtocol>(environment, document, loopback);
    Exercise<TCPServerProtocol>(environment, document, loopback);
    Exercise<SerialProtocol>(environment, document, ownDevice);
    environment.DropLogLines();
    return 0;
}
