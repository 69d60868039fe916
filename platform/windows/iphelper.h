#pragma once

// The IP Helper's headers, in the one order they build in: winsock2.h must
// come before windows.h, and iphlpapi.h after both; the neighbour table's
// rows need ws2tcpip.h's address types before it.

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on
