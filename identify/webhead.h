#pragma once

// The head of a device's web page: from the first bytes of the response to
// "GET /", its status, its Server header and its <title>, as text. The
// certificate's subject name, for a page over TLS, is read by whoever holds
// the connection and kept beside them. A pure function: no sockets.

#include <QByteArray>
#include <QString>

namespace identify::web {

// Bytes of a response read at most; the title must lie within them.
constexpr int kMaxResponseBytes = 32 * 1024;
constexpr int kMaxHeaders = 64;
// A title's bytes as the page writes them, and as shown (UTF-8).
constexpr int kMaxRawTitleBytes = 4096;
constexpr std::size_t kMaxTitleBytes = 160;

struct PageHead
{
    int status = 0;
    QString server;
    QString title;
    // The subject's common name of the certificate, over TLS (not verified:
    // it identifies, it does not vouch).
    QString certificateName;
};

// Reads the first kMaxResponseBytes of response: the status line, the
// Server header, and the text of the page's first <title> element, its
// character references (&amp; &lt; &gt; &quot; &apos; &nbsp; &#NN; &#xHH;)
// decoded, its white space collapsed, cut to kMaxTitleBytes, in UTF-8 or
// Latin-1 as the page says (the Content-Type header, else a meta charset
// before the title, else UTF-8 where the bytes are UTF-8 and Latin-1
// otherwise). A chunked body is put together first; a compressed one gives
// no title. Texts that break the text rule are left empty. False when the
// response does not start with an HTTP status line.
bool ParsePageHead(const QByteArray &response, PageHead *head);

// The title's text with its character references decoded (exposed for
// the tests): a reference of no character, or of an unknown name, stays as
// written.
QString DecodeReferences(const QString &text);

} // namespace identify::web
