#include "results/hosttext.h"

#include "identify/freetext.h"
#include "scan/hostrecord.h"

#include <string>

QString MacToText(std::vector<unsigned char> bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0)
            text += ':';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return QString::fromStdString(text);
}

QString VendorKey(const std::vector<unsigned char> &mac)
{
    if (mac.size() < 3)
        return QString();
    return QStringLiteral("%0%1%2")
        .arg(mac[0], 2, 16, QLatin1Char('0'))
        .arg(mac[1], 2, 16, QLatin1Char('0'))
        .arg(mac[2], 2, 16, QLatin1Char('0'))
        .toUpper();
}

QString WebAddressText(quint32 key)
{
    return QStringLiteral("http://%1/").arg(AddressText(key));
}

QString SecureWebAddressText(quint32 key)
{
    return QStringLiteral("https://%1/").arg(AddressText(key));
}

QStringList HintNames(const QString &name, const QString &friendlyName)
{
    // Checked again here, as any text before it is shown: a friendly name
    // comes from the device and is never repaired, only refused.
    QStringList names;
    if (const QString chosen = identify::CheckedText(friendlyName.toUtf8()); !chosen.isEmpty())
        names << chosen;
    if (!name.isEmpty() && !names.contains(name, Qt::CaseInsensitive))
        names << name;
    return names;
}

identify::Identity ShownIdentity(const identify::Identity &identity)
{
    identify::Identity shown = identity;
    shown.model = identify::CheckedText(identity.model.toUtf8());
    shown.friendlyName = identify::CheckedText(identity.friendlyName.toUtf8());
    return shown;
}

QString PlainTextMarkup(const QString &text)
{
    if (text.isEmpty())
        return text;
    // A paragraph is markup to every guess; inside it, nothing else is.
    return QStringLiteral("<p style=\"white-space:pre\">") + text.toHtmlEscaped() +
           QStringLiteral("</p>");
}
