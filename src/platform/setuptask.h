#pragma once

#include "platform/setupreport.h"

#include <QObject>
#include <QProcess>
#include <QTimer>

namespace Tarnwick {

// One step of setting up the desktop (`ca trust`, `desktop-proxy on`) run by the
// settings tool in a process of its own. gsettings and certutil may take seconds each;
// run here they never hold up the event loop that carries every relay.
class SetupTask : public QObject {
    Q_OBJECT
public:
    // The settings tool beside this program's executable, else the one on PATH.
    static QString settingsTool();

    explicit SetupTask(QObject* parent = nullptr);
    ~SetupTask() override;

    // Starts `tarnwick-settings ARGUMENTS`; false (and nothing started) while a step is
    // under way.
    bool start(const QStringList& arguments);
    bool isRunning() const;

signals:
    // The tool's lines in order; `ok` when it exited with 0.
    void finished(const Tarnwick::SetupReport& report);

private:
    void done();

    QProcess m_process;
    QTimer m_deadline;
    QStringList m_arguments;
    bool m_timedOut = false;
    bool m_failedToStart = false;
};

} // namespace Tarnwick
