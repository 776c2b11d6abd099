#pragma once

#include <QDialog>

class QPlainTextEdit;

namespace Tarnwick {

// The HTTP header window: shows one monitor entry in full, one line per line.
// Sizable; the text box follows the window and keeps its designed margins.
class HeaderWindow : public QDialog {
    Q_OBJECT
public:
    explicit HeaderWindow(QWidget* parent = nullptr);

    // Fills the text box with the entry, its line breaks shown as lines.
    void showEntry(const QString& entry);
    // Shows the entry in the window and brings it to the front. It blocks no other
    // window: the monitor and the tray go on answering while it is open.
    void showInFront(const QString& entry);

    QPlainTextEdit* text() const { return m_text; }
    int widthMargin() const { return m_widthMargin; }
    int heightMargin() const { return m_heightMargin; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QPlainTextEdit* m_text;
    int m_widthMargin = 0;
    int m_heightMargin = 0;
};

} // namespace Tarnwick
