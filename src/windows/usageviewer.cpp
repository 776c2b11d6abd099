#include "windows/usageviewer.h"

#include "widgets/twips.h"

#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>
#include <QScrollBar>
#include <QWheelEvent>

namespace Tarnwick {

namespace {
// Client area of the window as designed, in twips.
constexpr int FormWidth = 7695;
constexpr int FormHeight = 6510;

struct PictureDesign {
    const char* name;
    const char* resource;
    int width;
    int height;
};

// The three pages lie on top of each other at the same place.
constexpr PictureDesign Pictures[3] = {
    {"Picture1", ":/tarnwick/usage1.jpg", 7125, 6345},
    {"Picture2", ":/tarnwick/usage2.jpg", 6765, 4680},
    {"Picture3", ":/tarnwick/usage3.jpg", 6615, 5460},
};
} // namespace

UsageViewer::UsageViewer(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("Form4"));
    setWindowTitle(QStringLiteral("Tarnwick(Lite)【使用方法】"));

    for (int k = 0; k < 3; ++k) {
        auto* box = new QLabel(this);
        box->setObjectName(QString::fromLatin1(Pictures[k].name));
        box->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        box->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        box->setPixmap(QPixmap(QString::fromLatin1(Pictures[k].resource)));
        placeInTwips(box, 120, 120, Pictures[k].width, Pictures[k].height);
        m_pictures[k] = box;
    }
    m_pageScrollBar = new QScrollBar(Qt::Vertical, this);
    m_pageScrollBar->setObjectName(QStringLiteral("VScroll1"));
    m_pageScrollBar->setRange(0, 2);
    m_pageScrollBar->setSingleStep(1);
    m_pageScrollBar->setPageStep(1);
    m_pageScrollBar->setValue(0);
    placeInTwips(m_pageScrollBar, 7320, 120, 255, 6375);

    // A picture shows at its own pixel size, so on a denser screen the boxes
    // grow to hold it.
    int right = twipsToPixels(FormWidth, this);
    int bottom = twipsToPixels(FormHeight, this);
    for (QLabel* box : m_pictures) {
        const QSize needed =
            box->pixmap().size() + QSize(2 * box->frameWidth(), 2 * box->frameWidth());
        box->resize(box->size().expandedTo(needed));
        bottom = std::max(bottom, box->geometry().bottom() + 1 + twipsToPixels(45, this));
    }
    const int pictureRight =
        std::max({m_pictures[0]->geometry().right(), m_pictures[1]->geometry().right(),
                  m_pictures[2]->geometry().right()});
    if (m_pageScrollBar->x() <= pictureRight + twipsToPixels(75, this))
        m_pageScrollBar->move(pictureRight + 1 + twipsToPixels(75, this), m_pageScrollBar->y());
    right = std::max(right, m_pageScrollBar->geometry().right() + 1 + twipsToPixels(120, this));
    setFixedSize(right, bottom);

    showPageForScrollValue(0);
    connect(m_pageScrollBar, &QScrollBar::valueChanged, this, &UsageViewer::showPageForScrollValue);
    // The keys turn pages wherever the focus is in the window.
    setFocusPolicy(Qt::StrongFocus);
}

QLabel* UsageViewer::picture(int page) const {
    return page >= 1 && page <= 3 ? m_pictures[page - 1] : nullptr;
}

int UsageViewer::currentPage() const {
    for (int k = 0; k < 3; ++k) {
        if (!m_pictures[k]->isHidden())
            return k + 1;
    }
    return 0;
}

void UsageViewer::showPageForScrollValue(int value) {
    if (value < 0 || value > 2)
        return;
    for (int k = 0; k < 3; ++k)
        m_pictures[k]->setVisible(k == value);
}

void UsageViewer::turnPage(int pages) {
    m_pageScrollBar->triggerAction(pages > 0 ? QAbstractSlider::SliderSingleStepAdd
                                             : QAbstractSlider::SliderSingleStepSub);
}

void UsageViewer::wheelEvent(QWheelEvent* event) {
    // One notch turns one page: down for the next, up for the one before.
    m_wheelRest += event->angleDelta().y();
    while (m_wheelRest >= QWheelEvent::DefaultDeltasPerStep) {
        m_wheelRest -= QWheelEvent::DefaultDeltasPerStep;
        turnPage(-1);
    }
    while (m_wheelRest <= -QWheelEvent::DefaultDeltasPerStep) {
        m_wheelRest += QWheelEvent::DefaultDeltasPerStep;
        turnPage(+1);
    }
    event->accept();
}

void UsageViewer::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Down:
    case Qt::Key_Right:
    case Qt::Key_PageDown:
        turnPage(+1);
        break;
    case Qt::Key_Up:
    case Qt::Key_Left:
    case Qt::Key_PageUp:
        turnPage(-1);
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
}

UsageViewerOpener::~UsageViewerOpener() {
    delete m_window;
}

UsageViewer* UsageViewerOpener::open() {
    if (!m_window) {
        m_window = new UsageViewer;
        m_window->setAttribute(Qt::WA_DeleteOnClose);
    }
    m_window->show();
    m_window->raise();
    return m_window;
}

void UsageViewerOpener::unload() {
    if (m_window)
        m_window->close();
}

} // namespace Tarnwick
