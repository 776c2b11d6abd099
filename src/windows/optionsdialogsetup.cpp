// The options dialog's steps that set up the desktop: the browsers' trust of the CA and
// the desktop's proxy setting. The settings tool does them in a process of its own
// (SetupTask), so that the proxy keeps relaying meanwhile; the controls say that the
// work is under way, and a message says how it went.

#include "windows/optionsdialog.h"

#include "platform/desktopproxy.h"
#include "platform/setuptask.h"
#include "proxy/requesttarget.h"
#include "settings/settingsstore.h"
#include "widgets/messagebox.h"

#include <QCheckBox>
#include <QPushButton>

namespace Tarnwick {

void OptionsDialog::trustCertificate() {
    if (!m_trustTask) {
        m_trustTask = new SetupTask(this);
        connect(m_trustTask, &SetupTask::finished, this, &OptionsDialog::trustFinished);
        m_trustCaCaption = m_trustCa->text();
    }
    // `ca trust` makes the CA first when there is none.
    if (!m_trustTask->start({QStringLiteral("ca"), QStringLiteral("trust")}))
        return;
    m_trustCa->setEnabled(false);
    m_trustCa->setText(QStringLiteral("登録中…"));
}

void OptionsDialog::trustFinished(const SetupReport& report) {
    m_trustCa->setText(m_trustCaCaption);
    m_trustCa->setEnabled(true);
    showMessage(this,
                (report.ok ? QStringLiteral("CA証明書をブラウザに登録しました。\n\n")
                           : QStringLiteral("CA証明書をブラウザに登録できませんでした。\n\n")) +
                    report.lines.join(u'\n'));
}

void OptionsDialog::applyDesktopProxy() {
    const bool wanted = m_desktopProxy->isChecked();
    if (!wanted && !DesktopProxy().isOn())
        return;
    if (!wanted) {
        runDesktopStep({QStringLiteral("desktop-proxy"), QStringLiteral("off")});
    } else if (const auto port = parsePort(m_store.get(Setting::LocalPort).trimmed())) {
        // On already, this only follows a new port.
        runDesktopStep(
            {QStringLiteral("desktop-proxy"), QStringLiteral("on"), QString::number(*port)});
    } else {
        showMessage(this, QStringLiteral("デスクトップのプロキシを設定できませんでした。\n\n"
                                         "ﾎﾟｰﾄ番号が正しくありません。"));
    }
}

void OptionsDialog::runDesktopStep(const QStringList& arguments) {
    if (!m_desktopTask) {
        m_desktopTask = new SetupTask(this);
        connect(m_desktopTask, &SetupTask::finished, this, &OptionsDialog::desktopStepFinished);
        m_desktopProxyCaption = m_desktopProxy->text();
    }
    // The last wish counts: a step asked for meanwhile replaces one that waits.
    if (!m_desktopTask->start(arguments)) {
        m_nextDesktopStep = arguments;
        return;
    }
    showDesktopProxy();
}

void OptionsDialog::desktopStepFinished(const SetupReport& report) {
    if (!report.ok)
        showMessage(this, QStringLiteral("デスクトップのプロキシを設定できませんでした。\n\n") +
                              report.lines.join(u'\n'));
    if (!m_nextDesktopStep.isEmpty())
        m_desktopTask->start(std::exchange(m_nextDesktopStep, {}));
    showDesktopProxy();
}

void OptionsDialog::showDesktopProxy() {
    const bool busy = m_desktopTask && m_desktopTask->isRunning();
    m_desktopProxy->setEnabled(!busy);
    if (m_desktopTask)
        m_desktopProxy->setText(busy ? m_desktopProxyCaption + QStringLiteral(" (設定中…)")
                                     : m_desktopProxyCaption);
    // What the desktop has, which the store does not hold; while a step runs, the
    // wish the step carries out.
    if (!busy)
        m_desktopProxy->setChecked(DesktopProxy().isOn());
}

} // namespace Tarnwick
