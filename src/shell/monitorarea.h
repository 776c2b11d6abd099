#pragma once

#include "monitor/eventmonitor.h"

#include <QAbstractListModel>
#include <QListView>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <array>

class QCheckBox;
class QLabel;
class QLineEdit;

namespace Tarnwick {

class HeaderWindow;

// The rows of one event list: whole entries, shown one entry to a line.
class EntryListModel : public QAbstractListModel {
    Q_OBJECT
public:
    // Qt::DisplayRole gives the one-line form; this role the whole entry.
    static constexpr int EntryRole = Qt::UserRole;

    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    const QString& entry(int row) const { return m_entries.at(row); }
    const QList<QString>& entries() const { return m_entries; }
    void append(const QList<QString>& entries);
    void dropOldest(int n);
    void reset(const QList<QString>& entries);

    // An entry's line breaks shown as a gap, so the row stays one line high.
    static QString oneLine(const QString& entry);

private:
    QList<QString> m_entries;
};

// A list that asks for its selected entry to be opened on every double-click on it,
// over an entry or not (what the click means depends on the selection, not on where
// it landed), and on Enter. Its rows are measured as one line of one font, but it
// scrolls sideways as far as its widest row reaches.
class EventListView : public QListView {
    Q_OBJECT
public:
    explicit EventListView(QWidget* parent = nullptr);

    // The width the widest row needs, its margins included.
    int widestRow() const;

signals:
    void openRequested();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void rowsInserted(const QModelIndex& parent, int start, int end) override;
    void rowsAboutToBeRemoved(const QModelIndex& parent, int start, int end) override;
    void reset() override;
    void changeEvent(QEvent* event) override;

private:
    int rowWidth(int row) const;
    void measureRows();
    // The width of every row, in the order of the rows.
    QList<int> m_rowWidths;
};

// The event monitor's controls on the main window: the LAN and WAN labels, the
// thirteen check boxes, the two event lists and the two status boxes, bound to
// the monitor model. The lists follow the model a little later, once per pass of
// the event loop, so that a burst of entries costs one repaint, not hundreds.
class MonitorArea : public QObject {
    Q_OBJECT
public:
    // Creates the controls as children of `form`, which also owns this object.
    MonitorArea(QWidget* form, EventMonitor& monitor);
    ~MonitorArea() override;

    QLabel* label(Side side) const { return side == Side::Lan ? m_lanLabel : m_wanLabel; }
    QListView* list(Side side) const { return state(side).view; }
    EntryListModel* listModel(Side side) const { return state(side).model; }
    QLineEdit* message(Side side) const { return side == Side::Lan ? m_lanMessage : m_wanMessage; }
    QCheckBox* checkBox(MonitorBox box) const { return m_boxes[int(box)]; }
    // The header window, once a double-click has created it.
    HeaderWindow* headerWindow() const;

    // Brings both lists up to date with the model at once.
    void flush();
    // What a double-click on the list or Enter does: shows the selected entry in the
    // header window, in front; the window blocks no other. Nothing when no entry is
    // selected.
    void showSelectedEntry(Side side);

private:
    struct ListState {
        EventListView* view = nullptr;
        EntryListModel* model = nullptr;
        // Entries are numbered in the order the model appended them; the list
        // shows [shownFirst, shownEnd), the model holds [dropped, appended).
        qint64 shownFirst = 0;
        qint64 shownEnd = 0;
        qint64 dropped = 0;
        qint64 appended = 0;
    };

    ListState& state(Side side) { return side == Side::Lan ? m_lan : m_wan; }
    const ListState& state(Side side) const { return side == Side::Lan ? m_lan : m_wan; }
    void createControls(QWidget* form);
    void bindToMonitor();
    void scheduleFlush();
    void flushSide(Side side);

    EventMonitor& m_monitor;
    QLabel* m_lanLabel = nullptr;
    QLabel* m_wanLabel = nullptr;
    QLineEdit* m_lanMessage = nullptr;
    QLineEdit* m_wanMessage = nullptr;
    std::array<QCheckBox*, MonitorBoxCount> m_boxes{};
    ListState m_lan;
    ListState m_wan;
    QTimer m_flushTimer;
    QPointer<HeaderWindow> m_headerWindow;
};

} // namespace Tarnwick
