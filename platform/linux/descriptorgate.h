#pragma once

// A bound on the resolutions that hold sockets of their own at once.

#include "platform/linux/arpbasics.h"

#include <cstddef>

namespace platform::linuxarp {

// Bounds the resolutions that hold sockets at once to half the process's
// descriptor limit, so that a thousand calls together never starve the rest
// of the program (or each other) of descriptors; the others wait their turn.
class DescriptorGate
{
public:
    explicit DescriptorGate(std::size_t capacity);
    // False, without entering, when the calling thread is asked to stop.
    bool Enter();
    void Leave();

    // Enters on construction, leaves on destruction.
    class Pass
    {
    public:
        explicit Pass(DescriptorGate &shared) : gate(shared), entered(shared.Enter()) {}
        ~Pass()
        {
            if (entered)
                gate.Leave();
        }
        Pass(const Pass &) = delete;
        Pass &operator=(const Pass &) = delete;
        bool Entered() const { return entered; }

    private:
        DescriptorGate &gate;
        const bool entered;
    };

    static DescriptorGate &Instance();

private:
    std::mutex mutex;
    std::condition_variable freed;
    std::size_t free;
};

} // namespace platform::linuxarp
