// ComSettingDialog: the settings page of the "COM" tab (template 101). It
// offers the COM ports, baud rates, character size, parity and stop bits of a
// serial port and writes the serial settings document from them. Nothing is
// checked here: the transport reports the values it cannot use.
//
// After COM1 to COM255 the port list offers the serial devices found on this
// machine, each shown with a description ("FTDI FT232R (A12B3C) -
// /dev/ttyUSB0"); for such an entry the document receives the device's
// stable name (/dev/serial/by-id/...), which survives a re-plug.
//
// Window thread only.
#pragma once

#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "app/settings_dialog.h"
#include "platform/serial_ports.h"

class QComboBox;
class QLineEdit;

class ComSettingDialog : public QWidget, public ISettingsDialog {
    Q_OBJECT

public:
    // Where the devices after COM255 come from; by default the machine's.
    using PortSource = std::function<std::vector<tapscope::platform::SerialPortInfo>()>;
    static std::vector<tapscope::platform::SerialPortInfo> MachinePorts();

    explicit ComSettingDialog(QWidget* parent = nullptr, PortSource ports = MachinePorts);
    ~ComSettingDialog() override;

    std::string GetSettings() override;

    // The controls, for the window's tests.
    QComboBox* PortList() const { return m_portList; }
    QComboBox* BaudRateBox() const { return m_baudRateBox; }
    QLineEdit* CharSizeBox() const { return m_charSizeBox; }
    QComboBox* ParityList() const { return m_parityList; }
    QComboBox* StopBitsList() const { return m_stopBitsList; }

private:
    // Fills the lists and shows the initial values.
    void OnInitDialog();
    // Moves the field values into the controls (|save| false) or the
    // controls' values into the fields (|save| true).
    void DoDataExchange(bool save);

    PortSource m_ports;
    std::string m_port;
    std::string m_baudRate;
    std::string m_charSize = "8";
    int m_parity = 0;
    int m_stopBits = 0;

    QComboBox* m_portList = nullptr;      // 1013
    QComboBox* m_baudRateBox = nullptr;   // 1008
    QLineEdit* m_charSizeBox = nullptr;   // 1012
    QComboBox* m_parityList = nullptr;    // 1009
    QComboBox* m_stopBitsList = nullptr;  // 1010
};
