#include "widgets/programicon.h"

#include <QDirIterator>

namespace Tarnwick {

QIcon programIcon() {
    QIcon icon;
    // Every rendering of the icon in the resources; each file's size is read from it.
    QDirIterator pngs(QStringLiteral(":/tarnwick/icons"), {QStringLiteral("tarnwick-*.png")},
                      QDir::Files);
    while (pngs.hasNext())
        icon.addFile(pngs.next());
    return icon;
}

} // namespace Tarnwick
