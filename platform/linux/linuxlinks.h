#pragma once

// The machine's interfaces and the choice of the one that reaches an
// address, and the descriptors every path holds; shared by the program and
// the resolver helper.

#include "platform/linux/arpbasics.h"
#include "platform/routechoice.h"

#include <string>
#include <vector>

namespace platform::linuxarp {

// How long one listing of the interfaces serves: all probes of a scan start
// together, and one listing is enough for them all.
constexpr std::chrono::milliseconds kInterfaceListLifetime{500};

// Owns one file descriptor and closes it on every way out.
class FileDescriptor
{
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int descriptor) : fd(descriptor) {}
    ~FileDescriptor();
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    FileDescriptor(FileDescriptor &&other) noexcept : fd(other.release()) {}
    FileDescriptor &operator=(FileDescriptor &&other) noexcept;
    int get() const { return fd; }
    int release()
    {
        const int released = fd;
        fd = -1;
        return released;
    }
    bool valid() const { return fd >= 0; }

private:
    int fd = -1;
};

// socket(2), waiting a little and retrying while the process or the system is
// out of descriptors or memory.
int OpenSocket(int domain, int type, int protocol);

using platform::InterfaceAddress;

struct LinkInterface
{
    std::string name;
    int index = 0;
    unsigned flags = 0;              // IFF_*
    unsigned short hardwareType = 0; // ARPHRD_*
    std::vector<uint8_t> hardwareAddress;
    std::vector<InterfaceAddress> addresses;
};

// The machine's interfaces with their IPv4 addresses; false when they
// could not be read.
bool ListInterfaces(std::vector<LinkInterface> *interfaces);

// Whether ARP can run on the interface: up with a carrier, not loopback,
// not NOARP, Ethernet-type with a 6-byte hardware address.
bool IsArpCapable(const LinkInterface &link);

struct Route
{
    const LinkInterface *link = nullptr;
    uint32_t sourceAddress = 0; // network byte order
    bool own = false;           // destIp is one of link's own addresses
};

using platform::RouteResult;

// The interfaces as listed at most kInterfaceListLifetime ago.
bool RecentInterfaces(std::vector<LinkInterface> *interfaces);

// SendARP's choice of a route (platform::ChooseRoute) among the interfaces
// that can run ARP. Every path of the resolution asks here, so this is where
// an address that has no hardware address is refused (NoHardwareAddress).
RouteResult FindRoute(const std::vector<LinkInterface> &links, uint32_t destIp, uint32_t srcIp,
                      Route *route);

} // namespace platform::linuxarp
