#include "windows/headerwindow.h"

#include "widgets/twips.h"
#include "widgets/uifonts.h"

#include <QPlainTextEdit>
#include <QResizeEvent>

namespace Tarnwick {

namespace {
// Designed client area and text box, in twips.
constexpr int ClientWidth = 6735;
constexpr int ClientHeight = 3495;
constexpr int TextWidth = 6735;
constexpr int TextHeight = 3495;
} // namespace

HeaderWindow::HeaderWindow(QWidget* parent) : QDialog(parent), m_text(new QPlainTextEdit(this)) {
    setObjectName(QStringLiteral("Form5"));
    setWindowTitle(QStringLiteral("Tarnwick(Lite)【HTTPﾍｯﾀﾞｰの表示】"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    setSizeGripEnabled(false);

    m_text->setObjectName(QStringLiteral("Text1"));
    m_text->setReadOnly(true);
    m_text->setFont(monitorListFont());
    placeInTwips(m_text, 0, 0, TextWidth, TextHeight);
    resize(twipsToPixels(ClientWidth, this), twipsToPixels(ClientHeight, this));

    // The margins are measured once, from the design, and kept on every resize.
    m_heightMargin = height() - m_text->height();
    m_widthMargin = width() - m_text->width();
}

void HeaderWindow::showEntry(const QString& entry) {
    QString lines = entry;
    lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    lines.replace(u'\r', u'\n');
    m_text->setPlainText(lines);
}

void HeaderWindow::showInFront(const QString& entry) {
    showEntry(entry);
    show();
    raise();
    activateWindow();
}

void HeaderWindow::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    // A window made smaller than its margins leaves the box at zero size.
    const int h = qMax(0, height() - m_heightMargin);
    const int w = qMax(0, width() - m_widthMargin);
    m_text->resize(w, h);
}

} // namespace Tarnwick
