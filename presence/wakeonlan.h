#pragma once

#include "presence/store.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include <vector>

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

// What a wake did.
enum class WakeDone
{
    Refused, // no device could be woken from here: nothing sent
    Failed,  // the system refused to send the packet
    Sent
};

struct WakeReport
{
    WakePlan plan; // of the device woken, or of the first one refused
    WakeDone done = WakeDone::Refused;
    // Why nothing was sent, as a clause that a program's name may precede
    // ("le paquet de réveil n'est pas parti : ..."); empty once sent.
    QString fault;
    // The status line: what was sent (WakeStatusText), or why nothing was.
    QString sentence;
};

// Wakes the first of devices (the cards a user named, the last seen first)
// that can be woken from here (PlanWake), WakeRepeats times (SendWake); so
// blocks for a second or so. Refused, with the first refusal, when none can.
WakeReport Wake(const std::vector<Device> &devices);

} // namespace presence
