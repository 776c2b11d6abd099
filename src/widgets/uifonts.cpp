#include "widgets/uifonts.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QScreen>
#include <QStyle>
#include <cmath>

namespace Tarnwick {

namespace {
constexpr int UiPointSize = 9;

double screenDpi() {
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        return screen->logicalDotsPerInchY();
    return 96.0;
}
} // namespace

void applyJapaneseUiFont(QApplication& app) {
    QFont font(QStringLiteral("IPAPGothic"));
    // Where the proportional face is missing, the fixed one still has the kana.
    font.setFamilies({QStringLiteral("IPAPGothic"), QStringLiteral("IPAGothic")});
    font.setPointSize(UiPointSize);
    font.setStyleHint(QFont::SansSerif);
    app.setFont(font);
}

QFont monitorListFont() {
    // Asked for by name: fontconfig does not flag this face as monospace, so a
    // fixed-pitch request would not find it.
    QFont font(QStringLiteral("IPAGothic"));
    const double pixels = UiPointSize * screenDpi() / 72.0;
    int even = 2 * int(std::lround(pixels / 2.0));
    if (even < 2)
        even = 2;
    font.setPixelSize(even);
    // Kerning and sub-pixel placement would break the column alignment of the padding.
    font.setKerning(false);
    font.setHintingPreference(QFont::PreferFullHinting);
    font.setStyleStrategy(QFont::PreferDefault);
    return font;
}

int widenToFitCaption(QWidget* control) {
    int needed = control->sizeHint().width();
    if (auto* frame = qobject_cast<QGroupBox*>(control))
        needed = frame->minimumSizeHint().width();
    if (needed > control->width())
        control->resize(needed, control->height());
    return control->width();
}

void fitTextBoxHeight(QLineEdit* box) {
    const int frame =
        box->hasFrame() ? box->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, box) : 0;
    const int room = box->height() - 2 * frame;
    const int shortfall = box->fontMetrics().height() - room;
    if (shortfall <= 0) {
        box->setTextMargins(0, 0, 0, 0);
        return;
    }
    // The text may run over the inner edge of the frame rather than lose its descenders.
    const int top = (shortfall + 1) / 2;
    box->setTextMargins(0, -top, 0, -(shortfall - top));
}

} // namespace Tarnwick
