#include "proxy/admission.h"

#include "settings/settingskeys.h"

#include <QHostAddress>
#include <QHostInfo>

namespace Tarnwick {

Admission admissionFor(ChoiceValue mode, QStringView clientIP, const QStringList& allowed,
                       const QStringList& ownAddresses) {
    if (mode == ChoiceValue::Allow || clientIP == u"127.0.0.1")
        return Admission::Admit;
    for (const QString& own : ownAddresses)
        if (own == clientIP)
            return Admission::Admit;
    if (mode == ChoiceValue::Block)
        return Admission::OnlyThisMachine;
    // Exact text: stored entries are not trimmed.
    for (const QString& entry : allowed)
        if (entry == clientIP)
            return Admission::Admit;
    return Admission::NotListed;
}

QStringList ownHostAddresses() {
    QStringList addresses;
    const QHostInfo info = QHostInfo::fromName(QHostInfo::localHostName());
    for (const QHostAddress& address : info.addresses()) {
        bool isV4 = false;
        const quint32 v4 = address.toIPv4Address(&isV4);
        // The listener takes IPv4 only.
        if (isV4)
            addresses << QHostAddress(v4).toString();
    }
    return addresses;
}

} // namespace Tarnwick
