#include "app/about_dlg.h"

#include <QLabel>
#include <QPushButton>

#include "app/app_icon.h"
#include "app/dialog_units.h"
#include "app/strings.h"

namespace {

// Template 100, in dialog units.
constexpr int kAboutWidth = 170;
constexpr int kAboutHeight = 62;
// The icon control shows the icon at the desktop's large icon size.
constexpr int kIconPixels = 32;

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setFont(tapscope::app::DialogFont());
    const tapscope::app::DialogUnits units(font());
    setWindowTitle(QString::fromLatin1(tapscope::app::kAboutTitle));
    setFixedSize(units.Size(kAboutWidth, kAboutHeight));

    auto* icon = new QLabel(this);
    icon->setPixmap(tapscope::app::ApplicationIcon().pixmap(kIconPixels, kIconPixels));
    icon->setGeometry(units.X(14), units.Y(14), kIconPixels, kIconPixels);
    auto* version = new QLabel(QString::fromLatin1(tapscope::app::kAboutVersion), this);
    version->setGeometry(units.Rect(42, 14, 114, 8));
    auto* line = new QLabel(QString::fromLatin1(tapscope::app::kAboutLine), this);
    line->setGeometry(units.Rect(42, 26, 114, 8));
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setGeometry(units.Rect(113, 41, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
