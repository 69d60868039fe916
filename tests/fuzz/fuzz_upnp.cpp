// The reader of UPnP device descriptions: what it hands back keeps the text
// rule, and a refusal hands nothing back.
#include "identify/upnpdescription.h"
#include "network/namerule.h"

#include <cstdlib>

using namespace identify::upnp;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const QByteArray xml(reinterpret_cast<const char *>(data), qsizetype(size));
    Device device;
    if (!ParseDescription(xml, &device)) {
        if (!device.isEmpty())
            std::abort();
        return 0;
    }
    if (device.isEmpty())
        std::abort();
    for (const QString *field : {&device.friendlyName, &device.manufacturer, &device.modelName,
                                 &device.modelNumber, &device.deviceType, &device.udn}) {
        const QByteArray utf8 = field->toUtf8();
        if (!field->isEmpty() &&
            namerule::CheckText(std::string_view(utf8.constData(), std::size_t(utf8.size()))) !=
                namerule::NameFault::None)
            std::abort();
    }
    return 0;
}
