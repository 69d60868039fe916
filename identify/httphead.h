#pragma once

// The head of an HTTP/1.x response, as a device's web server or its SSDP
// responder sends it: the status line and the header lines, read strictly
// and within bounds. Shared by the readers of SSDP replies and web pages.

#include <QByteArray>
#include <QList>
#include <QPair>

namespace identify {

struct HttpHead
{
    int status = 0;
    // Header names in lower case, values without the white space around
    // them, in the order they came.
    QList<QPair<QByteArray, QByteArray>> headers;
    // Where the body starts, past the empty line; -1 when the data ends
    // before it.
    qsizetype bodyAt = -1;

    // The value of the header of that name (lower case); empty when it is
    // missing. *repeated (if given) says whether it came more than once.
    QByteArray Value(const char *name, bool *repeated = nullptr) const;
};

// Reads the status line ("HTTP/1.0" or "HTTP/1.1", a three-digit status, a
// reason) and at most maxHeaders header lines; lines end with CR LF or LF.
// A line cut short by the end of the data is left out. False when the
// status line is not one, a header line is malformed or folded, or there
// are more headers than maxHeaders.
bool ParseHttpHead(const QByteArray &data, int maxHeaders, HttpHead *head);

} // namespace identify
