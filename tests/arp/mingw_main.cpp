// Links the Windows resolution into a program, so that the import of SendARP
// from iphlpapi is resolved; the program is built, never run.

#include "platform/sendarp.h"

int main(int argc, char **)
{
    unsigned char mac[8];
    quint32 length = sizeof mac;
    // 203.0.113.1 (TEST-NET-3), should anyone ever run it.
    return argc > 1 ? static_cast<int>(platform::SendARP(0x017100CBu, 0, mac, &length)) : 0;
}
