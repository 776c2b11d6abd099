#pragma once

#include <QFont>

class QApplication;
class QLineEdit;
class QWidget;

namespace Tarnwick {

// Every window uses a 9-point proportional Japanese font.
void applyJapaneseUiFont(QApplication& app);

// The event lists' font: the fixed-pitch Japanese face at an even pixel size near
// 9 points, so a half-width character is exactly half a full-width one and the
// padded event names line up in one column.
QFont monitorListFont();

// The windows are designed in twips for another system's font metrics. These keep
// the designed size but make sure the caption or text is not clipped.
// Widens a captioned control (label, check box, option button, button, frame) to
// its caption's needs; never narrows it. Returns the width it ends with.
int widenToFitCaption(QWidget* control);
// Lets a one-line box show a whole line of text when its designed height is a few
// pixels short for the frame the style draws around it.
void fitTextBoxHeight(QLineEdit* box);

} // namespace Tarnwick
