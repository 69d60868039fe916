// The window's part of the identification: what the devices of the scanned
// network say they are, asked after a scan when due, kept by the recorder
// and put on the rows on a later tick.
#include "app/trelvanwindow.h"

#include "presence/clock.h"
#include "presence/recorder.h"

#include <QMutexLocker>

void TrelvanWindow::StartIdentification()
{
    identification = std::make_unique<Identification>(makerIndex);
    identification->SetClock(&presence::Now); // the history's, which tests set
    connect(identification.get(), &Identification::Identified, this, &TrelvanWindow::OnIdentified);
    // What was learnt before, read off this thread: the file may be slow.
    connect(recorder, &presence::Recorder::IdentitiesRead, this,
            &TrelvanWindow::RememberIdentities);
    QMetaObject::invokeMethod(
        recorder, [target = recorder] { target->ReadIdentities(); }, Qt::QueuedConnection);
}

void TrelvanWindow::RememberIdentities(const CardIdentities &known)
{
    identification->Remember(known);
    if (!known.empty())
        ShowIdentities();
}

void TrelvanWindow::OnIdentified(const Ipv4Network &network, const CardIdentities &changed)
{
    if (changed.empty())
        return;
    QMetaObject::invokeMethod(
        recorder, [target = recorder, changed] { target->SaveIdentities(changed); },
        Qt::QueuedConnection);
    if (network.SameNetwork(scannedNetwork))
        ShowIdentities();
}

void TrelvanWindow::ShowIdentities()
{
    QMutexLocker locker(&mutex);
    if (shownHosts.empty())
        return; // the first table attaches them itself
    identification->Attach(scannedNetwork, shownHosts);
    if (latestHosts.empty())
        latestHosts = shownHosts;
    else
        identification->Attach(scannedNetwork, latestHosts);
    latestAttached = true;
    identitiesChanged = true;
    RebuildHosts();
}
