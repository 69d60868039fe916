#include "results/hosttext.h"

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

QString PlainTextMarkup(const QString &text)
{
    if (text.isEmpty())
        return text;
    // A paragraph is markup to every guess; inside it, nothing else is.
    return QStringLiteral("<p style=\"white-space:pre\">") + text.toHtmlEscaped() +
           QStringLiteral("</p>");
}
