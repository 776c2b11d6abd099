#pragma once

#include <QDialog>

class QPlainTextEdit;

namespace Tarnwick {

// The HTTP header window: shows one monitor entry in full, one line per line.
// Sizable; the text box follows the window and keeps its designed margins.
class Form5 : public QDialog {
    Q_OBJECT
public:
    explicit Form5(QWidget* parent = nullptr);

    // Fills the text box from the selected entry.
    void load();
    // Loads and shows the window modal; returns when the user has closed it.
    int showModal();

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
