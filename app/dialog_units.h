// DialogUnits: converts the dialog templates' dialog units into pixels with
// the metrics of the dialog's font, the way the templates were laid out:
//   base x = (width of "A".."Z" and "a".."z" / 26 + 1) / 2, base y = font height
//   pixels x = (units * base x + 2) / 4, pixels y = (units * base y + 4) / 8
// so that the window keeps its proportions with whatever font the desktop has.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace tapscope::app {

// The font of every dialog of the program: the desktop's default font family
// at 8 points, the size the templates were designed for.
QFont DialogFont();

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);

    int X(int units) const { return (units * m_baseX + 2) / 4; }
    int Y(int units) const { return (units * m_baseY + 4) / 8; }
    QRect Rect(int x, int y, int width, int height) const {
        return QRect(X(x), Y(y), X(width), Y(height));
    }
    QSize Size(int width, int height) const { return QSize(X(width), Y(height)); }

    int BaseX() const { return m_baseX; }
    int BaseY() const { return m_baseY; }

private:
    int m_baseX = 0;
    int m_baseY = 0;
};

}  // namespace tapscope::app
