#pragma once

#include <QPointer>
#include <QWidget>

class QLabel;
class QScrollBar;

namespace Tarnwick {

// The usage viewer: three pictures of a browser's proxy settings, one at a time,
// chosen with the scroll bar (value 0 to 2 for pages 1 to 3).
class Form4 : public QWidget {
    Q_OBJECT
public:
    explicit Form4(QWidget* parent = nullptr);

    QScrollBar* vScroll1() const { return m_vScroll1; }
    // The picture box of page 1, 2 or 3.
    QLabel* picture(int page) const;
    // The page whose picture is visible (1 to 3).
    int currentPage() const;

    // The scroll bar's value changed: shows the page of that value; a value
    // outside 0 to 2 leaves the page that is shown.
    void vScroll1Change(int value);

private:
    QLabel* m_pictures[3];
    QScrollBar* m_vScroll1;
};

// The usage viewer reached from the main window and the tray: created at the first
// opening and shown again by later ones; after the user closed it, the next opening
// starts again at page 1.
class UsageWindow {
public:
    UsageWindow() = default;
    ~UsageWindow();
    UsageWindow(const UsageWindow&) = delete;
    UsageWindow& operator=(const UsageWindow&) = delete;

    Form4* open();
    Form4* window() const { return m_window; }
    void unload();

private:
    QPointer<Form4> m_window;
};

} // namespace Tarnwick
