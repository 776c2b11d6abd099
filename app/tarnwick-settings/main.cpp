// Reads and edits the user's Tarnwick settings from a terminal, and lets another
// program hand in a Referer for the requests that follow.

#include "platform/tls.h"
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
                     "  ca create        make the CA for HTTPS interception (once)\n"
                     "  ca path          print where the CA certificate lives\n"
                     "  ca export FILE   write the CA certificate (never its key) to FILE\n"
                     "  ca remove        remove the CA and turn HTTPS interception off\n"
                     "  --help, --version";

int usage() {
    print(stderr, QString::fromUtf8(Usage));
    return 2;
}

// The CA of HTTPS interception. Its key is never printed or written anywhere else.
int certificateAuthority(SettingsStore& store, const QStringList& args) {
    CertificateAuthority authority;
    QString why;
    const QString& what = args.first();
    if (what == u"create" && args.size() == 1) {
        if (authority.load(&why) == CertificateAuthority::State::Usable) {
            print(stdout, QStringLiteral("CA already there: ") + authority.certificatePath());
            return 0;
        }
        if (!authority.create(&why)) {
            print(stderr, QStringLiteral("tarnwick-settings: ") + why);
            return 1;
        }
        print(stdout, QStringLiteral("CA created: ") + authority.certificatePath());
        return 0;
    }
    if (what == u"path" && args.size() == 1) {
        print(stdout, authority.certificatePath());
        return authority.load(&why) == CertificateAuthority::State::Usable ? 0 : 1;
    }
    if (what == u"export" && args.size() == 2) {
        if (!authority.exportCertificate(args[1], &why)) {
            print(stderr, QStringLiteral("tarnwick-settings: ") + why);
            return 1;
        }
        return 0;
    }
    if (what == u"remove" && args.size() == 1) {
        // Without its CA nothing can be intercepted: say so in the settings too, so that
        // the proxy does not make a new one.
        store.save(Setting::HttpsInterception, Choice::Block.toString());
        if (!authority.remove(&why)) {
            print(stderr, QStringLiteral("tarnwick-settings: ") + why);
            return 1;
        }
        return 0;
    }
    return usage();
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
        // Turning interception on makes the CA, so that it can be imported right away.
        if (args[1] == Setting::HttpsInterception.name && args[2] == Choice::Allow) {
            CertificateAuthority authority;
            QString why;
            bool created = false;
            if (authority.prepare(&why, &created) == CertificateAuthority::State::Absent) {
                print(stderr, QStringLiteral("tarnwick-settings: ") + why);
                return 1;
            }
            if (created)
                print(stdout, QStringLiteral("CA created: ") + authority.certificatePath());
            else if (!why.isEmpty())
                print(stderr, QStringLiteral("tarnwick-settings: warning: ") + why);
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
    if (command == u"ca" && args.size() >= 2)
        return certificateAuthority(store, args.mid(1));
    print(stderr, QStringLiteral("tarnwick-settings: bad usage"));
    return usage();
}
