#pragma once

#include "identify/identity.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <vector>

// Texts of a host that the window and the command-line lister both show.
// Qt Core only.

// "00:1A:2B:3C:4D:5E": every byte, upper-case, joined by ':'.
QString MacToText(std::vector<unsigned char> bytes);
// "001A2B" from the first three bytes; empty when there are fewer than three.
QString VendorKey(const std::vector<unsigned char> &mac);
// The host's web root, "http://192.168.1.20/", from its HostMap key.
QString WebAddressText(quint32 key);
// The same over HTTPS, "https://192.168.1.20/".
QString SecureWebAddressText(quint32 key);

// The names the window shows for a host, the first one its hint: the name
// the device's owner chose for it (its friendly name: a cast device's, a
// UPnP description's, a DNS-SD instance's), whole and in its own case, when
// it keeps the text rule of network/namerule.h; then the name it answered
// with (ShownName). Each once, whatever its case; none when neither is known.
QStringList HintNames(const QString &name, const QString &friendlyName);

// What a device says it is, as it is shown: its model and its friendly name
// only where they keep the text rule (an empty text where one breaks it).
identify::Identity ShownIdentity(const identify::Identity &identity);

// Text from outside (a host's name, a comment, a file name) as the rich text
// that shows it character for character: for a tooltip, and for any widget
// that guesses whether its text is markup. A name such as
// "<img src=/dev/zero>" is then drawn as those 19 characters, on one line
// (line breaks of the text kept), no larger than the text. Empty text stays
// empty: no tooltip.
QString PlainTextMarkup(const QString &text);
