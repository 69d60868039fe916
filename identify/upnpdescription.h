#pragma once

// A UPnP device description (the XML document an SSDP reply's location
// names), read for what the root device says of itself. The document is
// hostile: bounded in size and depth, any document type declaration refused
// (so no entity is ever declared, let alone expanded), every text through
// the text rule. A pure function: no sockets.

#include <QByteArray>
#include <QString>

namespace identify::upnp {

constexpr int kMaxDescriptionBytes = 64 * 1024;
constexpr int kMaxDepth = 16;

// The root device's fields; a missing or refused one is empty.
struct Device
{
    QString friendlyName;
    QString manufacturer;
    QString modelName;
    QString modelNumber;
    QString deviceType;
    QString udn;

    bool isEmpty() const;
};

// Reads the fields of <root><device> (not those of embedded devices). False
// when the document is longer than kMaxDescriptionBytes, deeper than
// kMaxDepth, holds a DTD, is not well-formed XML, is not a <root> or gives
// none of the fields.
bool ParseDescription(const QByteArray &xml, Device *device);

} // namespace identify::upnp
