#include "app/com_setting_dialog.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>

#include "app/dialog_units.h"
#include "app/settings_documents.h"

using tapscope::app::DialogUnits;

namespace {

// Template 101, in dialog units.
constexpr int kPageWidth = 185;
constexpr int kPageHeight = 110;
constexpr int kLabelX = 7;
constexpr int kLabelWidth = 35;
constexpr int kLabelHeight = 8;
constexpr int kFieldX = 51;
constexpr int kFieldWidth = 117;
constexpr int kFieldHeight = 14;
// How many entries an open list shows before it scrolls.
constexpr int kVisibleEntries = 12;

QComboBox* MakeList(QWidget* parent, const DialogUnits& units, int y, bool editable) {
    auto* list = new QComboBox(parent);
    list->setEditable(editable);
    if (editable) {
        // Typed text stays in the field; it is not added to the list.
        list->setInsertPolicy(QComboBox::NoInsert);
    }
    list->setMaxVisibleItems(kVisibleEntries);
    list->setGeometry(units.Rect(kFieldX, y, kFieldWidth, kFieldHeight));
    return list;
}

// A label at the template's place, centred on the height of the field it
// names (the template's lists are shorter than the fields drawn here).
void MakeLabel(QWidget* parent, const DialogUnits& units, const char* text, int y, int fieldY) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    const QRect field = units.Rect(kFieldX, fieldY, kFieldWidth, kFieldHeight);
    QRect place = units.Rect(kLabelX, y, kLabelWidth, kLabelHeight);
    place.moveTop(field.center().y() - place.height() / 2);
    label->setGeometry(place);
}

}  // namespace

std::vector<tapscope::platform::SerialPortInfo> ComSettingDialog::MachinePorts() {
    return tapscope::platform::ListSerialPorts();
}

ComSettingDialog::ComSettingDialog(QWidget* parent, PortSource ports)
    : QWidget(parent), m_ports(std::move(ports)) {
    const DialogUnits units(font());
    resize(units.Size(kPageWidth, kPageHeight));
    MakeLabel(this, units, "COM:", 10, 9);
    MakeLabel(this, units, "Baud rate:", 28, 27);
    MakeLabel(this, units, "Char size:", 49, 46);
    MakeLabel(this, units, "Parity:", 69, 67);
    MakeLabel(this, units, "Stop bits:", 90, 86);
    m_portList = MakeList(this, units, 9, false);
    m_baudRateBox = MakeList(this, units, 27, true);
    m_charSizeBox = new QLineEdit(this);
    m_charSizeBox->setGeometry(units.Rect(kFieldX, 46, kFieldWidth, kFieldHeight));
    m_parityList = MakeList(this, units, 67, false);
    m_stopBitsList = MakeList(this, units, 86, false);
    OnInitDialog();
}

ComSettingDialog::~ComSettingDialog() = default;

void ComSettingDialog::OnInitDialog() {
    m_portList->clear();
    for (const std::string& name : tapscope::app::ComPortNames()) {
        m_portList->addItem(QString::fromStdString(name));
    }
    // The devices found, after the COM names: the entry shows what the device
    // is, its data is the name the document receives.
    if (m_ports) {
        for (const tapscope::platform::SerialPortInfo& port : m_ports()) {
            m_portList->addItem(QString::fromStdString(port.Description()),
                                QString::fromStdString(port.StablePath()));
        }
    }
    m_portList->setCurrentIndex(0);

    for (const int rate : tapscope::app::kBaudRates) {
        const QString text = QString::number(rate);
        m_baudRateBox->addItem(text);
        if (rate == tapscope::app::kDefaultBaudRate) {
            m_baudRate = text.toStdString();
        }
    }
    const std::string defaultParity = tapscope::app::kParityNames[0];
    for (const char* name : tapscope::app::kParityNames) {
        m_parityList->addItem(QString::fromLatin1(name));
        if (name == defaultParity) {
            m_parity = m_parityList->count() - 1;
        }
    }
    const std::string defaultStopBits = tapscope::app::kStopBitsNames[0];
    for (const char* name : tapscope::app::kStopBitsNames) {
        m_stopBitsList->addItem(QString::fromLatin1(name));
        if (name == defaultStopBits) {
            m_stopBits = m_stopBitsList->count() - 1;
        }
    }
    DoDataExchange(false);
}

void ComSettingDialog::DoDataExchange(bool save) {
    if (save) {
        // A device entry carries its stable name; a COM entry is its text.
        const QVariant stable = m_portList->currentData();
        m_port = stable.isValid() ? stable.toString().toStdString()
                                  : m_portList->currentText().toStdString();
        m_baudRate = m_baudRateBox->currentText().toStdString();
        m_charSize = m_charSizeBox->text().toStdString();
        m_parity = m_parityList->currentIndex();
        m_stopBits = m_stopBitsList->currentIndex();
        return;
    }
    // An empty port name leaves the list's selection as it is.
    if (!m_port.empty()) {
        int index = m_portList->findText(QString::fromStdString(m_port));
        if (index < 0) {
            index = m_portList->findData(QString::fromStdString(m_port));
        }
        if (index >= 0) {
            m_portList->setCurrentIndex(index);
        }
    }
    // The first entry that begins with the text is selected; without one the
    // text goes into the editable field.
    const QString rate = QString::fromStdString(m_baudRate);
    const int rateIndex = m_baudRateBox->findText(rate, Qt::MatchStartsWith);
    if (rateIndex >= 0) {
        m_baudRateBox->setCurrentIndex(rateIndex);
    } else {
        m_baudRateBox->setEditText(rate);
    }
    m_charSizeBox->setText(QString::fromStdString(m_charSize));
    m_parityList->setCurrentIndex(m_parity);
    m_stopBitsList->setCurrentIndex(m_stopBits);
}

std::string ComSettingDialog::GetSettings() {
    DoDataExchange(true);
    tapscope::app::ComSettings settings;
    settings.port = m_port;
    settings.baudRate = m_baudRate;
    settings.charSize = m_charSize;
    settings.parity = m_parity;
    settings.stopBits = m_stopBits;
    return tapscope::app::ComSettingsDocument(settings);
}
