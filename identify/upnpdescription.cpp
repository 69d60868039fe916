#include "identify/upnpdescription.h"

#include "identify/freetext.h"

#include <QXmlStreamReader>

namespace identify::upnp {

bool Device::isEmpty() const
{
    return friendlyName.isEmpty() && manufacturer.isEmpty() && modelName.isEmpty() &&
           modelNumber.isEmpty() && deviceType.isEmpty() && udn.isEmpty();
}

bool ParseDescription(const QByteArray &xml, Device *device)
{
    *device = Device();
    if (xml.size() > kMaxDescriptionBytes)
        return false;
    QXmlStreamReader reader(xml);
    // Names of the open elements, the root first.
    QList<QString> names;
    Device found;
    // The field whose text is being read, and its text so far.
    QString *field = nullptr;
    QString text;
    bool fieldHasChild = false;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::DTD:
        case QXmlStreamReader::EntityReference:
            return false;
        case QXmlStreamReader::StartElement: {
            if (names.size() == kMaxDepth)
                return false;
            const QString name = reader.name().toString();
            if (names.isEmpty() && name != QLatin1String("root"))
                return false;
            if (field)
                fieldHasChild = true;
            names.append(name);
            if (names.size() == 3 && names[1] == QLatin1String("device")) {
                field = name == QLatin1String("friendlyName")   ? &found.friendlyName
                        : name == QLatin1String("manufacturer") ? &found.manufacturer
                        : name == QLatin1String("modelName")    ? &found.modelName
                        : name == QLatin1String("modelNumber")  ? &found.modelNumber
                        : name == QLatin1String("deviceType")   ? &found.deviceType
                        : name == QLatin1String("UDN")          ? &found.udn
                                                                : nullptr;
                // The first one counts.
                if (field && !field->isEmpty())
                    field = nullptr;
                text.clear();
                fieldHasChild = false;
            }
            break;
        }
        case QXmlStreamReader::Characters:
            if (field && names.size() == 3) {
                if (text.size() + reader.text().size() > kMaxDescriptionBytes)
                    return false;
                text += reader.text();
            }
            break;
        case QXmlStreamReader::EndElement:
            if (field && names.size() == 3) {
                if (!fieldHasChild)
                    *field = CollapsedText(text);
                field = nullptr;
            }
            names.removeLast();
            break;
        default:
            break;
        }
    }
    if (reader.hasError() || found.isEmpty())
        return false;
    *device = found;
    return true;
}

} // namespace identify::upnp
