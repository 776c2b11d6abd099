// Reads and edits the user's Tarnwick settings from a terminal, and lets another
// program hand in a Referer for the requests that follow.

#include "platform/browsertrust.h"
#include "platform/desktopproxy.h"
#include "platform/tls.h"
#include "proxy/requesttarget.h"
#include "settings/settingsstore.h"

#include <QCoreApplication>
#include <QDir>
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
                     "  ca trust         make browsers trust the CA (certutil: Chromium's and\n"
                     "                   every Firefox profile's database, also of Flatpak\n"
                     "                   and Snap)\n"
                     "  ca untrust       remove the CA from every database it was put in\n"
                     "  ca status        list where browsers were looked for, each database\n"
                     "                   and whether the CA is in it\n"
                     "  ca remove        untrust and remove the CA, turn HTTPS interception off\n"
                     "  desktop-proxy on|off|status|follow [PORT]\n"
                     "                   point the desktop's proxy setting (GNOME, KDE Plasma)\n"
                     "                   at PORT (Local_Port when not given), put back what\n"
                     "                   was there, show it, or move it to PORT while it is on\n"
                     "  --help, --version";

int usage() {
    print(stderr, QString::fromUtf8(Usage));
    return 2;
}

// Prints a report's lines, failures to the error stream; the exit status.
int finish(const SetupReport& report) {
    for (const QString& line : report.lines)
        print(report.ok ? stdout : stderr, line);
    return report.ok ? 0 : 1;
}

// The port the proxy listens on; 0 when the stored one is no port.
int localPort(const SettingsStore& store) {
    return parsePort(store.get(Setting::LocalPort).trimmed()).value_or(0);
}

int followPort(const SettingsStore& store, int port = 0);

// `port` is 0 when none was given: Local_Port's then.
int desktopProxy(const SettingsStore& store, const QString& what, int port) {
    DesktopProxy desktop;
    if (what == u"follow")
        return followPort(store, port);
    if (what == u"status") {
        SetupReport report = desktop.status();
        if (!desktop.isOn())
            report.lines.prepend(QStringLiteral("Tarnwick has not set the desktop's proxy."));
        return finish(report);
    }
    if (what == u"off")
        return finish(desktop.turnOff());
    if (what != u"on")
        return usage();
    if (port == 0)
        port = localPort(store);
    if (port == 0) {
        print(stderr, QStringLiteral("tarnwick-settings: Local_Port holds no port number"));
        return 1;
    }
    return finish(desktop.turnOn(port));
}

// After a change of the port, the desktop's proxy follows it while Tarnwick has set it.
// A store already at the port is left alone; one a failed move left behind is moved.
int followPort(const SettingsStore& store, int port) {
    DesktopProxy desktop;
    if (port == 0)
        port = localPort(store);
    if (!desktop.isOn() || port == 0)
        return 0;
    return finish(desktop.follow(port));
}

// What the programs make of a value outside the three choices under `key`: these keys
// read it as the choice returned; the request and answer rules (empty) remove it, so
// that the next use finds the default.
QStringView otherValueCountsAs(QStringView key) {
    struct Fallback {
        const SettingKey& key;
        QStringView choice;
    };
    static const Fallback fallbacks[] = {
        {Setting::AutoStart, Choice::Block},         {Setting::Proxy, Choice::Block},
        {Setting::Connect, Choice::Third},           {Setting::ConnectTunnel, Choice::Allow},
        {Setting::HttpsInterception, Choice::Block}, {Setting::StreamAnswers, Choice::Third}};
    for (const Fallback& fallback : fallbacks)
        if (fallback.key.name == key)
            return fallback.choice;
    return {};
}

// The CA of HTTPS interception. Its key is never printed or written anywhere else.
// Reads the CA, making it when there is none, and says so; false when there is none
// and none could be made.
bool prepareAuthority(CertificateAuthority& authority) {
    QString why;
    bool created = false;
    if (authority.prepare(&why, &created) == CertificateAuthority::State::Absent) {
        print(stderr, QStringLiteral("tarnwick-settings: ") + why);
        return false;
    }
    if (created)
        print(stdout, QStringLiteral("CA created: ") + authority.certificatePath());
    else if (!why.isEmpty())
        print(stderr, QStringLiteral("tarnwick-settings: warning: ") + why);
    return true;
}

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
    BrowserTrust browsers(QDir::homePath());
    if (what == u"trust" && args.size() == 1) {
        if (!prepareAuthority(authority))
            return 1;
        return finish(browsers.trust(authority.certificatePath()));
    }
    if (what == u"untrust" && args.size() == 1)
        return finish(browsers.untrust());
    if (what == u"status" && args.size() == 1) {
        print(stdout, QStringLiteral("CA certificate: ") + authority.certificatePath() +
                          (authority.load() == CertificateAuthority::State::Absent
                               ? QStringLiteral(" (not made yet)")
                               : QString()));
        return finish(browsers.status());
    }
    if (what == u"remove" && args.size() == 1) {
        // A CA left trusted after it is gone would still vouch for whoever holds a copy
        // of its key: the browsers forget it first, and the CA stays when they cannot.
        const SetupReport untrusted = browsers.untrust();
        if (!untrusted.ok) {
            finish(untrusted);
            print(stderr,
                  QStringLiteral("tarnwick-settings: the CA is kept until it is untrusted"));
            return 1;
        }
        finish(untrusted);
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
        if (Setting::isChoiceKey(args[1]) && !Setting::isChoice(args[2])) {
            const QStringView countsAs = otherValueCountsAs(args[1]);
            print(stderr,
                  QStringLiteral("tarnwick-settings: warning: ") + args[1] +
                      QStringLiteral(" takes ○, × or △; Tarnwick ") +
                      (countsAs.isEmpty()
                           ? QStringLiteral("removes any other value when it reads it")
                           : QStringLiteral("reads any other value as ") + countsAs.toString()));
        }
        if (!store.saveByName(args[1], args[2])) {
            print(stderr, QStringLiteral("tarnwick-settings: cannot write ") + store.fileName());
            return 1;
        }
        // Turning interception on makes the CA, so that it can be imported right away.
        if (args[1] == Setting::HttpsInterception.name && args[2] == Choice::Allow) {
            CertificateAuthority authority;
            if (!prepareAuthority(authority))
                return 1;
        }
        if (args[1] == Setting::LocalPort.name)
            return followPort(store);
        return 0;
    }
    if (command == u"remove" && args.size() == 2) {
        if (!store.removeByName(args[1])) {
            print(stderr, QStringLiteral("tarnwick-settings: no such key: ") + args[1]);
            return 1;
        }
        if (args[1] == Setting::LocalPort.name)
            return followPort(store);
        return 0;
    }
    if (command == u"list" && args.size() == 1) {
        for (const QString& key : store.keys())
            print(stdout, key + u'=' + store.getByName(key));
        return 0;
    }
    if (command == u"reset" && args.size() == 1) {
        store.removeAll(); // nothing stored is already reset
        return followPort(store);
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
    if (command == u"desktop-proxy" && args.size() == 2)
        return desktopProxy(store, args[1], 0);
    if (command == u"desktop-proxy" && args.size() == 3 && args[1] != u"off" &&
        args[1] != u"status") {
        if (const auto port = parsePort(args[2]))
            return desktopProxy(store, args[1], *port);
        print(stderr, QStringLiteral("tarnwick-settings: not a port number: ") + args[2]);
        return 2;
    }
    if (command == u"ca" && args.size() >= 2)
        return certificateAuthority(store, args.mid(1));
    print(stderr, QStringLiteral("tarnwick-settings: bad usage"));
    return usage();
}
