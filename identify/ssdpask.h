#pragma once

// The SSDP part of a round: one M-SEARCH to the group from an ephemeral
// port on the network's interface; a reply counts only from a target, and
// its LOCATION is fetched only when it lies on the replying host itself
// (ssdp::CheckLocation), one per host, by plain HTTP within bounds; the
// description is read by upnp::ParseDescription.

#include "identify/askround.h"
#include "identify/pagefetch.h"
#include "identify/upnpdescription.h"

#include <QObject>
#include <QUdpSocket>

#include <map>
#include <memory>

namespace identify {

class SsdpAsk : public QObject
{
    Q_OBJECT

public:
    explicit SsdpAsk(const RoundSetup &setup, QObject *parent = nullptr);
    ~SsdpAsk() override;

    // The root devices' descriptions read so far, into found by host key.
    void Collect(FindingsMap &found) const;

    // The body of a description's response, when it is one: status 200, not
    // chunked, cut to its Content-Length. Empty otherwise.
    static QByteArray DescriptionBody(const QByteArray &response);

private:
    void Receive();

    const RoundSetup &setup;
    QUdpSocket socket;
    bool open = false;
    int datagramsLeft = kMaxDatagramsPerRound;
    std::map<quint32, int> heard;                          // replies read per host
    std::map<quint32, std::unique_ptr<PageFetch>> fetches; // one location per host
};

} // namespace identify
