#include "shell/form0.h"

#include "shell/desktopapp.h"
#include "shell/form1.h"

#include <QAction>
#include <QIcon>
#include <QMenu>

namespace Tarnwick {

Form0::Form0(DesktopApp& app, QObject* parent)
    : QObject(parent), m_app(app), m_tray(new QSystemTrayIcon(this)), m_menu(new QMenu) {
    m_menu->setObjectName(QStringLiteral("mnuPopup"));
    m_menu->setTitle(QStringLiteral("PopUp"));
    auto add = [this](const char* name, const QString& caption, auto handler) {
        QAction* a = m_menu->addAction(caption);
        a->setObjectName(QString::fromLatin1(name));
        connect(a, &QAction::triggered, this, handler);
        return a;
    };
    auto separator = [this](const char* name) {
        m_menu->addSeparator()->setObjectName(QString::fromLatin1(name));
    };
    Form1* form1 = m_app.form1();
    m_mnMain = add("mnMain", QStringLiteral("モニター表示"), [this] { mnMainClick(); });
    m_mnMain->setCheckable(true);
    // Triggering a checkable action flips its mark first; the handler sets it itself.
    add("mnOption", QStringLiteral("オプション設定"), [form1] { form1->commandOptionClick(); });
    separator("LL1");
    add("mnVer", QStringLiteral("バージョン情報"), [form1] { form1->commandVersionClick(); });
    separator("LL2");
    add("mnOttergrove", QStringLiteral("Ottergroveホームページ"),
        [form1] { form1->commandHomePageClick(); });
    separator("LL3");
    add("mnInfo", QStringLiteral("使用方法"), [form1] { form1->commandInfoClick(); });
    separator("LL4");
    add("mnStart", QStringLiteral("スタート"), [form1] { form1->commandStartClick(); });
    add("mnStop", QStringLiteral("ストップ"), [form1] { form1->commandStopClick(); });
    separator("LL5");
    add("mnFin", QStringLiteral("tarnwick 終了"), [this] { mnFinClick(); });

    m_tray->setContextMenu(m_menu);
    m_tray->setIcon(QIcon(QStringLiteral(":/tarnwick/icon.png")));
    m_tray->setToolTip(QString());
    connect(m_tray, &QSystemTrayIcon::activated, this, &Form0::activated);

    // The monitor hidden with its close box: the mark follows.
    form1->setCloseBoxHides(true);
    form1->setOnHiddenByCloseBox([this] { m_mnMain->setChecked(false); });
}

Form0::~Form0() {
    delete m_menu;
}

void Form0::showIcon() {
    m_tray->show();
}

QAction* Form0::action(const char* name) const {
    return m_menu->findChild<QAction*>(QString::fromLatin1(name));
}

void Form0::activated(QSystemTrayIcon::ActivationReason reason) {
    // A left click shows the monitor when hidden; it never brings it to the front.
    if (reason != QSystemTrayIcon::Trigger)
        return;
    if (!m_mnMain->isChecked()) {
        m_mnMain->setChecked(true);
        m_app.form1()->show();
    } else {
        m_mnMain->setChecked(true);
    }
}

void Form0::mnMainClick() {
    // The action has already flipped its mark: the new state says what to do.
    if (m_mnMain->isChecked())
        m_app.form1()->show();
    else
        m_app.form1()->hide();
}

void Form0::mnFinClick() {
    m_tray->hide();
    m_app.end();
}

} // namespace Tarnwick
