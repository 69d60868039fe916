#include "publish/brokeraddress.h"

#include <QFile>
#include <QRegularExpression>
#include <QUrl>

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <unistd.h>
#endif

#include <cstring>

namespace publish {

namespace {

constexpr qsizetype MaxAddressLength = 512;
constexpr qsizetype MaxUserLength = 128;
constexpr qint64 MaxPasswordBytes = 4096;
constexpr char PasswordVariable[] = "TRELVAN_MQTT_PASSWORD";

// Takes name out of the environment. unsetenv only drops the entry from the
// list: the text stays where the kernel put it when the program started,
// which is what /proc/PID/environ shows, so the value is overwritten there
// first (and wherever else an entry of that name points).
void WipeFromEnvironment(const char *name)
{
#ifndef Q_OS_WIN
    const std::size_t length = std::strlen(name);
    for (char **entry = environ; entry && *entry; ++entry) {
        if (std::strncmp(*entry, name, length) != 0 || (*entry)[length] != '=')
            continue;
        char *const value = *entry + length + 1;
        std::memset(value, 0, std::strlen(value));
    }
#endif
    qunsetenv(name);
}

#ifdef TRELVAN_MQTT_WITHOUT_TLS
const QString Form = QStringLiteral("mqtt://[UTILISATEUR@]HÔTE[:PORT]");
#else
const QString Form = QStringLiteral("mqtt://[UTILISATEUR@]HÔTE[:PORT] ou mqtts://…");
#endif

std::optional<BrokerAddress> Refuse(QString *error, const QString &why)
{
    if (error)
        *error = QStringLiteral("adresse MQTT refusée, %1 (%2)").arg(why, Form);
    return std::nullopt;
}

bool IsHostName(const QString &host)
{
    static const QRegularExpression name(
        QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?(\\.[A-Za-z0-9]([A-Za-z0-9-]{0,"
                       "61}[A-Za-z0-9])?)*$"));
    return host.size() <= 253 && name.match(host).hasMatch();
}

} // namespace

QString BrokerAddress::Text() const
{
    const QString shownHost =
        host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
    return QStringLiteral("%1://%2%3:%4")
        .arg(tls ? QStringLiteral("mqtts") : QStringLiteral("mqtt"),
             user.isEmpty() ? QString() : user + QLatin1Char('@'), shownHost)
        .arg(port);
}

std::optional<BrokerAddress> ParseBrokerAddress(const QString &text, QString *error)
{
    if (text.size() > MaxAddressLength)
        return Refuse(error, QStringLiteral("trop longue"));
    BrokerAddress address;
    QString rest;
    if (text.startsWith(QLatin1String("mqtt://"), Qt::CaseInsensitive)) {
        rest = text.mid(7);
        address.port = 1883;
    } else if (text.startsWith(QLatin1String("mqtts://"), Qt::CaseInsensitive)) {
#ifdef TRELVAN_MQTT_WITHOUT_TLS
        if (error)
            *error = QStringLiteral("adresse MQTT refusée\u00a0: TLS (mqtts://) n'est pas "
                                    "disponible sous Windows, où trelvan-list est construit sans "
                                    "OpenSSL\u00a0; %1 seulement")
                         .arg(Form);
        return std::nullopt;
#else
        rest = text.mid(8);
        address.tls = true;
        address.port = 8883;
#endif
    } else {
        return Refuse(error, QStringLiteral("elle commence par mqtt:// ou mqtts://"));
    }
    if (rest.endsWith(QLatin1Char('/')))
        rest.chop(1);
    if (rest.contains(QLatin1Char('/')) || rest.contains(QLatin1Char('?')) ||
        rest.contains(QLatin1Char('#')))
        return Refuse(error, QStringLiteral("elle ne nomme que le serveur"));

    const qsizetype at = rest.lastIndexOf(QLatin1Char('@'));
    if (at >= 0) {
        const QString userInfo = rest.left(at);
        rest = rest.mid(at + 1);
        if (userInfo.contains(QLatin1Char(':')))
            return Refuse(error, QStringLiteral("le mot de passe n'y a pas sa place\u00a0: "
                                                "TRELVAN_MQTT_PASSWORD ou --mqtt-password-file"));
        address.user = QUrl::fromPercentEncoding(userInfo.toUtf8());
        if (address.user.isEmpty() || address.user.size() > MaxUserLength)
            return Refuse(error, QStringLiteral("nom d'utilisateur invalide"));
        for (const QChar c : address.user) {
            if (c.category() == QChar::Other_Control || c == QChar::ReplacementCharacter)
                return Refuse(error, QStringLiteral("nom d'utilisateur invalide"));
        }
    }

    QString portText;
    if (rest.startsWith(QLatin1Char('['))) {
        const qsizetype close = rest.indexOf(QLatin1Char(']'));
        if (close < 0)
            return Refuse(error, QStringLiteral("crochet non fermé"));
        address.host = rest.mid(1, close - 1);
        const QString after = rest.mid(close + 1);
        if (!after.isEmpty() && !after.startsWith(QLatin1Char(':')))
            return Refuse(error, QStringLiteral("serveur invalide"));
        portText = after.mid(1);
        in6_addr ipv6{};
        if (inet_pton(AF_INET6, address.host.toLatin1().constData(), &ipv6) != 1)
            return Refuse(error, QStringLiteral("adresse IPv6 invalide"));
        if (after.isEmpty())
            portText.clear();
        else if (portText.isEmpty())
            return Refuse(error, QStringLiteral("port manquant"));
    } else {
        const qsizetype colon = rest.indexOf(QLatin1Char(':'));
        address.host = colon < 0 ? rest : rest.left(colon);
        if (colon >= 0) {
            portText = rest.mid(colon + 1);
            if (portText.isEmpty())
                return Refuse(error, QStringLiteral("port manquant"));
        }
        if (!IsHostName(address.host))
            return Refuse(error, address.host.isEmpty() ? QStringLiteral("serveur manquant")
                                                        : QStringLiteral("serveur invalide"));
    }
    if (!portText.isEmpty()) {
        static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
        const uint port = portText.toUInt();
        if (!digits.match(portText).hasMatch() || port == 0 || port > 65535)
            return Refuse(error, QStringLiteral("port invalide (1 à 65535)"));
        address.port = static_cast<quint16>(port);
    }
    return address;
}

bool ReadPassword(const QString &passwordFile, QString *password, QString *error)
{
    password->clear();
    if (passwordFile.isEmpty()) {
        *password = QString::fromUtf8(qgetenv(PasswordVariable));
        WipeFromEnvironment(PasswordVariable);
        return true;
    }
    const QString quoted = QStringLiteral("«\u00a0%1\u00a0»").arg(passwordFile);
    QFile file(passwordFile);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("impossible de lire le mot de passe MQTT dans %1\u00a0: %2")
                     .arg(quoted, file.errorString());
        return false;
    }
    QByteArray bytes = file.read(MaxPasswordBytes + 1);
    if (bytes.size() > MaxPasswordBytes) {
        *error = QStringLiteral("le fichier du mot de passe MQTT %1 est trop long").arg(quoted);
        return false;
    }
    const qsizetype end = bytes.indexOf('\n');
    if (end >= 0)
        bytes.truncate(end);
    if (bytes.endsWith('\r'))
        bytes.chop(1);
    if (bytes.isEmpty()) {
        *error = QStringLiteral("le fichier du mot de passe MQTT %1 est vide").arg(quoted);
        return false;
    }
    *password = QString::fromUtf8(bytes);
    return true;
}

} // namespace publish
