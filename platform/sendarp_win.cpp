#include "platform/sendarp.h"

// winsock2.h must come before windows.h, and iphlpapi.h after both.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

namespace platform {

quint32 SystemSendARP(quint32 destIp, quint32 srcIp, void *macAddr, quint32 *physAddrLen)
{
    ULONG length = physAddrLen ? static_cast<ULONG>(*physAddrLen) : 0;
    const DWORD result = ::SendARP(static_cast<IPAddr>(destIp), static_cast<IPAddr>(srcIp), macAddr,
                                   physAddrLen ? &length : nullptr);
    if (physAddrLen)
        *physAddrLen = static_cast<quint32>(length);
    return static_cast<quint32>(result);
}

ResolutionPath CurrentResolutionPath()
{
    return ResolutionPath::SystemSendArp;
}

} // namespace platform
