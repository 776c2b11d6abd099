#pragma once

#include <QObject>

class QAction;

namespace Tarnwick {

// The program's commands, made once and shared: the tray menu holds them and the
// main window's buttons trigger them, so both reach the one handler the program
// connects to each. Their texts are the tray menu's captions; the names are the
// menu items' names.
class ShellActions : public QObject {
public:
    explicit ShellActions(QObject* parent = nullptr);

    // Checkable: checked while the monitor is shown.
    QAction* const showMonitor;
    QAction* const options;
    QAction* const version;
    QAction* const homePage;
    QAction* const usage;
    QAction* const start;
    QAction* const stop;
    QAction* const exit;
};

} // namespace Tarnwick
