#include "monitor/eventmonitor.h"

#include "settings/settingsstore.h"

namespace Tarnwick {

namespace {
constexpr int TitleWidth = 19;
const QString CrLf = QStringLiteral("\r\n");
} // namespace

Side sideOf(MonitorBox box) {
    return int(box) <= int(MonitorBox::LanError) ? Side::Lan : Side::Wan;
}

QString boxCaption(MonitorBox box) {
    switch (box) {
    case MonitorBox::LanConnectionRequest:
        return QStringLiteral("ConnectionRequest");
    case MonitorBox::LanConnect:
    case MonitorBox::WanConnect:
        return QStringLiteral("Connect");
    case MonitorBox::LanDataArrival:
    case MonitorBox::WanDataArrival:
        return QStringLiteral("DataArrival");
    case MonitorBox::LanSend:
    case MonitorBox::WanSend:
        return QStringLiteral("Send");
    case MonitorBox::LanSendComplete:
    case MonitorBox::WanSendComplete:
        return QStringLiteral("SendComplete");
    case MonitorBox::LanClose:
    case MonitorBox::WanClose:
        return QStringLiteral("Close");
    case MonitorBox::LanError:
    case MonitorBox::WanError:
        return QStringLiteral("Error");
    }
    return {};
}

bool initiallyChecked(MonitorBox box) {
    switch (box) {
    case MonitorBox::LanDataArrival:
    case MonitorBox::LanSendComplete:
    case MonitorBox::WanConnect:
    case MonitorBox::WanDataArrival:
    case MonitorBox::WanSend:
    case MonitorBox::WanSendComplete:
        return true;
    default:
        return false;
    }
}

QString eventEntry(QStringView title, int index, const QStringList& lines) {
    QString text = title.toString();
    if (text.size() < TitleWidth)
        text += QString(TitleWidth - text.size(), u' ');
    text += CrLf + QStringLiteral("No. : ") + QString::number(index);
    for (const QString& line : lines)
        text += CrLf + line;
    return text;
}

EventMonitor::EventMonitor(const SettingsStore& store, QObject* parent)
    : QObject(parent), m_store(store) {
    for (int b = 0; b < MonitorBoxCount; ++b)
        m_checked[b] = initiallyChecked(MonitorBox(b));
}

bool EventMonitor::isChecked(MonitorBox box) const {
    return m_checked[int(box)];
}

void EventMonitor::setChecked(MonitorBox box, bool checked) {
    if (m_checked[int(box)] == checked)
        return;
    m_checked[int(box)] = checked;
    emit checkChanged(box, checked);
}

void EventMonitor::setAllChecked(bool checked) {
    for (int b = 0; b < MonitorBoxCount; ++b)
        setChecked(MonitorBox(b), checked);
}

void EventMonitor::post(MonitorBox box, const QString& entry) {
    if (isChecked(box))
        append(sideOf(box), entry);
}

void EventMonitor::postDataArrival(MonitorBox box, const QString& entry) {
    if (!isChecked(box))
        return;
    limitEventLists();
    append(sideOf(box), entry);
}

void EventMonitor::postAlways(Side side, const QString& entry) {
    append(side, entry);
}

int EventMonitor::limitFromText(const QString& text) {
    bool ok = false;
    const QString trimmed = text.trimmed();
    // Only a whole decimal number counts; "1e3", "0x10" or "12abc" do not.
    for (qsizetype k = 0; k < trimmed.size(); ++k) {
        const QChar c = trimmed.at(k);
        if (!(c.isDigit() && c.unicode() < 128) && !(k == 0 && (c == u'-' || c == u'+')))
            return DefaultLimit;
    }
    const qlonglong value = trimmed.toLongLong(&ok);
    if (!ok) {
        // Digits that overflow are a huge number; a text without digits is no number.
        if (trimmed.size() < 2)
            return DefaultLimit;
        return trimmed.startsWith(u'-') ? 0 : Capacity;
    }
    if (value < 0)
        return 0;
    return value > Capacity ? Capacity : int(value);
}

void EventMonitor::limitEventLists() {
    const int lanLimit = limitFromText(m_store.get(Setting::EventCountLan));
    if (count(Side::Lan) > lanLimit)
        dropOldest(Side::Lan, count(Side::Lan) - lanLimit);
    const int wanLimit = limitFromText(m_store.get(Setting::EventCountWan));
    if (count(Side::Wan) > wanLimit)
        dropOldest(Side::Wan, count(Side::Wan) - wanLimit);
}

void EventMonitor::setStatus(Side side, const QString& text) {
    QString& status = side == Side::Lan ? m_lanStatus : m_wanStatus;
    status = text;
    emit statusChanged(side, text);
}

QString EventMonitor::status(Side side) const {
    return side == Side::Lan ? m_lanStatus : m_wanStatus;
}

const QList<QString>& EventMonitor::entries(Side side) const {
    return side == Side::Lan ? m_lan : m_wan;
}

QList<QString>& EventMonitor::list(Side side) {
    return side == Side::Lan ? m_lan : m_wan;
}

void EventMonitor::append(Side side, const QString& entry) {
    // A monitor left running for weeks must not grow without bound.
    if (count(side) >= Capacity)
        dropOldest(side, count(side) - Capacity + 1);
    list(side).append(entry);
    emit entryAppended(side, entry);
}

void EventMonitor::dropOldest(Side side, int n) {
    if (n <= 0)
        return;
    list(side).remove(0, n);
    emit entriesDropped(side, n);
}

} // namespace Tarnwick
