#include "app/app_icon.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

namespace tapscope::app {
namespace {

constexpr const char* kIconResource = ":/tapscope/tapscope.svg";
constexpr int kIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

}  // namespace

QIcon ApplicationIcon() {
    QSvgRenderer renderer{QString::fromLatin1(kIconResource)};
    QIcon icon;
    if (!renderer.isValid()) {
        return icon;
    }
    for (const int size : kIconSizes) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        renderer.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace tapscope::app
