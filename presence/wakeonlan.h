#pragma once

#include "presence/store.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>

// Wake-on-LAN: the magic packet, in a UDP datagram to port 9 of the directed
// broadcast of the network where the device was last seen, from the
// machine's own address on it; never to another network, never without a
// known card. No privilege: a UDP socket that may broadcast.
namespace presence {

constexpr quint16 WakePort = 9;
constexpr int WakeRepeats = 3;
constexpr int WakeGapMs = 100;

// Six bytes 0xFF, then the card sixteen times: 102 bytes; empty for a card
// that is not six bytes long.
QByteArray MagicPacket(const Mac &mac);

struct WakePlan
{
    Device device;
    QHostAddress source;    // the machine's own address on the device's network
    QHostAddress broadcast; // that network's directed broadcast
    QString refusal;        // why it cannot be woken from here; empty if it can
};

// Where device's packet goes: refused unless the machine is on that very
// network now, with its addresses and, where it has a gateway, that
// gateway's card (asked now, one ARP request).
WakePlan PlanWake(const Device &device);

// Sends the packet WakeRepeats times, WakeGapMs apart (so blocks for 200 ms);
// false with *error set when the system refused it.
bool SendWake(const WakePlan &plan, QString *error);

// The status line once sent: which card (macText, as the front end shows
// it), where, and that the device shows up at its next answer.
QString WakeStatusText(const WakePlan &plan, const QString &macText);

} // namespace presence
