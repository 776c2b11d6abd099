#include "windows/optionsdialoglayout.h"

#include "widgets/twips.h"
#include "widgets/uifonts.h"

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
    case ControlKind::Frame:
        return new QGroupBox(caption, parent);
    case ControlKind::Option:
        return new QRadioButton(caption, parent);
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
    for (QLineEdit* box : boxes)
        fitTextBoxHeight(box);
    return controls;
}

} // namespace Tarnwick
