#pragma once

#include <QRect>

class QGroupBox;

namespace Tarnwick {

// Draws a frame as the windows are designed: an etched border whose top line runs
// through the middle of the caption, and contents that start just below that line.
// A first row placed a caption's height under the frame's top edge then clears the
// border at every font size and screen density, whatever the base style does with
// its titles. The frame must have no check box.
void drawCaptionOnLine(QGroupBox* frame);

// Where the frame's style lets its rows go, in the frame's coordinates.
QRect frameContents(const QGroupBox* frame);

} // namespace Tarnwick
