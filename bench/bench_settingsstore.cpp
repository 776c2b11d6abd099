// The cost of a settings read: one the file has not changed since (a stat and a hash
// lookup) and one just after another store saved the file (a read of the whole file).
//
//   bench_settingsstore [reads = 20000]

#include "settings/settingskeys.h"
#include "settings/settingsstore.h"

#include <QElapsedTimer>
#include <QString>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

using namespace Tarnwick;

int main(int argc, char** argv) {
    const int reads = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20000;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Tarnwick.ini"));
    SettingsStore reader(path);
    SettingsStore writer(path);
    // A store of the usual size: every key of the table holds a value.
    for (const SettingKey* key : Setting::ChoiceKeys)
        writer.save(*key, Choice::Allow.toString());
    writer.save(Setting::UserAgentFake, Setting::UserAgentFake.defaultValue.toString());
    writer.save(Setting::LocalPort, QStringLiteral("8080"));

    QElapsedTimer timer;
    reader.get(Setting::LocalPort);
    timer.start();
    for (int k = 0; k < reads; ++k)
        if (reader.get(Setting::Referer) != Choice::Allow)
            return 1;
    const double unchanged = double(timer.nsecsElapsed()) / 1000.0 / reads;

    // Saves alternate between two values; only the read after each is timed.
    const int changes = std::max(1, reads / 20);
    qint64 nanoseconds = 0;
    for (int k = 0; k < changes; ++k) {
        const QString port = k % 2 ? QStringLiteral("8080") : QStringLiteral("3128");
        writer.save(Setting::LocalPort, port);
        timer.restart();
        if (reader.get(Setting::LocalPort) != port)
            return 1;
        nanoseconds += timer.nsecsElapsed();
    }
    const double changed = double(nanoseconds) / 1000.0 / changes;

    std::printf("unchanged read: %9.2f us  (%d reads)\n", unchanged, reads);
    std::printf("changed read:   %9.2f us  (%d reads, each after a save)\n", changed, changes);
    return 0;
}
