// The reader of a web page's head, and the type the rules make of what it
// said: the title is bounded and keeps the text rule; the tooltip is built
// whatever the title holds.
#include "identify/identity.h"
#include "network/namerule.h"

#include <cstdlib>

using namespace identify;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const QByteArray response(reinterpret_cast<const char *>(data), qsizetype(size));
    Findings findings;
    if (!web::ParsePageHead(response, &findings.page))
        return 0;
    const QByteArray title = findings.page.title.toUtf8();
    if (!title.isEmpty() &&
        namerule::CheckText(std::string_view(title.constData(), std::size_t(title.size())),
                            web::kMaxTitleBytes) != namerule::NameFault::None)
        std::abort();
    const QByteArray server = findings.page.server.toUtf8();
    if (!server.isEmpty() &&
        namerule::CheckText(std::string_view(server.constData(), std::size_t(server.size()))) !=
            namerule::NameFault::None)
        std::abort();
    findings.dnssd.services.append({QStringLiteral("_http._tcp"), findings.page.title, 80, {}});
    const Identity identity = Identify(findings);
    if (identity.type != DeviceType::Unknown && identity.evidence.isEmpty())
        std::abort();
    Tooltip(identity);
    return 0;
}
