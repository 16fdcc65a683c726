// ComSettingDialog: the settings page of the "COM" tab (template 101). It
// offers the COM ports, baud rates, character size, parity and stop bits of a
// serial port and writes the serial settings document from them. Nothing is
// checked here: the transport reports the values it cannot use.
//
// Window thread only.
#pragma once

#include <QWidget>
#include <string>

#include "app/settings_dialog.h"

class QComboBox;
class QLineEdit;

class ComSettingDialog : public QWidget, public ISettingsDialog {
    Q_OBJECT

public:
    explicit ComSettingDialog(QWidget* parent = nullptr);
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
