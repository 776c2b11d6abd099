#pragma once

#include "settings/settingskeys.h"

#include <QStringList>
#include <QStringView>

namespace Tarnwick {

// Who may use the proxy, decided from the stored mode ("Connect") and the ten allowed
// addresses. This machine is the client address "127.0.0.1" or any address its own
// host name resolves to (Debian maps it to 127.0.1.1), so a browser told to use the
// machine's name as its proxy counts as this machine.
enum class Admission {
    Admit,
    OnlyThisMachine, // mode "×" and another machine
    NotListed,       // mode "△" (or any other value) and an address not in the list
};

Admission admissionFor(ChoiceValue mode, QStringView clientIP, const QStringList& allowed,
                       const QStringList& ownAddresses = {});

// The IPv4 addresses the machine's own host name resolves to.
QStringList ownHostAddresses();

} // namespace Tarnwick
