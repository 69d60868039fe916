#include "platform/windows/neighbourtable.h"

#include <algorithm>
#include <cstring>

namespace platform::winarp {

static_assert(neighbours::kMaxHardwareLength == IF_MAX_PHYS_ADDRESS_LENGTH,
              "a row's hardware address fits NeighbourRow");

namespace {

neighbours::NeighbourState StateOf(NL_NEIGHBOR_STATE state)
{
    using neighbours::NeighbourState;
    switch (state) {
    case NlnsUnreachable:
        return NeighbourState::Unreachable;
    case NlnsIncomplete:
        return NeighbourState::Incomplete;
    case NlnsProbe:
        return NeighbourState::Probe;
    case NlnsDelay:
        return NeighbourState::Delay;
    case NlnsStale:
        return NeighbourState::Stale;
    case NlnsReachable:
        return NeighbourState::Reachable;
    case NlnsPermanent:
        return NeighbourState::Permanent;
    default:
        return NeighbourState::Unknown;
    }
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

} // namespace

bool FromSystemRow(const MIB_IPNET_ROW2 &row, NeighbourRow *neutral)
{
    if (row.Address.si_family != AF_INET)
        return false;
    neutral->address = row.Address.Ipv4.sin_addr.s_addr;
    neutral->interfaceIndex = static_cast<quint32>(row.InterfaceIndex);
    neutral->state = StateOf(row.State);
    neutral->markedUnreachable = row.IsUnreachable;
    // A length beyond the row is kept as it is: such a row never counts.
    neutral->length = static_cast<quint32>(row.PhysicalAddressLength);
    std::memcpy(neutral->bytes.data(), row.PhysicalAddress, neutral->bytes.size());
    return true;
}

bool RowAnswers(const MIB_IPNET_ROW2 &row, quint32 address, quint32 interfaceIndex,
                HardwareAddress *mac)
{
    NeighbourRow neutral;
    return FromSystemRow(row, &neutral) &&
           neighbours::RowAnswers(neutral, address, interfaceIndex, mac);
}

bool SystemTableReadable()
{
    return Functions().get != nullptr;
}

bool ReadSystemTable(std::vector<NeighbourRow> *rows)
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
    const std::size_t count = std::min<std::size_t>(table->NumEntries, neighbours::kMaxRows);
    rows->reserve(count);
    for (std::size_t row = 0; row < count; ++row) {
        NeighbourRow neutral;
        if (FromSystemRow(table->Table[row], &neutral))
            rows->push_back(neutral);
    }
    functions.release(table);
    return true;
}

bool ReadSystemIpv6Table(quint32 interfaceIndex, std::vector<Ipv6Neighbour> *rows)
{
    rows->clear();
    const TableFunctions &functions = Functions();
    if (!functions.get)
        return false;
    PMIB_IPNET_TABLE2 table = nullptr;
    const NETIO_STATUS status = functions.get(AF_INET6, &table);
    if (status != NO_ERROR || !table) {
        if (table)
            functions.release(table);
        return false;
    }
    const std::size_t count = std::min<std::size_t>(table->NumEntries, neighbours::kMaxRows);
    for (std::size_t index = 0; index < count && rows->size() < kMaxIpv6Neighbours; ++index) {
        const MIB_IPNET_ROW2 &row = table->Table[index];
        NeighbourRow neutral;
        neutral.interfaceIndex = static_cast<quint32>(row.InterfaceIndex);
        neutral.state = StateOf(row.State);
        neutral.markedUnreachable = row.IsUnreachable;
        neutral.length = static_cast<quint32>(row.PhysicalAddressLength);
        if (row.Address.si_family != AF_INET6 || neutral.interfaceIndex != interfaceIndex ||
            neutral.markedUnreachable || neutral.length != 6)
            continue;
        switch (neutral.state) {
        case neighbours::NeighbourState::Probe:
        case neighbours::NeighbourState::Delay:
        case neighbours::NeighbourState::Stale:
        case neighbours::NeighbourState::Reachable:
        case neighbours::NeighbourState::Permanent:
            break;
        default:
            continue;
        }
        Ipv6Neighbour found;
        std::memcpy(found.address.data(), &row.Address.Ipv6.sin6_addr, found.address.size());
        std::memcpy(found.mac.data(), row.PhysicalAddress, found.mac.size());
        found.age = static_cast<std::uint32_t>(row.ReachabilityTime.LastReachable);
        rows->push_back(found);
    }
    functions.release(table);
    return true;
}

NeighbourReads &SystemReads()
{
    // Never destroyed: a scan still waiting when the program ends keeps it.
    static NeighbourReads *const reads =
        new NeighbourReads(ReadSystemTable, neighbours::kReadInterval);
    return *reads;
}

} // namespace platform::winarp
