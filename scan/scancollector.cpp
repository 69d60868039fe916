#include "scan/scancollector.h"

#include <QMutexLocker>

void ScanCollector::SetPendingStatus(const QString &text)
{
    QMutexLocker locker(&mutex);
    status = text;
}

void ScanCollector::PublishHosts(const HostMap &answers)
{
    QMutexLocker locker(&mutex);
    hosts = answers;
    published = true;
}

QString ScanCollector::TakeStatus()
{
    QMutexLocker locker(&mutex);
    QString taken;
    taken.swap(status);
    return taken;
}

bool ScanCollector::Published() const
{
    QMutexLocker locker(&mutex);
    return published;
}

HostMap ScanCollector::Hosts() const
{
    QMutexLocker locker(&mutex);
    return hosts;
}
