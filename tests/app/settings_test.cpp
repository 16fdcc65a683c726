// The settings documents, the port box's integer exchange, the settings pages
// as widgets, and the command line's options.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <boost/property_tree/xml_parser.hpp>
#include <map>
#include <sstream>

#include "app/com_setting_dialog.h"
#include "app/command_line.h"
#include "app/display_check.h"
#include "app/ethernet_setting_dialog.h"
#include "app/settings_documents.h"
#include "protocols/udp_protocol.h"
#include "tests/app/app_test_support.h"
#include "tests/support/log_test_access.h"

namespace tapscope::testing {
namespace {

TEST(SettingsDocumentTest, PortExchange) {
    struct Case {
        const char* text;
        int port;  // after the exchange, from 8001
        const char* message;
    };
    const Case cases[] = {
        {"9000", 9000, nullptr},
        {" +9000 ", 9000, nullptr},
        {"1", 1, nullptr},
        {"65535", 65535, nullptr},
        {"65536", 65536, "Enter an integer between 1 and 65535."},
        {"0", 0, "Enter an integer between 1 and 65535."},
        {"-5", -5, "Enter an integer between 1 and 65535."},
        {"abc", 8001, "Enter an integer."},
        {"80a1", 8001, "Enter an integer."},
        {"", 8001, "Enter an integer."},
        {"+-5", 8001, "Enter an integer."},
        {"99999999999", 8001, "Enter an integer."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        int port = 8001;
        const std::optional<std::string> message = app::ExchangePort(c.text, port);
        EXPECT_EQ(port, c.port);
        EXPECT_EQ(message.value_or("(none)"), c.message != nullptr ? c.message : "(none)");
    }
}

TEST(SettingsPageTest, ComPageOffersTheListsAndWritesItsDocument) {
    // A machine without serial devices: the COM names alone.
    ComSettingDialog page(nullptr, ComSettingDialog::PortSource());
    EXPECT_EQ(page.PortList()->count(), 255);
    EXPECT_EQ(page.PortList()->itemText(254), "COM255");
    EXPECT_EQ(page.BaudRateBox()->count(), 19);
    EXPECT_EQ(page.BaudRateBox()->itemText(18), "128000");
    EXPECT_EQ(page.GetSettings(),
              "<settings port=\"COM1\" baudrate=\"9600\" charsize=\"8\" parity=\"0\" "
              "stopbits=\"0\" />");

    page.PortList()->setCurrentIndex(254);
    page.BaudRateBox()->setEditText("230400");
    page.CharSizeBox()->setText("7");
    page.ParityList()->setCurrentIndex(page.ParityList()->findText("even"));
    page.StopBitsList()->setCurrentIndex(page.StopBitsList()->findText("two"));
    EXPECT_EQ(page.GetSettings(),
              "<settings port=\"COM255\" baudrate=\"230400\" charsize=\"7\" parity=\"2\" "
              "stopbits=\"2\" />");
    EXPECT_FALSE(page.SettingsRejected());
}

TEST(SettingsPageTest, ComPageAppendsTheDevicesFoundAndWritesTheirStableNames) {
    ComSettingDialog page(nullptr, [] {
        tapscope::platform::SerialPortInfo usb;
        usb.device = "/dev/ttyUSB0";
        usb.byId = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A12B3C-if00-port0";
        usb.manufacturer = "FTDI";
        usb.product = "FT232R";
        usb.serial = "A12B3C";
        tapscope::platform::SerialPortInfo uart;
        uart.device = "/dev/ttyS4";
        uart.driver = "serial8250";
        return std::vector<tapscope::platform::SerialPortInfo>{usb, uart};
    });
    ASSERT_EQ(page.PortList()->count(), 257);
    EXPECT_EQ(page.PortList()->itemText(254), "COM255");
    EXPECT_EQ(page.PortList()->itemText(255), "FTDI FT232R (A12B3C) - /dev/ttyUSB0");
    EXPECT_EQ(page.PortList()->itemText(256), "serial8250 - /dev/ttyS4");
    EXPECT_EQ(page.PortList()->currentIndex(), 0);

    page.PortList()->setCurrentIndex(255);
    EXPECT_EQ(page.GetSettings(),
              "<settings port=\"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A12B3C-if00-port0\" "
              "baudrate=\"9600\" charsize=\"8\" parity=\"0\" stopbits=\"0\" />");
    page.PortList()->setCurrentIndex(256);
    EXPECT_EQ(page.GetSettings(),
              "<settings port=\"/dev/ttyS4\" baudrate=\"9600\" charsize=\"8\" parity=\"0\" "
              "stopbits=\"0\" />");
    // A COM entry still writes its own name.
    page.PortList()->setCurrentIndex(2);
    EXPECT_EQ(page.GetSettings().rfind("<settings port=\"COM3\" ", 0), 0u);
}

TEST(SettingsPageTest, EthernetPageReportsABadPortAndRejectsIt) {
    struct Case {
        const char* text;
        const char* document;
        const char* message;  // nullptr: none
    };
    const Case cases[] = {
        {"8001", "<settings ip=\"127.0.0.1\" port=\"8001\" />", nullptr},
        {"70000", "<settings ip=\"127.0.0.1\" port=\"70000\" />",
         "Enter an integer between 1 and 65535."},
        {"0", "<settings ip=\"127.0.0.1\" port=\"0\" />", "Enter an integer between 1 and 65535."},
        {"port", "<settings ip=\"127.0.0.1\" port=\"8001\" />", "Enter an integer."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EthernetSettingDialog page;
        page.PortBox()->setText(c.text);
        ModalBoxAnswerer answerer;
        EXPECT_EQ(page.GetSettings(), c.document);
        if (c.message == nullptr) {
            EXPECT_TRUE(answerer.Texts().empty());
            EXPECT_FALSE(page.SettingsRejected());
        } else {
            EXPECT_EQ(answerer.Texts(), std::vector<std::string>{c.message});
            EXPECT_TRUE(page.SettingsRejected());
        }
    }
}

// The attribute |name| of the document's settings element as the transports
// read it.
std::string AttributeOf(const std::string& document, const std::string& name) {
    std::istringstream text(document);
    boost::property_tree::ptree tree;
    boost::property_tree::read_xml(text, tree);
    return tree.get<std::string>("settings.<xmlattr>." + name);
}

// What a person types into a free-text field stays inside that field's
// attribute, whatever markup it holds.
TEST(SettingsPageTest, TypedMarkupStaysInsideItsAttribute) {
    const std::string hostile = "0.0.0.0\" port=\"7 <&> '";
    ComSettingDialog com;
    com.BaudRateBox()->setEditText(QString::fromStdString(hostile));
    com.CharSizeBox()->setText(QStringLiteral("7\" parity=\"1"));
    const std::string comDocument = com.GetSettings();
    EXPECT_EQ(AttributeOf(comDocument, "baudrate"), hostile) << comDocument;
    EXPECT_EQ(AttributeOf(comDocument, "charsize"), "7\" parity=\"1") << comDocument;
    EXPECT_EQ(AttributeOf(comDocument, "parity"), "0") << comDocument;

    EthernetSettingDialog ethernet;
    ethernet.AddressBox()->setText(QString::fromStdString(hostile));
    const std::string ethernetDocument = ethernet.GetSettings();
    EXPECT_EQ(AttributeOf(ethernetDocument, "ip"), hostile) << ethernetDocument;
    EXPECT_EQ(AttributeOf(ethernetDocument, "port"), "8001") << ethernetDocument;
}

// An address with a quote in it is one bad address: the transport refuses it
// with the address error instead of listening somewhere it was never told.
TEST(SettingsPageTest, AnAddressWithAQuoteFailsWithTheAddressError) {
    ZelLog::LogSettings logSettings;
    logSettings.level = 2;
    ZelLog::CDebugTestAccess::InstallProcessLog(logSettings);
    EthernetSettingDialog page;
    page.AddressBox()->setText(QStringLiteral("127.0.0.1\" port=\"7"));
    boost::asio::io_context io;
    auto udp = MakeProtocol<UDPProtocol>(io, page.GetSettings());
    std::vector<std::string> messages;
    udp->m_messageSignal.connect([&](std::shared_ptr<AbstractProtocol>, const std::string& text) {
        messages.push_back(text);
    });
    EXPECT_FALSE(udp->Start());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("Invalid argument"), std::string::npos) << messages[0];
    EXPECT_EQ(udp->LocalPort(), 0);
}

TEST(CommandLineParseTest, Parses) {
    using app::CommandKind;
    struct Case {
        std::vector<std::string> args;
        CommandKind kind;
        const char* documentOrError;
        const char* file;
    };
    const Case cases[] = {
        {{}, CommandKind::kWindow, "", ""},
        {{"--help"}, CommandKind::kHelp, "", ""},
        {{"--version"}, CommandKind::kVersion, "", ""},
        {{"capture", "udp"},
         CommandKind::kCapture,
         "<settings ip=\"127.0.0.1\" port=\"8001\" />",
         ""},
        {{"capture", "tcp", "--ip", "0.0.0.0", "--port=9000", "-o", "x.bin"},
         CommandKind::kCapture,
         "<settings ip=\"0.0.0.0\" port=\"9000\" />",
         "x.bin"},
        {{"capture", "com", "--port", "/dev/ttyUSB0", "--baudrate", "115200", "--charsize", "7",
          "--parity", "even", "--stopbits", "onepointfive"},
         CommandKind::kCapture,
         "<settings port=\"/dev/ttyUSB0\" baudrate=\"115200\" charsize=\"7\" parity=\"2\" "
         "stopbits=\"1\" />",
         ""},
        {{"capture", "udp", "--settings", "<settings port=\" 9000 \" ip=\"::1\" />"},
         CommandKind::kCapture,
         "<settings port=\" 9000 \" ip=\"::1\" />",
         ""},
        {{"capture", "com", "--port", "com255", "--stopbits", "1.5"},
         CommandKind::kCapture,
         "<settings port=\"com255\" baudrate=\"9600\" charsize=\"8\" parity=\"0\" "
         "stopbits=\"1\" />",
         ""},
        {{"capture", "com", "--stopbits=2", "--port", "/dev/a\"b"},
         CommandKind::kCapture,
         "<settings port=\"/dev/a&quot;b\" baudrate=\"9600\" charsize=\"8\" parity=\"0\" "
         "stopbits=\"2\" />",
         ""},
        {{"capture", "--help"}, CommandKind::kHelp, "", ""},
        {{"capture", "com", "--stopbits", "3"},
         CommandKind::kError,
         "--stopbits: '3' is not one, onepointfive or two, nor 1, 1.5 or 2",
         ""},
        {{"capture", "com", "--port", "COM0"},
         CommandKind::kError,
         "--port 'COM0': give COM1 to COM255, or a device path such as /dev/ttyUSB0",
         ""},
        {{"capture", "com", "--charsize", "9"},
         CommandKind::kError,
         "--charsize '9': give 5, 6, 7 or 8 data bits",
         ""},
        {{"capture", "com", "--baudrate", "abc"},
         CommandKind::kError,
         "--baudrate 'abc': give a whole number of bits per second, such as 9600 or 115200",
         ""},
        {{"capture", "udp", "--ip", "localhost"},
         CommandKind::kError,
         "--ip 'localhost': give a numeric IPv4 or IPv6 address such as 127.0.0.1, 0.0.0.0 or "
         "::1 (host names are not looked up)",
         ""},
        {{"capture", "udp", "--settings", "<settings port=\"0\" />"},
         CommandKind::kError,
         "--settings: the settings element lacks the attribute ip; give <settings ip=\"...\" "
         "port=\"...\" />",
         ""},
        {{"capture", "com", "--settings", "<settings port=\"COM1\" parity=\"0\" />"},
         CommandKind::kError,
         "--settings: the settings element lacks the attributes baudrate, charsize and "
         "stopbits; give <settings port=\"...\" baudrate=\"...\" charsize=\"...\" "
         "parity=\"...\" stopbits=\"...\" />",
         ""},
        {{"capture", "tcp", "--settings", "<other ip=\"127.0.0.1\" port=\"9000\" />"},
         CommandKind::kError,
         "--settings: the document has no settings element; give <settings ip=\"...\" "
         "port=\"...\" />",
         ""},
        {{"capture", "udp", "--settings", "<settings ip=\"127.0.0.1\" port=\"0\" />"},
         CommandKind::kError,
         "--settings: port=\"0\": give a port number from 1 to 65535",
         ""},
        {{"capture", "com", "--settings",
          "<settings port=\"COM3\" baudrate=\"9600\" charsize=\"8\" parity=\"3\" "
          "stopbits=\"0\" />"},
         CommandKind::kError,
         "--settings: parity=\"3\": give 0 (none), 1 (odd) or 2 (even)",
         ""},
        {{"capture"}, CommandKind::kError, "capture needs a transport: com, udp or tcp", ""},
        {{"capture", "usb"},
         CommandKind::kError,
         "unknown transport 'usb': give com, udp or tcp",
         ""},
        {{"capture", "udp", "--port", "0"},
         CommandKind::kError,
         "--port '0': Enter an integer between 1 and 65535.",
         ""},
        {{"capture", "udp", "--baudrate", "9600"},
         CommandKind::kError,
         "--baudrate does not apply to a udp capture",
         ""},
        {{"capture", "com", "--parity", "mark"},
         CommandKind::kError,
         "--parity: 'mark' is not none, odd or even",
         ""},
        {{"capture", "udp", "--speed", "1"}, CommandKind::kError, "unknown option '--speed'", ""},
        {{"capture", "udp", "--settings", "<settings />", "--port", "9"},
         CommandKind::kError,
         "give either --settings or --port, not both",
         ""},
        {{"capture", "udp", "--settings", std::string(70000, ' ')},
         CommandKind::kError,
         "--settings: settings document of 70000 bytes; at most 65536 are read",
         ""},
        {{"capture", "udp", "--settings", "<a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a>"},
         CommandKind::kError,
         "--settings: settings document nested deeper than 16 elements",
         ""},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& arg : c.args) {
            joined += arg + " ";
        }
        SCOPED_TRACE(joined);
        const app::CommandLine command = app::ParseCommandLine(c.args);
        EXPECT_EQ(command.kind, c.kind);
        if (c.kind == CommandKind::kError) {
            EXPECT_EQ(command.error, c.documentOrError);
        } else if (c.kind == CommandKind::kCapture) {
            EXPECT_EQ(command.capture.document, c.documentOrError);
            EXPECT_EQ(command.capture.file, c.file);
        }
    }
    EXPECT_TRUE(app::ParseCommandLine({"capture", "udp", "--overwrite"}).capture.overwrite);
}

TEST(DisplayCheckTest, TheDesktopPlatformsNeedTheirDisplay) {
    struct Case {
        std::map<std::string, std::string> environment;
        bool available;
    };
    const Case cases[] = {
        {{}, false},
        {{{"DISPLAY", ":0"}}, true},
        {{{"WAYLAND_DISPLAY", "wayland-0"}}, true},
        {{{"QT_QPA_PLATFORM", "offscreen"}}, true},
        {{{"QT_QPA_PLATFORM", "xcb"}, {"WAYLAND_DISPLAY", "wayland-0"}}, false},
        {{{"QT_QPA_PLATFORM", "wayland"}, {"DISPLAY", ":0"}}, false},
        {{{"QT_QPA_PLATFORM", "wayland;xcb"}, {"DISPLAY", ":0"}}, true},
        {{{"QT_QPA_PLATFORM", "wayland-egl;offscreen"}}, true},
    };
    for (const Case& c : cases) {
        std::string described;
        for (const auto& [name, value] : c.environment) {
            described += name + "=" + value + " ";
        }
        SCOPED_TRACE(described);
        EXPECT_EQ(app::DisplayAvailable([&](const char* name) -> const char* {
                      const auto found = c.environment.find(name);
                      return found == c.environment.end() ? nullptr : found->second.c_str();
                  }),
                  c.available);
    }
}

}  // namespace
}  // namespace tapscope::testing
