#pragma once

#include <QHostAddress>
#include <QtGlobal>

#include <cstddef>
#include <vector>

// The rules of a scan that the window and trelvan-list both follow.

// The widest network scanned, in addresses: a /16. A wider one is refused
// rather than sent millions of ARP requests for hours (the window's refusal
// writes this number out as "65 536").
constexpr quint64 MaxScanAddresses = 65536;

// How many addresses a network with this netmask holds, its network and
// broadcast addresses included: 256 for 255.255.255.0.
quint64 AddressCount(const QHostAddress &netmask);

// True when a network with this netmask holds more than MaxScanAddresses.
bool TooWideToScan(const QHostAddress &netmask);

// Several networks are scanned at once, each by its own coordinator, as
// long as their addresses together are no more than MaxScanAddresses; the
// next ones wait for them. Given the netmasks of the networks in their
// order, the indexes of those scanned together, batch after batch. A
// network too wide for a scan of its own is in no batch.
std::vector<std::vector<std::size_t>> ScanBatches(const std::vector<QHostAddress> &netmasks);

// A network is scanned again this many seconds after its last scan began.
constexpr int RescanPeriodSecs = 10;
