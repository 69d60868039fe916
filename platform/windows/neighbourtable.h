#pragma once

// The stack's own neighbour table, through GetIpNetTable2, which Wine before
// 6.x and Windows before Vista lack: looked up, never imported. Its rows are
// turned into NeighbourRow for the reads that resolutions share
// (platform/neighbourreads.h).

#include "platform/ipv6neighbours.h"
#include "platform/neighbourreads.h"
#include "platform/windows/iphelper.h"

#include <vector>

namespace platform::winarp {

using neighbours::HardwareAddress;
using neighbours::NeighbourReads;
using neighbours::NeighbourRow;

// The IPv4 row as NeighbourRow; false for a row of another family.
bool FromSystemRow(const MIB_IPNET_ROW2 &row, NeighbourRow *neutral);

// Whether the system's `row` gives the hardware address of `address` on the
// interface `interfaceIndex` (neighbours::RowAnswers).
bool RowAnswers(const MIB_IPNET_ROW2 &row, quint32 address, quint32 interfaceIndex,
                HardwareAddress *mac);

// Reads the whole IPv4 table into `rows` (at most neighbours::kMaxRows);
// false when it cannot be read.
bool ReadSystemTable(std::vector<NeighbourRow> *rows);
bool SystemTableReadable();

// Reads the IPv6 rows of the interface `interfaceIndex` that hold a
// hardware address of six bytes (at most kMaxIpv6Neighbours); false when
// the table cannot be read.
bool ReadSystemIpv6Table(quint32 interfaceIndex, std::vector<Ipv6Neighbour> *rows);

// The reads of the stack's table that resolutions of this process share.
NeighbourReads &SystemReads();

} // namespace platform::winarp
