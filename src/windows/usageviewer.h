#pragma once

#include <QPointer>
#include <QWidget>

class QLabel;
class QScrollBar;

namespace Tarnwick {

// The usage viewer: three pictures of a browser's proxy settings, one at a time,
// chosen with the scroll bar (value 0 to 2 for pages 1 to 3), the mouse wheel, the
// arrow keys and Page Up and Page Down.
class UsageViewer : public QWidget {
    Q_OBJECT
public:
    explicit UsageViewer(QWidget* parent = nullptr);

    QScrollBar* pageScrollBar() const { return m_pageScrollBar; }
    // The picture box of page 1, 2 or 3.
    QLabel* picture(int page) const;
    // The page whose picture is visible (1 to 3).
    int currentPage() const;

    // The scroll bar's value changed: shows the page of that value; a value
    // outside 0 to 2 leaves the page that is shown.
    void showPageForScrollValue(int value);

protected:
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // One page on (+1) or back (-1), as the scroll bar's arrows do.
    void turnPage(int pages);

    QLabel* m_pictures[3];
    QScrollBar* m_pageScrollBar;
    // Wheel turning not yet worth a whole page (touch pads send it in small steps).
    int m_wheelRest = 0;
};

// The usage viewer reached from the main window and the tray: created at the first
// opening and shown again by later ones; after the user closed it, the next opening
// starts again at page 1.
class UsageViewerOpener {
public:
    UsageViewerOpener() = default;
    ~UsageViewerOpener();
    UsageViewerOpener(const UsageViewerOpener&) = delete;
    UsageViewerOpener& operator=(const UsageViewerOpener&) = delete;

    UsageViewer* open();
    UsageViewer* window() const { return m_window; }
    void unload();

private:
    QPointer<UsageViewer> m_window;
};

} // namespace Tarnwick
