#pragma once

#include <QIcon>

namespace Tarnwick {

// The program's icon in every size it ships in, 16 to 256 pixels, so each window's
// title bar, the task bar and the tray pick a drawn size rather than a scaled one.
QIcon programIcon();

} // namespace Tarnwick
