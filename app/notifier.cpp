#include "app/notifier.h"

#include "results/hostrow.h"

#include <QCoreApplication>
#include <QStringList>

Notice NewDeviceNotice(const HostRow &row)
{
    const auto tr = [](const char *text) {
        return QCoreApplication::translate("TrelvanWindow", text);
    };
    // A name is whatever its host sent: it stays one line of text here, and
    // the notifier keeps any desktop from reading it as markup.
    QStringList lines{QStringLiteral("%0 \u2014 %1").arg(row.ip, row.mac)};
    if (const QString maker = row.maker.trimmed(); !maker.isEmpty())
        lines << tr("Fabricant\u00a0: %0").arg(maker);
    if (!row.name.isEmpty())
        lines << tr("Nom\u00a0: %0").arg(row.name);
    return {tr("Nouvel appareil sur le réseau"), lines.join(QLatin1Char('\n'))};
}
