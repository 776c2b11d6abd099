#include "shell/shellactions.h"

#include <QAction>

namespace Tarnwick {

namespace {
QAction* makeAction(QObject* owner, const char* name, const QString& text) {
    auto* action = new QAction(text, owner);
    action->setObjectName(QString::fromLatin1(name));
    return action;
}
} // namespace

ShellActions::ShellActions(QObject* parent)
    : QObject(parent), showMonitor(makeAction(this, "mnMain", QStringLiteral("モニター表示"))),
      options(makeAction(this, "mnOption", QStringLiteral("オプション設定"))),
      version(makeAction(this, "mnVer", QStringLiteral("バージョン情報"))),
      homePage(makeAction(this, "mnOttergrove", QStringLiteral("Ottergroveホームページ"))),
      usage(makeAction(this, "mnInfo", QStringLiteral("使用方法"))),
      start(makeAction(this, "mnStart", QStringLiteral("スタート"))),
      stop(makeAction(this, "mnStop", QStringLiteral("ストップ"))),
      exit(makeAction(this, "mnFin", QStringLiteral("tarnwick 終了"))) {
    showMonitor->setCheckable(true);
}

} // namespace Tarnwick
