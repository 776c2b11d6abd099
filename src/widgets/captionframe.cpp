#include "widgets/captionframe.h"

#include <QApplication>
#include <QGroupBox>
#include <QPainter>
#include <QPointer>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QStyleOptionGroupBox>
#include <qdrawutil.h>

namespace Tarnwick {

namespace {

// An etched line is two pixels: a dark one and a light one beside it.
constexpr int LineWidth = 2;
// Room left between the caption and the line on either side of it.
constexpr int CaptionPad = 2;

class CaptionOnLineStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;

    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl sub,
                         const QWidget* widget) const override {
        if (!handles(control, option))
            return QProxyStyle::subControlRect(control, option, sub, widget);
        const auto* box = static_cast<const QStyleOptionGroupBox*>(option);
        const QRect frame = option->rect.adjusted(0, lineOffset(option), 0, 0);
        switch (sub) {
        case SC_GroupBoxFrame:
            return frame;
        case SC_GroupBoxContents:
            return frame.adjusted(LineWidth, LineWidth, -LineWidth, -LineWidth);
        case SC_GroupBoxLabel: {
            if (box->text.isEmpty())
                return {};
            const QSize text = option->fontMetrics.size(Qt::TextShowMnemonic, box->text);
            return QRect(option->rect.x() + indent(option), option->rect.y(),
                         text.width() + 2 * CaptionPad, option->fontMetrics.height());
        }
        default:
            return {};
        }
    }

    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                            QPainter* painter, const QWidget* widget) const override {
        if (!handles(control, option)) {
            QProxyStyle::drawComplexControl(control, option, painter, widget);
            return;
        }
        const auto* box = static_cast<const QStyleOptionGroupBox*>(option);
        const QRect frame = subControlRect(control, option, SC_GroupBoxFrame, widget);
        qDrawShadeRect(painter, frame, option->palette, true, 1, 0);
        const QRect label = subControlRect(control, option, SC_GroupBoxLabel, widget);
        if (label.isEmpty())
            return;
        // The caption interrupts the line it sits on.
        painter->fillRect(label, option->palette.brush(QPalette::Window));
        drawItemText(painter, label, Qt::AlignCenter | Qt::TextShowMnemonic, option->palette,
                     option->state & State_Enabled, box->text, QPalette::WindowText);
    }

    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                           const QWidget* widget) const override {
        if (type != CT_GroupBox || !handles(CC_GroupBox, option))
            return QProxyStyle::sizeFromContents(type, option, size, widget);
        // The caption with its indent on both sides, and the line around the contents.
        return QSize(size.width() + 2 * indent(option) + 2 * CaptionPad,
                     size.height() + 2 * LineWidth);
    }

private:
    static bool handles(ComplexControl control, const QStyleOption* option) {
        const auto* box = qstyleoption_cast<const QStyleOptionGroupBox*>(option);
        return control == CC_GroupBox && box && !(box->subControls & SC_GroupBoxCheckBox) &&
               !(box->features & QStyleOptionFrame::Flat);
    }
    // The top line runs through the middle of the caption.
    static int lineOffset(const QStyleOption* option) { return option->fontMetrics.height() / 2; }
    // The caption starts as far in from the left edge as the line lies below the top.
    static int indent(const QStyleOption* option) { return lineOffset(option); }
};

QStyle* captionOnLineStyle() {
    // One for every frame, over the application's own style; it goes with the application.
    static QPointer<QStyle> style;
    if (!style) {
        QStyle* base = QStyleFactory::create(QApplication::style()->name());
        style = new CaptionOnLineStyle(base);
        style->setParent(qApp);
    }
    return style;
}

} // namespace

QRect frameContents(const QGroupBox* frame) {
    QStyleOptionGroupBox option;
    option.initFrom(frame);
    option.text = frame->title();
    option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    if (frame->isCheckable())
        option.subControls |= QStyle::SC_GroupBoxCheckBox;
    return frame->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxContents,
                                          frame);
}

void drawCaptionOnLine(QGroupBox* frame) {
    Q_ASSERT_X(!frame->isCheckable(), "drawCaptionOnLine", "a frame with a check box");
    frame->setStyle(captionOnLineStyle());
}

} // namespace Tarnwick
