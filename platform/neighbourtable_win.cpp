#include "platform/neighbourtable_win.h"

#include "platform/sendarp.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace platform::winarp {

namespace {

bool HasHardwareAddress(NL_NEIGHBOR_STATE state)
{
    switch (state) {
    case NlnsProbe:
    case NlnsDelay:
    case NlnsStale:
    case NlnsReachable:
    case NlnsPermanent:
        return true;
    default:
        return false; // unreachable, incomplete, or a state this code does not know
    }
}

bool HasNoHardwareAddress(quint32 address)
{
    const quint32 host = ntohl(address);
    return host == 0 || host == 0xFFFFFFFFu || (host >> 28) == 0xE;
}

using GetIpNetTable2Function = NETIO_STATUS(WINAPI *)(ADDRESS_FAMILY, PMIB_IPNET_TABLE2 *);
using FreeMibTableFunction = VOID(WINAPI *)(PVOID);

struct TableFunctions
{
    GetIpNetTable2Function get = nullptr;
    FreeMibTableFunction release = nullptr;
};

template <typename Function> Function Look(HMODULE library, const char *name)
{
    // Through a function type of no arguments, which GCC lets any function
    // pointer become without a warning.
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(::GetProcAddress(library, name)));
}

const TableFunctions &Functions()
{
    static const TableFunctions functions = [] {
        TableFunctions found;
        // Loaded already: SendARP comes from it.
        const HMODULE library = ::GetModuleHandleW(L"iphlpapi.dll");
        if (!library)
            return found;
        found.get = Look<GetIpNetTable2Function>(library, "GetIpNetTable2");
        found.release = Look<FreeMibTableFunction>(library, "FreeMibTable");
        if (!found.get || !found.release)
            found = TableFunctions{};
        return found;
    }();
    return functions;
}

std::uint64_t Key(quint32 address, quint32 interfaceIndex)
{
    return (std::uint64_t(address) << 32) | interfaceIndex;
}

// ---- The machine's interfaces ----------------------------------------------

struct LocalAddress
{
    quint32 address; // network byte order
    int prefixLength;
};

struct Adapter
{
    quint32 index; // the IPv4 interface index, as the table's rows give it
    HardwareAddress mac;
    std::vector<LocalAddress> addresses;
};

// How long one list of the interfaces serves: a scan asks hundreds of times
// within a second.
constexpr std::chrono::milliseconds kAdapterListLifetime{500};

bool InNetwork(const LocalAddress &local, quint32 address)
{
    const quint32 mask =
        local.prefixLength >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> local.prefixLength);
    return (ntohl(local.address) & mask) == (ntohl(address) & mask);
}

// The interfaces that are up and resolve addresses to a hardware address of
// six bytes or more (not loopback, not a tunnel), with their IPv4 addresses.
bool ReadAdapters(std::vector<Adapter> *adapters)
{
    constexpr ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                            GAA_FLAG_SKIP_DNS_SERVER | GAA_FLAG_SKIP_FRIENDLY_NAME;
    std::vector<unsigned char> buffer(16 * 1024);
    ULONG status = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && status == ERROR_BUFFER_OVERFLOW; ++attempt) {
        ULONG size = static_cast<ULONG>(buffer.size());
        status = ::GetAdaptersAddresses(
            AF_INET, flags, nullptr, reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buffer.data()), &size);
        if (status == ERROR_BUFFER_OVERFLOW)
            buffer.resize(std::max<std::size_t>(size, 2 * buffer.size()));
    }
    adapters->clear();
    if (status == ERROR_NO_DATA)
        return true;
    if (status != NO_ERROR)
        return false;
    for (auto *entry = reinterpret_cast<const IP_ADAPTER_ADDRESSES *>(buffer.data()); entry;
         entry = entry->Next) {
        if (entry->OperStatus != IfOperStatusUp || entry->IfType == IF_TYPE_SOFTWARE_LOOPBACK ||
            entry->PhysicalAddressLength < 6 ||
            entry->PhysicalAddressLength > sizeof entry->PhysicalAddress)
            continue;
        Adapter adapter;
        adapter.index = static_cast<quint32>(entry->IfIndex);
        std::copy(entry->PhysicalAddress, entry->PhysicalAddress + entry->PhysicalAddressLength,
                  adapter.mac.bytes.begin());
        adapter.mac.length = static_cast<quint32>(entry->PhysicalAddressLength);
        for (const IP_ADAPTER_UNICAST_ADDRESS *unicast = entry->FirstUnicastAddress; unicast;
             unicast = unicast->Next) {
            const SOCKADDR *socketAddress = unicast->Address.lpSockaddr;
            if (!socketAddress || socketAddress->sa_family != AF_INET ||
                unicast->Address.iSockaddrLength < int(sizeof(sockaddr_in)) ||
                unicast->OnLinkPrefixLength < 1 || unicast->OnLinkPrefixLength > 32)
                continue;
            const auto *ipv4 = reinterpret_cast<const sockaddr_in *>(socketAddress);
            adapter.addresses.push_back(
                LocalAddress{ipv4->sin_addr.s_addr, int(unicast->OnLinkPrefixLength)});
        }
        if (!adapter.addresses.empty())
            adapters->push_back(std::move(adapter));
    }
    return true;
}

bool RecentAdapters(std::vector<Adapter> *adapters)
{
    static std::mutex mutex;
    static std::vector<Adapter> recent;
    static Clock::time_point readAt{};
    static bool valid = false;
    std::lock_guard<std::mutex> lock(mutex);
    const Clock::time_point now = Clock::now();
    if (!valid || now - readAt >= kAdapterListLifetime) {
        valid = ReadAdapters(&recent);
        readAt = now;
    }
    *adapters = recent;
    return valid;
}

enum class RouteResult
{
    Found,
    NoNetwork,
    SourceNotLocal
};

struct Route
{
    const Adapter *adapter = nullptr;
    quint32 sourceAddress = 0;
    bool own = false;
};

bool HasAddress(const Adapter &adapter, quint32 address)
{
    return std::any_of(adapter.addresses.begin(), adapter.addresses.end(),
                       [address](const LocalAddress &local) { return local.address == address; });
}

// The interface whose network holds destIp most narrowly; with a srcIp, only
// the interface that holds srcIp.
RouteResult FindRoute(const std::vector<Adapter> &adapters, quint32 destIp, quint32 srcIp,
                      Route *route)
{
    bool sourceFound = srcIp == 0;
    int bestPrefix = -1;
    for (const Adapter &adapter : adapters) {
        if (srcIp != 0) {
            if (!HasAddress(adapter, srcIp))
                continue;
            sourceFound = true;
        }
        for (const LocalAddress &local : adapter.addresses) {
            if (!InNetwork(local, destIp))
                continue;
            if (HasAddress(adapter, destIp)) {
                *route = Route{&adapter, destIp, true};
                return RouteResult::Found;
            }
            if (local.prefixLength > bestPrefix) {
                bestPrefix = local.prefixLength;
                *route = Route{&adapter, srcIp != 0 ? srcIp : local.address, false};
            }
        }
    }
    if (!sourceFound)
        return RouteResult::SourceNotLocal;
    return bestPrefix < 0 ? RouteResult::NoNetwork : RouteResult::Found;
}

// One empty datagram to the discard port, from the interface's address:
// the stack resolves destIp to send it.
void SendDatagram(quint32 sourceIp, quint32 destIp)
{
    static std::once_flag started;
    std::call_once(started, [] {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
    });
    const SOCKET socket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (socket == INVALID_SOCKET)
        return;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = sourceIp;
    ::bind(socket, reinterpret_cast<const sockaddr *>(&local), sizeof local);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(9);
    target.sin_addr.s_addr = destIp;
    const char nothing = 0;
    ::sendto(socket, &nothing, 0, 0, reinterpret_cast<const sockaddr *>(&target), sizeof target);
    ::closesocket(socket);
}

} // namespace

bool RowAnswers(const MIB_IPNET_ROW2 &row, quint32 address, quint32 interfaceIndex,
                HardwareAddress *mac)
{
    if (row.Address.si_family != AF_INET || row.Address.Ipv4.sin_addr.s_addr != address ||
        row.InterfaceIndex != interfaceIndex || HasNoHardwareAddress(address))
        return false;
    if (!HasHardwareAddress(row.State) || row.IsUnreachable)
        return false;
    const ULONG length = row.PhysicalAddressLength;
    if (length < 6 || length > sizeof row.PhysicalAddress)
        return false;
    const unsigned char *bytes = row.PhysicalAddress;
    // The group bit: a multicast or broadcast hardware address is no host's.
    if (bytes[0] & 0x01)
        return false;
    if (std::all_of(bytes, bytes + length, [](unsigned char byte) { return byte == 0; }))
        return false;
    std::copy(bytes, bytes + length, mac->bytes.begin());
    mac->length = static_cast<quint32>(length);
    return true;
}

bool SystemTableReadable()
{
    return Functions().get != nullptr;
}

bool ReadSystemTable(std::vector<MIB_IPNET_ROW2> *rows)
{
    rows->clear();
    const TableFunctions &functions = Functions();
    if (!functions.get)
        return false;
    PMIB_IPNET_TABLE2 table = nullptr;
    const NETIO_STATUS status = functions.get(AF_INET, &table);
    if (status != NO_ERROR || !table) {
        if (table)
            functions.release(table);
        return false;
    }
    const std::size_t count = std::min<std::size_t>(table->NumEntries, kMaxRows);
    rows->assign(table->Table, table->Table + count);
    functions.release(table);
    return true;
}

NeighbourReads::NeighbourReads(TableRead tableRead, Clock::duration readInterval)
    : read(std::move(tableRead)), interval(readInterval)
{
}

NeighbourReads &NeighbourReads::System()
{
    // Never destroyed: a scan still waiting when the program ends keeps it.
    static NeighbourReads *const reads = new NeighbourReads(ReadSystemTable, kReadInterval);
    return *reads;
}

bool NeighbourReads::Stopped(const Waiter &waiter) const
{
    return waiter.stop && waiter.stop->load();
}

bool NeighbourReads::Await(quint32 address, quint32 interfaceIndex, Clock::time_point until,
                           HardwareAddress *mac, const std::function<void()> &ask)
{
    std::unique_lock<std::mutex> lock(mutex);
    const auto self = waiters.emplace(waiters.end());
    self->address = address;
    self->interfaceIndex = interfaceIndex;
    self->readsBefore = readsBegun;
    self->until = until;
    self->stop = platform::StopFlag();
    for (;;) {
        if (self->answered || Stopped(*self))
            break;
        if (self->unasked) {
            self->unasked = false;
            lock.unlock();
            ask();
            lock.lock();
            continue;
        }
        const Clock::time_point now = Clock::now();
        // A read under way that began after this call may still answer.
        const bool readMayAnswer = reading && readsBegun > self->readsBefore;
        if (now >= until && !(readMayAnswer && now < until + kReadGrace))
            break;
        if (!reader)
            reader = &*self;
        if (reader == &*self && now >= nextRead) {
            reading = true;
            const std::uint64_t number = ++readsBegun;
            nextRead = now + interval;
            lock.unlock();
            std::vector<MIB_IPNET_ROW2> rows;
            if (!read(&rows))
                rows.clear();
            lock.lock();
            reading = false;
            Serve(rows, number, &*self);
            continue;
        }
        Clock::time_point wake = now < until ? until : until + kReadGrace;
        if (reader == &*self)
            wake = std::min(wake, nextRead);
        self->wake.wait_until(lock, wake);
    }
    if (reader == &*self)
        reader = nullptr;
    if (!reader) {
        // One that still waits takes the reader's part: not one that is
        // woken to leave, which would leave the rest without reads. Those
        // asked to stop, whom no read will now wake, leave.
        const Clock::time_point now = Clock::now();
        bool handedOver = false;
        for (Waiter &waiter : waiters) {
            if (&waiter == &*self || waiter.answered)
                continue;
            if (Stopped(waiter)) {
                waiter.wake.notify_one();
            } else if (!handedOver && now < waiter.until) {
                waiter.wake.notify_one();
                handedOver = true;
            }
        }
    }
    const bool answered = self->answered;
    if (answered)
        *mac = self->mac;
    waiters.erase(self);
    return answered;
}

void NeighbourReads::Serve(const std::vector<MIB_IPNET_ROW2> &rows, std::uint64_t number,
                           Waiter *self)
{
    std::unordered_map<std::uint64_t, HardwareAddress> answers;
    std::unordered_set<std::uint64_t> listed;
    for (const MIB_IPNET_ROW2 &row : rows) {
        if (row.Address.si_family != AF_INET)
            continue;
        HardwareAddress mac;
        const quint32 address = row.Address.Ipv4.sin_addr.s_addr;
        listed.insert(Key(address, row.InterfaceIndex));
        if (RowAnswers(row, address, row.InterfaceIndex, &mac))
            answers.emplace(Key(address, row.InterfaceIndex), mac);
    }
    const Clock::time_point now = Clock::now();
    for (Waiter &waiter : waiters) {
        if (waiter.answered || waiter.readsBefore >= number)
            continue;
        const std::uint64_t key = Key(waiter.address, waiter.interfaceIndex);
        const auto found = answers.find(key);
        if (found != answers.end()) {
            waiter.mac = found->second;
            waiter.answered = true;
        } else if (!listed.count(key) && !rows.empty()) {
            waiter.unasked = true;
        }
        // Woken to leave (answered, past its time, asked to stop) or to ask
        // again; the reader goes on by itself.
        if (&waiter != self &&
            (waiter.answered || waiter.unasked || now >= waiter.until || Stopped(waiter)))
            waiter.wake.notify_one();
    }
}

quint32 NeighbourResolve(quint32 destIp, quint32 srcIp, void *macAddr, quint32 *physAddrLen)
{
    if (!macAddr || !physAddrLen)
        return ERROR_INVALID_PARAMETER;
    const quint32 room = *physAddrLen;
    *physAddrLen = 0;
    if (room < 6)
        return ERROR_INVALID_USER_BUFFER;
    if (HasNoHardwareAddress(destIp))
        return ERROR_BAD_NET_NAME;
    if (!SystemTableReadable())
        return ERROR_NOT_SUPPORTED;

    std::vector<Adapter> adapters;
    if (!RecentAdapters(&adapters))
        return ERROR_GEN_FAILURE;
    Route route;
    switch (FindRoute(adapters, destIp, srcIp, &route)) {
    case RouteResult::Found:
        break;
    case RouteResult::NoNetwork:
        return ERROR_BAD_NET_NAME;
    case RouteResult::SourceNotLocal:
        return ERROR_NOT_FOUND;
    }

    HardwareAddress mac = route.adapter->mac;
    if (!route.own) {
        // Sent even when the table holds the address already: the stack then
        // checks an entry it has not confirmed lately (STALE, on Linux under
        // Wine) and marks it failed if the host has left, rather than keep
        // its hardware address for as long as nothing else asks. While the
        // check runs the entry keeps its address, as it does for the
        // system's own SendARP.
        const quint32 sourceIp = route.sourceAddress;
        const auto ask = [sourceIp, destIp] { SendDatagram(sourceIp, destIp); };
        ask();
        if (!NeighbourReads::System().Await(destIp, route.adapter->index,
                                            Clock::now() + kAnswerWait, &mac, ask))
            return ERROR_BAD_NET_NAME;
    }
    if (mac.length > room)
        return ERROR_INVALID_USER_BUFFER;
    std::copy(mac.bytes.begin(), mac.bytes.begin() + mac.length,
              static_cast<unsigned char *>(macAddr));
    *physAddrLen = mac.length;
    return NO_ERROR;
}

} // namespace platform::winarp
