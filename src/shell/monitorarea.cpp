#include "shell/monitorarea.h"

#include "widgets/twips.h"
#include "widgets/uifonts.h"
#include "windows/headerwindow.h"

#include <QCheckBox>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QStyledItemDelegate>
#include <algorithm>

namespace Tarnwick {

// ---- EntryListModel

int EntryListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_entries.size());
}

QVariant EntryListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= m_entries.size())
        return {};
    if (role == Qt::DisplayRole)
        return oneLine(m_entries.at(index.row()));
    if (role == EntryRole)
        return m_entries.at(index.row());
    return {};
}

void EntryListModel::append(const QList<QString>& entries) {
    if (entries.isEmpty())
        return;
    const int first = int(m_entries.size());
    beginInsertRows({}, first, first + int(entries.size()) - 1);
    m_entries.append(entries);
    endInsertRows();
}

void EntryListModel::dropOldest(int n) {
    n = qMin(n, int(m_entries.size()));
    if (n <= 0)
        return;
    beginRemoveRows({}, 0, n - 1);
    m_entries.remove(0, n);
    endRemoveRows();
}

void EntryListModel::reset(const QList<QString>& entries) {
    beginResetModel();
    m_entries = entries;
    endResetModel();
}

QString EntryListModel::oneLine(const QString& entry) {
    QString line = entry;
    line.replace(QStringLiteral("\r\n"), QStringLiteral("  "));
    line.replace(u'\r', u' ');
    line.replace(u'\n', u' ');
    return line;
}

// ---- EventListView

namespace {
// Rows of one size are laid out from the first row's size alone, which then bounds
// the sideways scrolling and every row's painted width: the first row claims the
// width of the widest.
class WidestRowDelegate : public QStyledItemDelegate {
public:
    explicit WidestRowDelegate(EventListView* view) : QStyledItemDelegate(view), m_view(view) {}

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        const QSize own = QStyledItemDelegate::sizeHint(option, index);
        return {qMax(own.width(), m_view->widestRow()), own.height()};
    }

private:
    const EventListView* m_view;
};
} // namespace

EventListView::EventListView(QWidget* parent) : QListView(parent) {
    setItemDelegate(new WidestRowDelegate(this));
}

int EventListView::widestRow() const {
    return m_rowWidths.isEmpty() ? 0 : *std::max_element(m_rowWidths.cbegin(), m_rowWidths.cend());
}

void EventListView::mouseDoubleClickEvent(QMouseEvent* event) {
    QListView::mouseDoubleClickEvent(event);
    emit openRequested();
}

void EventListView::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        !(event->modifiers() & ~Qt::KeypadModifier)) {
        event->accept();
        emit openRequested();
        return;
    }
    QListView::keyPressEvent(event);
}

int EventListView::rowWidth(int row) const {
    // The text and the margins the item delegate leaves on either side of it.
    const int margin = style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1;
    const QString text = model()->index(row, 0, rootIndex()).data().toString();
    return fontMetrics().horizontalAdvance(text) + 2 * margin;
}

void EventListView::rowsInserted(const QModelIndex& parent, int start, int end) {
    if (parent == rootIndex()) {
        if (start > m_rowWidths.size())
            measureRows(); // rows came before the view was told of them
        else
            for (int row = start; row <= end; ++row)
                m_rowWidths.insert(row, rowWidth(row));
    }
    QListView::rowsInserted(parent, start, end);
}

void EventListView::rowsAboutToBeRemoved(const QModelIndex& parent, int start, int end) {
    if (parent == rootIndex() && start < m_rowWidths.size())
        m_rowWidths.remove(start, qMin(end + 1, int(m_rowWidths.size())) - start);
    QListView::rowsAboutToBeRemoved(parent, start, end);
}

void EventListView::reset() {
    measureRows();
    QListView::reset();
}

void EventListView::changeEvent(QEvent* event) {
    QListView::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
        measureRows();
        scheduleDelayedItemsLayout();
    }
}

void EventListView::measureRows() {
    m_rowWidths.clear();
    const int rows = model() ? model()->rowCount(rootIndex()) : 0;
    for (int row = 0; row < rows; ++row)
        m_rowWidths.append(rowWidth(row));
}

// ---- MonitorArea

namespace {

struct BoxPlace {
    MonitorBox box;
    int top;
    int width;
};

// Left edge, height and gap of the check-box columns, in twips.
constexpr int BoxLeft = 120;
constexpr int BoxHeight = 255;
constexpr BoxPlace BoxPlaces[] = {
    {MonitorBox::LanConnectionRequest, 840, 1815},
    {MonitorBox::LanConnect, 1080, 975},
    {MonitorBox::LanDataArrival, 1320, 1215},
    {MonitorBox::LanSend, 1560, 735},
    {MonitorBox::LanSendComplete, 1800, 1455},
    {MonitorBox::LanClose, 2040, 735},
    {MonitorBox::LanError, 2280, 735},
    {MonitorBox::WanConnect, 3480, 975},
    {MonitorBox::WanDataArrival, 3720, 1215},
    {MonitorBox::WanSend, 3960, 735},
    {MonitorBox::WanSendComplete, 4200, 1455},
    {MonitorBox::WanClose, 4440, 735},
    {MonitorBox::WanError, 4680, 735},
};

constexpr int ListLeft = 2040;
constexpr int ListWidth = 7095;
constexpr int ListHeight = 2220;
constexpr int LanListTop = 480;
constexpr int WanListTop = 3120;
// Least room between a check box's caption and the list beside it.
constexpr int ListGap = 105;

QString boxName(MonitorBox box) {
    return (sideOf(box) == Side::Lan ? QStringLiteral("Check_Lan_")
                                     : QStringLiteral("Check_Wan_")) +
           boxCaption(box);
}

// Blanks only, as the entries pad with them; line breaks inside stay.
QString trimBlanks(const QString& text) {
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text.at(first) == u' ')
        ++first;
    while (last > first && text.at(last - 1) == u' ')
        --last;
    return text.mid(first, last - first);
}

} // namespace

MonitorArea::MonitorArea(QWidget* form, EventMonitor& monitor) : QObject(form), m_monitor(monitor) {
    setObjectName(QStringLiteral("MonitorArea"));
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(0);
    connect(&m_flushTimer, &QTimer::timeout, this, &MonitorArea::flush);

    createControls(form);
    bindToMonitor();

    // Whatever the model already holds is shown at once.
    for (Side side : {Side::Lan, Side::Wan}) {
        ListState& s = state(side);
        s.appended = m_monitor.count(side);
        flushSide(side);
    }
}

MonitorArea::~MonitorArea() {
    // The header window has no owner; it goes with the monitor it belongs to.
    delete m_headerWindow.data();
}

HeaderWindow* MonitorArea::headerWindow() const {
    return m_headerWindow;
}

void MonitorArea::createControls(QWidget* form) {
    auto makeLabel = [&](const QString& name, const QString& caption, int top) {
        auto* label = new QLabel(caption, form);
        label->setObjectName(name);
        placeInTwips(label, 120, top, 855, 270);
        widenToFitCaption(label);
        return label;
    };
    m_lanLabel = makeLabel(QStringLiteral("Label2"), QStringLiteral("ＬＡＮ"), 480);
    m_wanLabel = makeLabel(QStringLiteral("Label3"), QStringLiteral("ＷＡＮ"), 3120);

    int boxesRight = 0;
    for (const BoxPlace& place : BoxPlaces) {
        auto* box = new QCheckBox(boxCaption(place.box), form);
        box->setObjectName(boxName(place.box));
        box->setChecked(m_monitor.isChecked(place.box));
        placeInTwips(box, BoxLeft, place.top, place.width, BoxHeight);
        widenToFitCaption(box);
        boxesRight = qMax(boxesRight, box->geometry().right() + 1);
        m_boxes[int(place.box)] = box;
    }

    // The lists keep their right edge; they give way to the left only when a
    // check-box caption needs more room than the design allowed for.
    const int listRight = twipsToPixels(ListLeft + ListWidth, form);
    const int listLeft =
        qMax(twipsToPixels(ListLeft, form), boxesRight + twipsToPixels(ListGap, form));
    auto makeList = [&](Side side, const QString& name, int top) {
        ListState& s = state(side);
        s.model = new EntryListModel(this);
        s.view = new EventListView(form);
        s.view->setObjectName(name);
        s.view->setModel(s.model);
        s.view->setFont(monitorListFont());
        s.view->setSelectionMode(QAbstractItemView::SingleSelection);
        s.view->setEditTriggers(QAbstractItemView::NoEditTriggers);
        // Every row is one line of one font: lets the view skip measuring rows.
        s.view->setUniformItemSizes(true);
        s.view->setWordWrap(false);
        s.view->setTextElideMode(Qt::ElideNone);
        s.view->setGeometry(listLeft, twipsToPixels(top, form), listRight - listLeft,
                            twipsToPixels(ListHeight, form));
        connect(s.view, &EventListView::openRequested, this,
                [this, side] { showSelectedEntry(side); });
    };
    makeList(Side::Lan, QStringLiteral("lstLan"), LanListTop);
    makeList(Side::Wan, QStringLiteral("lstWan"), WanListTop);

    auto makeMessage = [&](const QString& name, int top) {
        auto* box = new QLineEdit(form);
        box->setObjectName(name);
        box->setReadOnly(true);
        placeInTwips(box, 120, top, 9015, 270);
        fitTextBoxHeight(box);
        return box;
    };
    m_lanMessage = makeMessage(QStringLiteral("lanMessage"), 2760);
    m_wanMessage = makeMessage(QStringLiteral("wanMessage"), 5400);
    m_lanMessage->setText(m_monitor.status(Side::Lan));
    m_wanMessage->setText(m_monitor.status(Side::Wan));
}

void MonitorArea::bindToMonitor() {
    for (int b = 0; b < MonitorBoxCount; ++b) {
        const auto box = MonitorBox(b);
        connect(m_boxes[b], &QCheckBox::toggled, this,
                [this, box](bool checked) { m_monitor.setChecked(box, checked); });
    }
    connect(&m_monitor, &EventMonitor::checkChanged, this, [this](MonitorBox box, bool checked) {
        // setChecked emits nothing when the box already agrees, which ends the round trip.
        m_boxes[int(box)]->setChecked(checked);
    });
    connect(&m_monitor, &EventMonitor::statusChanged, this, [this](Side side, const QString& text) {
        // Status lines are cheap to show and the stop loop reads them back at once.
        message(side)->setText(text);
    });
    connect(&m_monitor, &EventMonitor::entryAppended, this, [this](Side side, const QString&) {
        ++state(side).appended;
        scheduleFlush();
    });
    connect(&m_monitor, &EventMonitor::entriesDropped, this, [this](Side side, int n) {
        state(side).dropped += n;
        scheduleFlush();
    });
}

void MonitorArea::scheduleFlush() {
    if (!m_flushTimer.isActive())
        m_flushTimer.start();
}

void MonitorArea::flush() {
    m_flushTimer.stop();
    flushSide(Side::Lan);
    flushSide(Side::Wan);
}

void MonitorArea::flushSide(Side side) {
    ListState& s = state(side);
    const QList<QString>& entries = m_monitor.entries(side);
    if (s.appended - s.dropped != entries.size()) {
        // The counts no longer describe the model (a signal was missed): show it afresh.
        s.model->reset(entries);
        s.dropped = 0;
        s.appended = entries.size();
        s.shownFirst = 0;
        s.shownEnd = s.appended;
        if (!entries.isEmpty())
            s.view->setCurrentIndex(s.model->index(int(entries.size()) - 1));
        return;
    }

    // Oldest rows go first, so the view never holds more than the model's capacity.
    const qint64 dropTo = qMin(s.dropped, s.shownEnd);
    if (dropTo > s.shownFirst)
        s.model->dropOldest(int(dropTo - s.shownFirst));
    s.shownFirst = qMax(s.shownFirst, dropTo);
    if (s.dropped > s.shownEnd)
        s.shownFirst = s.shownEnd = s.dropped;

    if (s.appended > s.shownEnd) {
        const qsizetype from = s.shownEnd - s.dropped;
        s.model->append(entries.mid(from));
        s.shownEnd = s.appended;
        // The newest entry is selected and scrolled into view.
        const QModelIndex newest = s.model->index(s.model->rowCount() - 1);
        s.view->selectionModel()->setCurrentIndex(newest, QItemSelectionModel::ClearAndSelect);
        s.view->scrollTo(newest);
    }
}

void MonitorArea::showSelectedEntry(Side side) {
    QListView* view = list(side);
    const QModelIndexList selected = view->selectionModel()->selectedRows();
    if (selected.isEmpty())
        return;
    const QString entry = trimBlanks(listModel(side)->entry(selected.first().row()));
    if (!m_headerWindow)
        m_headerWindow = new HeaderWindow(nullptr);
    m_headerWindow->showInFront(entry);
}

} // namespace Tarnwick
