#include "app/ethernet_setting_dialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>

#include "app/dialog_units.h"
#include "app/settings_documents.h"
#include "app/strings.h"

using tapscope::app::DialogUnits;

namespace {

// Template 103, in dialog units.
constexpr int kPageWidth = 185;
constexpr int kPageHeight = 48;

}  // namespace

EthernetSettingDialog::EthernetSettingDialog(QWidget* parent) : QWidget(parent) {
    const DialogUnits units(font());
    resize(units.Size(kPageWidth, kPageHeight));
    auto* addressLabel = new QLabel(QStringLiteral("Address:"), this);
    addressLabel->setGeometry(units.Rect(7, 10, 30, 8));
    auto* portLabel = new QLabel(QStringLiteral("Port:"), this);
    portLabel->setGeometry(units.Rect(7, 30, 33, 8));
    m_addressBox = new QLineEdit(this);
    m_addressBox->setGeometry(units.Rect(45, 7, 133, 14));
    m_portBox = new QLineEdit(this);
    m_portBox->setGeometry(units.Rect(45, 27, 40, 14));
    DoDataExchange(false);
}

EthernetSettingDialog::~EthernetSettingDialog() = default;

bool EthernetSettingDialog::DoDataExchange(bool save) {
    if (!save) {
        m_addressBox->setText(QString::fromStdString(m_address));
        m_portBox->setText(QString::number(m_port));
        return true;
    }
    m_address = m_addressBox->text().toStdString();
    const std::optional<std::string> message =
        tapscope::app::ExchangePort(m_portBox->text().toStdString(), m_port);
    if (!message) {
        return true;
    }
    QMessageBox box(QMessageBox::Warning, QString::fromLatin1(tapscope::app::kProgramName),
                    QString::fromStdString(*message), QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
    m_portBox->setFocus();
    m_portBox->selectAll();
    return false;
}

std::string EthernetSettingDialog::GetSettings() {
    m_rejected = !DoDataExchange(true);
    tapscope::app::EthernetSettings settings;
    settings.address = m_address;
    settings.port = m_port;
    return tapscope::app::EthernetSettingsDocument(settings);
}
