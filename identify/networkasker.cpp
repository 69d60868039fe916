// The Asker that puts the questions on the network: one round at a time,
// its three parts (DNS-SD, SSDP and the descriptions it points to, the web
// pages) started together on the network's interface, all on the event
// loop of the thread that owns it, and one timer that ends the round
// whatever arrives.

#include "identify/networkasker.h"

#include "identify/askround.h"
#include "identify/dnssdask.h"
#include "identify/freetext.h"
#include "identify/pagefetch.h"
#include "identify/ssdpask.h"
#include "identify/webhead.h"

#include <QTimer>
#include <QtEndian>

namespace identify {

namespace {

// Pages read in one round at most.
constexpr std::size_t kMaxPages = 64;

class NetworkAsker : public Asker
{
public:
    explicit NetworkAsker(const NetworkAskerOptions &given) : options(given)
    {
        deadline.setSingleShot(true);
        // A coarse timer may fire 5 % late: the round's end is a promise.
        deadline.setTimerType(Qt::PreciseTimer);
        connect(&deadline, &QTimer::timeout, this, &NetworkAsker::End);
    }
    ~NetworkAsker() override { Clear(); }

    void Start(const Ipv4Network &network, const std::vector<Target> &targets) override;
    bool Running() const override { return running; }

private:
    void StartPages(const std::vector<Target> &targets);
    void End();
    void Clear();

    NetworkAskerOptions options;
    QTimer deadline{this}; // a child: it follows the Asker to its thread
    bool running = false;
    Ipv4Network asked;
    RoundSetup setup;
    std::unique_ptr<DnssdAsk> dnssdAsk;
    std::unique_ptr<SsdpAsk> ssdpAsk;
    std::map<quint32, std::unique_ptr<PageFetch>> pages;
};

void NetworkAsker::Start(const Ipv4Network &network, const std::vector<Target> &targets)
{
    if (running)
        return;
    running = true;
    asked = network;
    setup = RoundSetup();
    setup.options = options;
    setup.from = network.ip;
    setup.interfaceName = network.interfaceName;
    const quint32 own = network.ip.toIPv4Address();
    const quint32 mask = network.netmask.toIPv4Address();
    for (const Target &target : targets) {
        const quint32 address = qFromBigEndian(target.key);
        // Only hosts of the network, never this machine itself.
        if (network.IsIpv4() && (address & mask) == (own & mask) && address != own)
            setup.targets.insert(address);
    }
    if (setup.targets.empty()) {
        deadline.start(0);
        return;
    }
    // The pages first: the first HTTPS one loads the TLS backend, a wait of
    // 0.6 s and more under Wine that held up the loop in the round's middle:
    // the questions and the round's deadline come after it.
    StartPages(targets);
    deadline.start(options.roundMs);
    dnssdAsk = std::make_unique<DnssdAsk>(setup);
    ssdpAsk = std::make_unique<SsdpAsk>(setup);
}

void NetworkAsker::StartPages(const std::vector<Target> &targets)
{
    for (const Target &target : targets) {
        const quint32 address = qFromBigEndian(target.key);
        if (!target.page || !(target.web || target.secureWeb) ||
            setup.targets.count(address) == 0 || pages.count(address) > 0 ||
            pages.size() >= kMaxPages)
            continue;
        PageFetch::Request request;
        request.from = setup.from;
        request.address = address;
        request.secure = !target.web;
        request.port = request.secure ? options.secureWebPort : options.webPort;
        request.maxBytes = web::kMaxResponseBytes;
        request.deadlineMs = options.fetchMs;
        pages[address] = std::make_unique<PageFetch>(request);
    }
}

void NetworkAsker::End()
{
    if (!running)
        return;
    FindingsMap found;
    if (dnssdAsk)
        dnssdAsk->Collect(found);
    if (ssdpAsk)
        ssdpAsk->Collect(found);
    for (const auto &[address, fetch] : pages) {
        web::PageHead head;
        if (!web::ParsePageHead(fetch->Response(), &head))
            continue;
        head.certificateName = CollapsedText(fetch->CertificateName());
        if (head.server.isEmpty() && head.title.isEmpty() && head.certificateName.isEmpty())
            continue;
        found[KeyOf(address)].page = head;
    }
    Clear();
    running = false;
    emit Finished(asked, found);
}

void NetworkAsker::Clear()
{
    dnssdAsk.reset();
    ssdpAsk.reset();
    pages.clear();
}

} // namespace

std::unique_ptr<Asker> MakeNetworkAsker(const NetworkAskerOptions &options)
{
    return std::make_unique<NetworkAsker>(options);
}

std::unique_ptr<Asker> MakeNetworkAsker()
{
    return MakeNetworkAsker(NetworkAskerOptions());
}

} // namespace identify
