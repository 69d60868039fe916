#include "platform/sendarp.h"

#include "platform/platformlog.h"

#include <QMutex>
#include <QMutexLocker>
#include <QSet>

// winsock2.h must come before windows.h, and iphlpapi.h after both.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

namespace platform {

namespace {

// An answer other than a MAC address or "no answer" says that resolution
// itself fails: said once per kind of failure, not once per address. Under
// Wine, whose SendARP is a stub, every address gets ERROR_NOT_SUPPORTED.
void ReportFailure(DWORD result)
{
    if (result == NO_ERROR || result == ERROR_BAD_NET_NAME || result == ERROR_GEN_FAILURE)
        return;
    static QMutex mutex;
    static QSet<DWORD> reported;
    QMutexLocker locker(&mutex);
    if (reported.contains(result))
        return;
    reported.insert(result);
    qCWarning(lcArp).noquote() << QStringLiteral("SendARP échoue avec l'erreur %1 (%2)")
                                      .arg(result)
                                      .arg(qt_error_string(int(result)));
}

} // namespace

quint32 SystemSendARP(quint32 destIp, quint32 srcIp, void *macAddr, quint32 *physAddrLen)
{
    ULONG length = physAddrLen ? static_cast<ULONG>(*physAddrLen) : 0;
    const DWORD result = ::SendARP(static_cast<IPAddr>(destIp), static_cast<IPAddr>(srcIp), macAddr,
                                   physAddrLen ? &length : nullptr);
    if (physAddrLen)
        *physAddrLen = static_cast<quint32>(length);
    ReportFailure(result);
    return static_cast<quint32>(result);
}

ResolutionPath CurrentResolutionPath()
{
    return ResolutionPath::SystemSendArp;
}

} // namespace platform
