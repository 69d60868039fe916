#include "platform/sendarp.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<SendArpFunction> installed{nullptr};
std::atomic<OtherCardFunction> installedOtherCard{nullptr};
thread_local const std::atomic<bool> *stopFlag = nullptr;
// What IP Helper's SendARP says when nobody answered.
constexpr quint32 NoAnswer = 67;
} // namespace

void SetStopFlag(const std::atomic<bool> *flag)
{
    stopFlag = flag;
}

bool StopRequested()
{
    return stopFlag && stopFlag->load();
}

const std::atomic<bool> *StopFlag()
{
    return stopFlag;
}

quint32 SendARP(quint32 destIp, quint32 srcIp, void *macAddr, quint32 *physAddrLen)
{
    if (StopRequested()) {
        if (physAddrLen)
            *physAddrLen = 0;
        return NoAnswer;
    }
    SendArpFunction function = installed.load();
    if (function)
        return function(destIp, srcIp, macAddr, physAddrLen);
    return SystemSendARP(destIp, srcIp, macAddr, physAddrLen);
}

SendArpFunction SetSendArpFunction(SendArpFunction function)
{
    return installed.exchange(function);
}

bool OtherCard(quint32 destIp, const unsigned char *mac,
               std::chrono::steady_clock::time_point since, unsigned char *other)
{
    if (!mac || !other)
        return false;
    OtherCardFunction function = installedOtherCard.load();
    if (function)
        return function(destIp, mac, since, other);
    return SystemOtherCard(destIp, mac, since, other);
}

OtherCardFunction SetOtherCardFunction(OtherCardFunction function)
{
    return installedOtherCard.exchange(function);
}

} // namespace platform
