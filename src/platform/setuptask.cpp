#include "platform/setuptask.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QStandardPaths>

namespace Tarnwick {

using namespace Qt::StringLiterals;

namespace {
// A step runs a few helpers with 20 s each at most; one that takes longer has hung.
constexpr int StepDeadlineMs = 180000;
} // namespace

QString SetupTask::settingsTool() {
    const QString beside = QCoreApplication::applicationDirPath() + u"/tarnwick-settings"_s;
    if (QFileInfo(beside).isExecutable())
        return beside;
    const QString onPath = QStandardPaths::findExecutable(u"tarnwick-settings"_s);
    return onPath.isEmpty() ? beside : onPath;
}

SetupTask::SetupTask(QObject* parent) : QObject(parent) {
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardInputFile(QProcess::nullDevice());
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        m_timedOut = true;
        m_process.kill();
    });
    connect(&m_process, &QProcess::finished, this, &SetupTask::done);
    connect(&m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            m_failedToStart = true;
            done();
        }
    });
}

SetupTask::~SetupTask() {
    // A step cut short leaves what the tool saved before each change: `off` and
    // `untrust` still find it.
    m_process.disconnect(this);
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(1000);
    }
}

bool SetupTask::start(const QStringList& arguments) {
    if (isRunning())
        return false;
    m_arguments = arguments;
    m_timedOut = m_failedToStart = false;
    m_process.start(settingsTool(), arguments);
    m_deadline.start(StepDeadlineMs);
    return true;
}

bool SetupTask::isRunning() const {
    return m_process.state() != QProcess::NotRunning;
}

void SetupTask::done() {
    m_deadline.stop();
    SetupReport report;
    for (const QByteArray& line : m_process.readAll().split('\n'))
        if (!line.isEmpty())
            report.lines.append(QString::fromUtf8(line));
    const QString step = u"tarnwick-settings "_s + m_arguments.join(u' ');
    if (m_timedOut)
        report.fail(step + u": did not finish"_s);
    else if (m_failedToStart)
        report.fail(step + u": cannot run ("_s + m_process.errorString() + u')');
    else if (m_process.exitStatus() != QProcess::NormalExit || m_process.exitCode() != 0)
        report.ok = false;
    emit finished(report);
}

} // namespace Tarnwick
