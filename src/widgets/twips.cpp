#include "widgets/twips.h"

#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QWidget>
#include <cmath>

namespace Tarnwick {

namespace {
double logicalDpi(const QWidget* widget) {
    if (widget && widget->screen())
        return widget->screen()->logicalDotsPerInchY();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        return screen->logicalDotsPerInchY();
    return 96.0;
}
} // namespace

int twipsToPixels(int twips, const QWidget* widget) {
    return int(std::lround(twips * logicalDpi(widget) / 1440.0));
}

QRect twipsRect(int left, int top, int width, int height, const QWidget* widget) {
    return QRect(twipsToPixels(left, widget), twipsToPixels(top, widget),
                 twipsToPixels(width, widget), twipsToPixels(height, widget));
}

void placeInTwips(QWidget* child, int left, int top, int width, int height) {
    child->setGeometry(twipsRect(left, top, width, height, child));
}

QPushButton* namedButton(QWidget* parent, const char* name, const QString& caption) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QString::fromLatin1(name));
    return button;
}

} // namespace Tarnwick
