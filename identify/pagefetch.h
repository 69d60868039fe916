#pragma once

// One plain HTTP request of a device, as an identification round makes it:
// "GET path" over TCP (or TLS, unverified: it identifies, it does not
// trust) from the network's own address, without proxy or redirect, the
// response read up to a bound of bytes and until a deadline, whichever
// comes first. What came is handed over as raw bytes for the bounded
// readers; nothing is parsed here.

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>

class QTcpSocket;

namespace identify {

class PageFetch : public QObject
{
    Q_OBJECT

public:
    struct Request
    {
        QHostAddress from;   // the network's own address, bound before connecting
        quint32 address = 0; // host order
        quint16 port = 80;
        QByteArray path = "/";
        bool secure = false;
        int maxBytes = 32 * 1024;
        int deadlineMs = 1000;
    };

    // Connects at once; Done follows once, at most deadlineMs later.
    explicit PageFetch(const Request &request, QObject *parent = nullptr);
    ~PageFetch() override;

    bool IsDone() const { return done; }
    // The bytes of the response read so far (at most maxBytes).
    const QByteArray &Response() const { return response; }
    // Over TLS: the subject's common name of the peer's certificate as sent
    // (unchecked text: the caller puts it through the text rule).
    const QString &CertificateName() const { return certificateName; }

signals:
    void Done();

private:
    void SendRequest();
    void Read();
    void Finish();

    Request request;
    QTcpSocket *socket = nullptr;
    QTimer deadline;
    QByteArray response;
    QString certificateName;
    bool done = false;
};

} // namespace identify
