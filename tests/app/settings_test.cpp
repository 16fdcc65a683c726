// The settings documents, the port box's integer exchange, the settings pages
// as widgets, and the command line's options.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>

#include "app/com_setting_dialog.h"
#include "app/command_line.h"
#include "app/ethernet_setting_dialog.h"
#include "app/settings_documents.h"
#include "tests/app/app_test_support.h"

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
        {{"capture", "udp", "--settings", "<settings port=\"0\" />"},
         CommandKind::kCapture,
         "<settings port=\"0\" />",
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

}  // namespace
}  // namespace tapscope::testing
