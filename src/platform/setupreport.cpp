#include "platform/setupreport.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>

namespace Tarnwick {

namespace {
// gsettings and certutil answer in well under a second; a hung one must not hang us.
constexpr int ToolDeadlineMs = 20000;
} // namespace

bool runTool(const QString& program, const QStringList& arguments, QByteArray* output,
             QString* error, const QStringList& extraEnvironment) {
    QProcess process;
    if (!extraEnvironment.isEmpty()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString& pair : extraEnvironment)
            env.insert(pair.section(u'=', 0, 0), pair.section(u'=', 1));
        process.setProcessEnvironment(env);
    }
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments);
    if (!process.waitForStarted(ToolDeadlineMs)) {
        if (error)
            *error = program + QStringLiteral(": cannot run (") + process.errorString() + u')';
        return false;
    }
    if (!process.waitForFinished(ToolDeadlineMs)) {
        process.kill();
        process.waitForFinished(1000);
        if (error)
            *error = program + QStringLiteral(": did not finish");
        return false;
    }
    if (output)
        *output = process.readAllStandardOutput();
    const bool ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (error && !ok)
        *error = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
    return ok;
}

bool writeFileAtomically(const QString& path, const QByteArray& bytes, QString* why) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        if (why)
            *why = QStringLiteral("cannot write ") + path + QStringLiteral(": ") + file.errorString();
        return false;
    }
    return true;
}

} // namespace Tarnwick
