#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <array>
#include <type_traits>

namespace Tarnwick {

class SettingsStore;

// The two sides of a relay as the monitor shows them.
enum class Side { Lan, Wan };

// The thirteen check boxes that choose which socket events are listed.
enum class MonitorBox {
    LanConnectionRequest,
    LanConnect,
    LanDataArrival,
    LanSend,
    LanSendComplete,
    LanClose,
    LanError,
    WanConnect,
    WanDataArrival,
    WanSend,
    WanSendComplete,
    WanClose,
    WanError,
};
inline constexpr int MonitorBoxCount = 13;

Side sideOf(MonitorBox box);
// The check box caption ("ConnectionRequest", "DataArrival", ...).
QString boxCaption(MonitorBox box);
// Checked state at every start.
bool initiallyChecked(MonitorBox box);

// One event entry: the title in 【】 padded to 19 characters, "No. : " and the index,
// then each further line, joined by CR LF.
QString eventEntry(QStringView title, int index, const QStringList& lines = {});

// The monitor's model: two entry lists, two status lines and the check-box states.
// The engine posts here; the windows subscribe to the signals.
class EventMonitor : public QObject {
    Q_OBJECT
public:
    // A list never holds more entries than a 16-bit signed count allows.
    static constexpr int Capacity = 32767;
    static constexpr int DefaultLimit = 100;

    explicit EventMonitor(const SettingsStore& store, QObject* parent = nullptr);

    bool isChecked(MonitorBox box) const;
    void setChecked(MonitorBox box, bool checked);
    void setAllChecked(bool checked);

    // Posting rule: appended only when the box is checked.
    void post(MonitorBox box, const QString& entry);
    // Data-arrival entries: when the box is checked, trims both lists first.
    void postDataArrival(MonitorBox box, const QString& entry);
    // The same, with the entry built only when its box is checked: most events of a
    // busy relay are listed nowhere.
    template <typename Build>
        requires std::is_invocable_r_v<QString, Build>
    void post(MonitorBox box, Build&& build) {
        if (isChecked(box))
            post(box, build());
    }
    template <typename Build>
        requires std::is_invocable_r_v<QString, Build>
    void postDataArrival(MonitorBox box, Build&& build) {
        if (isChecked(box))
            postDataArrival(box, build());
    }
    // Entries no check box gates (DataCheck, ReTry, ReConnect).
    void postAlways(Side side, const QString& entry);

    // Trims each list to its stored limit, dropping the oldest entries.
    void limitEventLists();

    void setStatus(Side side, const QString& text);
    QString status(Side side) const;

    const QList<QString>& entries(Side side) const;
    int count(Side side) const { return int(entries(side).size()); }

    // A stored limit as the trimming reads it: not a whole decimal number counts
    // as the default, a negative one as 0.
    static int limitFromText(const QString& text);

signals:
    void entryAppended(Tarnwick::Side side, const QString& entry);
    // The oldest `count` entries were removed.
    void entriesDropped(Tarnwick::Side side, int count);
    void statusChanged(Tarnwick::Side side, const QString& text);
    void checkChanged(Tarnwick::MonitorBox box, bool checked);

private:
    void append(Side side, const QString& entry);
    void dropOldest(Side side, int n);
    QList<QString>& list(Side side);

    const SettingsStore& m_store;
    std::array<bool, MonitorBoxCount> m_checked{};
    QList<QString> m_lan;
    QList<QString> m_wan;
    QString m_lanStatus;
    QString m_wanStatus;
};

} // namespace Tarnwick
