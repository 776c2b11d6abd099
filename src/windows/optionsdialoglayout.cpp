#include "windows/optionsdialoglayout.h"

#include "widgets/captionframe.h"
#include "widgets/twips.h"
#include "widgets/uifonts.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QPushButton>
#include <QRadioButton>

namespace Tarnwick {

namespace {

QWidget* makeControl(const ControlPlace& place, QWidget* parent) {
    const QString caption = place.caption.toString();
    switch (place.kind) {
    case ControlKind::Frame: {
        auto* frame = new QGroupBox(caption, parent);
        // The first rows sit a caption's height under the top edge.
        drawCaptionOnLine(frame);
        return frame;
    }
    case ControlKind::Option:
        return new QRadioButton(caption, parent);
    case ControlKind::Check:
        return new QCheckBox(caption, parent);
    case ControlKind::Label:
        return new QLabel(caption, parent);
    case ControlKind::Box:
        return new QLineEdit(parent);
    case ControlKind::Button: {
        auto* button = new QPushButton(caption, parent);
        // Enter in a text box must not press a reset button.
        button->setAutoDefault(false);
        button->setDefault(false);
        return button;
    }
    }
    return nullptr;
}

// A control pushed along gives back any width its caption does not need, so that
// it stays inside its frame where the design left room.
void moveKeepingRightEdge(QWidget* w, int x) {
    const int right = w->geometry().right() + 1;
    const int least =
        qobject_cast<QLineEdit*>(w) ? w->minimumSizeHint().width() : w->sizeHint().width();
    w->setGeometry(x, w->y(), qMax(right - x, least), w->height());
}

template <std::size_t N>
QList<QWidget*> lookUp(const QHash<QString, QWidget*>& controls, const QStringView (&names)[N]) {
    QList<QWidget*> found;
    for (QStringView name : names)
        if (!name.isEmpty())
            found.append(controls.value(name.toString()));
    return found;
}

// A caption wider than designed pushes its right-hand neighbours along; a column
// moves as far as its furthest member had to. Two passes settle a column that
// pushed a row.
void arrange(const QHash<QString, QWidget*>& controls, const QWidget* dialog) {
    const int gap = twipsToPixels(OptionsDialogRowGap, dialog);
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& names : OptionsDialogRows) {
            const QList<QWidget*> row = lookUp(controls, names);
            for (qsizetype i = 1; i < row.size(); ++i) {
                const int least = row[i - 1]->geometry().right() + 1 + gap;
                if (row[i]->x() < least)
                    moveKeepingRightEdge(row[i], least);
            }
        }
        for (const auto& names : OptionsDialogColumns) {
            const QList<QWidget*> column = lookUp(controls, names);
            int x = 0;
            for (QWidget* w : column)
                x = qMax(x, w->x());
            for (QWidget* w : column)
                if (w->x() < x)
                    moveKeepingRightEdge(w, x);
        }
    }
}

const ControlPlace& placeOf(QStringView name) {
    for (const ControlPlace& place : OptionsDialogControls)
        if (place.name == name)
            return place;
    Q_UNREACHABLE();
}

// A row pushed along may end past its frame's inner edge: the frame grows to hold
// it, and so does every frame designed to end at the same place, so that edges
// lined up in the design stay lined up. Inner frames go first, as their growth may
// push the frame around them.
void growFramesToHoldRows(const QHash<QString, QWidget*>& controls) {
    struct Frame {
        QGroupBox* box;
        int designedRight; // in twips, from the dialog's left edge
        int depth;
    };
    QList<Frame> frames;
    int deepest = 0;
    for (const ControlPlace& place : OptionsDialogControls) {
        if (place.kind != ControlKind::Frame)
            continue;
        Frame frame{qobject_cast<QGroupBox*>(controls.value(place.name.toString())),
                    place.left + place.width, 0};
        for (QStringView outer = place.frame; !outer.isEmpty(); outer = placeOf(outer).frame) {
            frame.designedRight += placeOf(outer).left;
            ++frame.depth;
        }
        deepest = qMax(deepest, frame.depth);
        frames.append(frame);
    }
    for (int depth = deepest; depth >= 0; --depth) {
        QHash<int, int> growth; // by designed right edge
        for (const Frame& frame : frames) {
            if (frame.depth != depth)
                continue;
            const int inner = frameContents(frame.box).right();
            int& grow = growth[frame.designedRight];
            for (QWidget* child : frame.box->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
                grow = qMax(grow, child->geometry().right() - inner);
        }
        for (const Frame& frame : frames)
            if (frame.depth == depth && growth.value(frame.designedRight) > 0)
                frame.box->resize(frame.box->width() + growth.value(frame.designedRight),
                                  frame.box->height());
    }
}

} // namespace

QHash<QString, QWidget*> createOptionsDialogControls(QWidget* dialog) {
    QHash<QString, QWidget*> controls;
    QList<QLineEdit*> boxes;
    for (const ControlPlace& place : OptionsDialogControls) {
        QWidget* parent = place.frame.isEmpty() ? dialog : controls.value(place.frame.toString());
        QWidget* control = makeControl(place, parent);
        control->setObjectName(place.name.toString());
        placeInTwips(control, place.left, place.top, place.width, place.height);
        if (auto* box = qobject_cast<QLineEdit*>(control))
            boxes.append(box);
        else
            widenToFitCaption(control);
        if (!place.toolTip.isEmpty())
            control->setToolTip(place.toolTip.toString());
        controls.insert(control->objectName(), control);
    }
    arrange(controls, dialog);
    growFramesToHoldRows(controls);
    for (QLineEdit* box : boxes)
        fitTextBoxHeight(box);
    return controls;
}

} // namespace Tarnwick
