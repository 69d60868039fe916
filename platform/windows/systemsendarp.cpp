#include "platform/sendarp.h"

#include "platform/platformlog.h"
#include "platform/windows/neighbourresolve.h"
#include "platform/windows/neighbourtable.h"

#include <QMutex>
#include <QMutexLocker>
#include <QSet>

#include <atomic>
#include <mutex>

namespace platform {

namespace {

// An answer other than a MAC address or "no answer" says that resolution
// itself fails: said once per kind of failure, not once per address.
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

// Set once SendARP has said that it cannot resolve at all (Wine's stub
// says so for every address): the neighbour table answers from then on.
std::atomic<bool> sendArpUnsupported{false};

void ReportNeighbourTable()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (winarp::SystemTableReadable())
            qCInfo(lcArp).noquote() << QStringLiteral(
                "SendARP n'est pas disponible (erreur 50)\u00a0: la table de voisinage du "
                "système (GetIpNetTable2) répond à sa place");
        else
            qCWarning(lcArp).noquote() << QStringLiteral(
                "SendARP n'est pas disponible (erreur 50) et la table de voisinage ne se lit "
                "pas (GetIpNetTable2 manque)\u00a0: aucune adresse ne peut répondre");
    });
}

} // namespace

quint32 SystemSendARP(quint32 destIp, quint32 srcIp, void *macAddr, quint32 *physAddrLen)
{
    if (!sendArpUnsupported.load()) {
        ULONG length = physAddrLen ? static_cast<ULONG>(*physAddrLen) : 0;
        const DWORD result = ::SendARP(static_cast<IPAddr>(destIp), static_cast<IPAddr>(srcIp),
                                       macAddr, physAddrLen ? &length : nullptr);
        if (result != ERROR_NOT_SUPPORTED) {
            if (physAddrLen)
                *physAddrLen = static_cast<quint32>(length);
            ReportFailure(result);
            return static_cast<quint32>(result);
        }
        sendArpUnsupported = true;
        ReportNeighbourTable();
    }
    return winarp::NeighbourResolve(destIp, srcIp, macAddr, physAddrLen);
}

// SendARP and the neighbour table give one answer per address.
bool SystemOtherCard(quint32, const unsigned char *, std::chrono::steady_clock::time_point,
                     unsigned char *)
{
    return false;
}

ResolutionPath CurrentResolutionPath()
{
    return ResolutionPath::SystemSendArp;
}

} // namespace platform
