// The reader of DNS-SD responses and what it keeps of one host: whatever it
// hands back is bounded and keeps the text rule of network/namerule.h.
#include "identify/dnssd.h"
#include "network/namerule.h"

#include <cstdlib>

using namespace identify::dnssd;

namespace {

void CheckText(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    if (namerule::CheckText(std::string_view(utf8.constData(), std::size_t(utf8.size()))) !=
        namerule::NameFault::None)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const QByteArray datagram(reinterpret_cast<const char *>(data), qsizetype(size));
    // Whatever id the datagram carries is the one asked, so that the rest
    // of it is read; the source is the seeds' 198.51.100.20.
    const auto id = size >= 2 ? static_cast<quint16>(data[0] << 8 | data[1]) : quint16(0);
    Records records;
    if (!ParseResponse(datagram, id, &records)) {
        if (!records.serviceTypes.isEmpty() || !records.services.isEmpty() ||
            !records.addresses.isEmpty())
            std::abort(); // nothing added with a refusal
        return 0;
    }
    const qsizetype read = records.serviceTypes.size() + records.instances.size() +
                           records.services.size() + records.texts.size() +
                           records.addresses.size();
    if (read > kMaxRecords)
        std::abort();
    const HostServices host = FromHost(records, 0xC6336414u);
    if (host.services.size() > kMaxServices)
        std::abort();
    for (const Service &service : host.services) {
        CheckText(service.instance);
        if (service.txt.size() > kMaxTxtPairs)
            std::abort();
        for (const TxtPair &pair : service.txt)
            if (!pair.value.isEmpty())
                CheckText(pair.value);
    }
    for (const QString &name : host.hostNames)
        if (namerule::CheckName(name.toStdString()) != namerule::NameFault::None)
            std::abort();
    return 0;
}
