// Reads and edits the user's Tarnwick settings from a terminal, and lets another
// program hand in a Referer for the requests that follow.

#include "settings/settingsstore.h"

#include <QCoreApplication>
#include <QTime>
#include <cstdio>

using namespace Tarnwick;

namespace {
void print(FILE* stream, const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fputc('\n', stream);
}

const char Usage[] = "usage: tarnwick-settings COMMAND\n"
                     "  get KEY          print the stored value (exit 1 when absent)\n"
                     "  set KEY VALUE    store VALUE under KEY\n"
                     "  remove KEY       remove KEY (exit 1 when absent)\n"
                     "  list             print every stored KEY=VALUE\n"
                     "  reset            remove every setting\n"
                     "  referer URL      hand in a Referer for the next two seconds\n"
                     "  path             print where the settings live\n"
                     "  --help, --version";

int usage() {
    print(stderr, QString::fromUtf8(Usage));
    return 2;
}
} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty())
        return usage();
    const QString command = args.first();
    if (command == u"--help" || command == u"-h") {
        print(stdout, QString::fromUtf8(Usage));
        return 0;
    }
    if (command == u"--version") {
        print(stdout, ProgramVersion.toString());
        return 0;
    }
    SettingsStore store;

    if (command == u"get" && args.size() == 2) {
        if (!store.containsByName(args[1])) {
            print(stderr, QStringLiteral("tarnwick-settings: no such key: ") + args[1]);
            return 1;
        }
        print(stdout, store.getByName(args[1]));
        return 0;
    }
    if (command == u"set" && args.size() == 3) {
        if (args[1].isEmpty())
            return usage();
        if (Setting::isChoiceKey(args[1]) && !Setting::isChoice(args[2]))
            print(stderr, QStringLiteral("tarnwick-settings: warning: ") + args[1] +
                              QStringLiteral(" takes ○, × or △; Tarnwick removes any other value "
                                             "when it reads it"));
        if (!store.saveByName(args[1], args[2])) {
            print(stderr, QStringLiteral("tarnwick-settings: cannot write ") + store.fileName());
            return 1;
        }
        return 0;
    }
    if (command == u"remove" && args.size() == 2) {
        if (!store.removeByName(args[1])) {
            print(stderr, QStringLiteral("tarnwick-settings: no such key: ") + args[1]);
            return 1;
        }
        return 0;
    }
    if (command == u"list" && args.size() == 1) {
        for (const QString& key : store.keys())
            print(stdout, key + u'=' + store.getByName(key));
        return 0;
    }
    if (command == u"reset" && args.size() == 1) {
        store.removeAll(); // nothing stored is already reset
        return 0;
    }
    if (command == u"referer" && args.size() == 2) {
        const QString url = args[1].trimmed();
        if (url.isEmpty() || url.contains(u'\r') || url.contains(u'\n')) {
            print(stderr, QStringLiteral("tarnwick-settings: referer needs a URL on one line"));
            return 2;
        }
        const QString stamp = QTime::currentTime().toString(OutsideRefererTimeFormat.toString());
        if (!store.save(Setting::OutsideReferer, stamp + u'|' + url)) {
            print(stderr, QStringLiteral("tarnwick-settings: cannot write ") + store.fileName());
            return 1;
        }
        return 0;
    }
    if (command == u"path" && args.size() == 1) {
        print(stdout, store.fileName());
        return 0;
    }
    print(stderr, QStringLiteral("tarnwick-settings: bad usage"));
    return usage();
}
