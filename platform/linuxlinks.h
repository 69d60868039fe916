#pragma once

// The machine's interfaces and the choice of the one that reaches an
// address, and the descriptors every path holds; shared by the program and
// the resolver helper.

#include "platform/arpbasics.h"

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

struct InterfaceAddress
{
    uint32_t address = 0; // network byte order
    int prefixLength = 0;
};

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

enum class RouteResult
{
    Found,
    NoNetwork,
    SourceNotLocal,
    NoHardwareAddress
};

// The interfaces as listed at most kInterfaceListLifetime ago.
bool RecentInterfaces(std::vector<LinkInterface> *interfaces);

// Finds the directly attached network that holds destIp, the longest prefix
// winning. A non-zero srcIp limits the choice to the interface holding it.
// Every path of the resolution asks here, so this is where an address that
// has no hardware address is refused (NoHardwareAddress): 0.0.0.0, the
// limited broadcast and multicast addresses before any interface is looked
// at, and a network's own broadcast address on the interface that holds it.
RouteResult FindRoute(const std::vector<LinkInterface> &links, uint32_t destIp, uint32_t srcIp,
                      Route *route);

} // namespace platform::linuxarp
