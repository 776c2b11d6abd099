#pragma once

#include <QRect>

class QPushButton;
class QString;
class QWidget;

namespace Tarnwick {

// Window designs are in twips, 1440 to the inch; these convert with the screen's
// logical DPI so windows keep their proportions on a HiDPI screen.
int twipsToPixels(int twips, const QWidget* widget = nullptr);
QRect twipsRect(int left, int top, int width, int height, const QWidget* widget = nullptr);
void placeInTwips(QWidget* child, int left, int top, int width, int height);

// A button named after its control, so tests and tools find it by that name.
QPushButton* namedButton(QWidget* parent, const char* name, const QString& caption);

} // namespace Tarnwick
