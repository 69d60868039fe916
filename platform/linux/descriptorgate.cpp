// The gate is sized from the process's descriptor limit, raised first.

#include "platform/linux/descriptorgate.h"

#include <algorithm>
#include <sys/resource.h>

namespace platform::linuxarp {

DescriptorGate::DescriptorGate(std::size_t capacity) : free(std::max<std::size_t>(capacity, 1)) {}

bool DescriptorGate::Enter()
{
    std::unique_lock<std::mutex> lock(mutex);
    if (!WaitUnlessStopped(freed, lock, Clock::time_point::max(), [this] { return free > 0; }))
        return false;
    --free;
    return true;
}

void DescriptorGate::Leave()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++free;
    }
    freed.notify_one();
}

DescriptorGate &DescriptorGate::Instance()
{
    // A resolution holds two descriptors at most, briefly; half the limit
    // for as many resolutions leaves the other half to everything else.
    static DescriptorGate gate([] {
        rlimit limit{};
        if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
            return std::size_t(16);
        // Desktops often start programs with a soft limit of 1024 and a much
        // higher hard one; a scan of a large network wants the hard one.
        if (limit.rlim_cur < limit.rlim_max) {
            rlimit raised = limit;
            raised.rlim_cur = limit.rlim_max;
            if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
                limit = raised;
        }
        if (limit.rlim_cur == RLIM_INFINITY)
            return std::size_t(4096);
        return std::max<std::size_t>(16, static_cast<std::size_t>(limit.rlim_cur / 2));
    }());
    return gate;
}

} // namespace platform::linuxarp
