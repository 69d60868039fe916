#include "platform/sendarp.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<SendArpFunction> installed{nullptr};
}

quint32 SendARP(quint32 destIp, quint32 srcIp, void *macAddr, quint32 *physAddrLen)
{
    SendArpFunction function = installed.load();
    if (function)
        return function(destIp, srcIp, macAddr, physAddrLen);
    return SystemSendARP(destIp, srcIp, macAddr, physAddrLen);
}

SendArpFunction SetSendArpFunction(SendArpFunction function)
{
    return installed.exchange(function);
}

} // namespace platform
