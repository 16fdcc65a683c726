// EthernetSettingDialog: the settings page of the "UDP" and "TCP" tabs
// (template 103): the address and port to listen on. The port box takes a
// whole number from 1 to 65535; anything else is reported to the operator
// while the capture is being started, and the capture then does not start.
//
// Window thread only.
#pragma once

#include <QWidget>
#include <string>

#include "app/settings_dialog.h"

class QLineEdit;

class EthernetSettingDialog : public QWidget, public ISettingsDialog {
    Q_OBJECT

public:
    explicit EthernetSettingDialog(QWidget* parent = nullptr);
    ~EthernetSettingDialog() override;

    std::string GetSettings() override;
    bool SettingsRejected() const override { return m_rejected; }

    QLineEdit* AddressBox() const { return m_addressBox; }
    QLineEdit* PortBox() const { return m_portBox; }

private:
    // |save| true: takes the boxes' text into the fields, with the port's
    // integer check (false when it failed and the operator was told why);
    // false: shows the fields in the boxes.
    bool DoDataExchange(bool save);

    std::string m_address = "127.0.0.1";
    int m_port = 8001;
    bool m_rejected = false;

    QLineEdit* m_addressBox = nullptr;  // 1007
    QLineEdit* m_portBox = nullptr;     // 1003
};
