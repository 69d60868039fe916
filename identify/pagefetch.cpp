#include "identify/pagefetch.h"

#include <QNetworkProxy>
#include <QTcpSocket>

#if QT_CONFIG(ssl)
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#endif

namespace identify {

namespace {

QByteArray HostHeader(quint32 address, quint16 port, bool secure)
{
    QByteArray host = QHostAddress(address).toString().toLatin1();
    if (port != (secure ? 443 : 80))
        host += ':' + QByteArray::number(port);
    return host;
}

} // namespace

PageFetch::PageFetch(const Request &given, QObject *parent) : QObject(parent), request(given)
{
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, this, &PageFetch::Finish);
    deadline.start(request.deadlineMs);

    const QHostAddress host(request.address);
#if QT_CONFIG(ssl)
    if (request.secure) {
        if (!QSslSocket::supportsSsl()) {
            QTimer::singleShot(0, this, &PageFetch::Finish);
            return;
        }
        auto *secureSocket = new QSslSocket(this);
        secureSocket->setPeerVerifyMode(QSslSocket::VerifyNone);
        connect(secureSocket, &QSslSocket::encrypted, this, [this, secureSocket] {
            const QStringList names =
                secureSocket->peerCertificate().subjectInfo(QSslCertificate::CommonName);
            if (!names.isEmpty())
                certificateName = names.first();
            SendRequest();
        });
        socket = secureSocket;
    }
#else
    if (request.secure) {
        QTimer::singleShot(0, this, &PageFetch::Finish);
        return;
    }
#endif
    if (!socket) {
        socket = new QTcpSocket(this);
        connect(socket, &QTcpSocket::connected, this, &PageFetch::SendRequest);
    }
    socket->setProxy(QNetworkProxy::NoProxy);
    socket->setReadBufferSize(request.maxBytes);
    connect(socket, &QTcpSocket::readyRead, this, &PageFetch::Read);
    connect(socket, &QTcpSocket::disconnected, this, [this] {
        Read();
        Finish();
    });
    connect(socket, &QTcpSocket::errorOccurred, this, [this] {
        Read();
        Finish();
    });
    if (!request.from.isNull() && !socket->bind(request.from, 0)) {
        QTimer::singleShot(0, this, &PageFetch::Finish);
        return;
    }
#if QT_CONFIG(ssl)
    if (request.secure) {
        static_cast<QSslSocket *>(socket)->connectToHostEncrypted(host.toString(), request.port);
        return;
    }
#endif
    socket->connectToHost(host, request.port);
}

PageFetch::~PageFetch()
{
    if (socket) {
        socket->disconnect(this);
        socket->abort();
    }
}

void PageFetch::SendRequest()
{
    if (done)
        return;
    const QByteArray get = "GET " + request.path + " HTTP/1.1\r\nHost: " +
                           HostHeader(request.address, request.port, request.secure) +
                           "\r\nAccept: */*\r\nConnection: close\r\n\r\n";
    socket->write(get);
}

void PageFetch::Read()
{
    if (done || !socket)
        return;
    const qint64 room = request.maxBytes - response.size();
    if (room > 0)
        response += socket->read(room);
    if (response.size() >= request.maxBytes)
        Finish();
}

void PageFetch::Finish()
{
    if (done)
        return;
    done = true;
    deadline.stop();
    if (socket) {
        socket->disconnect(this);
        socket->abort();
    }
    emit Done();
}

} // namespace identify
