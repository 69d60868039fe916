#pragma once

#include <QString>
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

// Text from outside (a host's name, a comment, a file name) as the rich text
// that shows it character for character: for a tooltip, and for any widget
// that guesses whether its text is markup. A name such as
// "<img src=/dev/zero>" is then drawn as those 19 characters, on one line
// (line breaks of the text kept), no larger than the text. Empty text stays
// empty: no tooltip.
QString PlainTextMarkup(const QString &text);
