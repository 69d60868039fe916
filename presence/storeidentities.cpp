#include "presence/storefile.h"

#include "presence/cardlink.h"
#include "presence/clock.h"
#include "presence/presencelog.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

// What the identification learnt of each card's device: written per card,
// read back at start and with every device.
namespace presence::db {

namespace {

// Read back at most: the file is this program's, but a bound costs nothing.
constexpr qsizetype MaxListed = 64;

QString ServicesText(const QStringList &services)
{
    return QString::fromUtf8(
        QJsonDocument(QJsonArray::fromStringList(services)).toJson(QJsonDocument::Compact));
}

QString EvidenceText(const QList<identify::Evidence> &evidence)
{
    QJsonArray list;
    for (const identify::Evidence &item : evidence)
        list.append(QJsonObject{{QStringLiteral("source"), item.source},
                                {QStringLiteral("detail"), item.detail}});
    return QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Compact));
}

QJsonArray ListOf(const QVariant &text)
{
    const QJsonArray list = QJsonDocument::fromJson(text.toString().toUtf8()).array();
    return list.size() > MaxListed ? QJsonArray() : list;
}

} // namespace

const char *const IdentityColumns =
    "type, model, friendly_name, manufacturer, services, evidence, instances, udn";

identify::Identity IdentityOf(const QSqlQuery &query, int first)
{
    identify::Identity identity;
    if (query.value(first).isNull())
        return identity; // nothing learnt of this card
    identity.type = identify::TypeOfKey(query.value(first).toString());
    identity.model = query.value(first + 1).toString();
    identity.friendlyName = query.value(first + 2).toString();
    identity.manufacturer = query.value(first + 3).toString();
    for (const QJsonValue &service : ListOf(query.value(first + 4)))
        if (service.isString())
            identity.services.append(service.toString());
    for (const QJsonValue &item : ListOf(query.value(first + 5))) {
        const QJsonObject object = item.toObject();
        identity.evidence.append({object.value(QStringLiteral("source")).toString(),
                                  object.value(QStringLiteral("detail")).toString()});
        identity.thisMachine =
            identity.thisMachine || identity.evidence.back().source == QLatin1String("self");
    }
    for (const QJsonValue &instance : ListOf(query.value(first + 6)))
        if (instance.isString() && identity.instances.size() < identify::kMaxInstances)
            identity.instances.append(instance.toString());
    identity.udn = query.value(first + 7).toString();
    return identity;
}

bool WriteIdentity(QSqlDatabase &db, const Mac &mac, const identify::Identity &identity,
                   qint64 time, QSqlError &error)
{
    QSqlQuery upsert(db);
    if (!Select(upsert,
                QStringLiteral("INSERT INTO identities (mac, %1, learnt) VALUES (?, ?, ?, ?, ?, "
                               "?, ?, ?, ?, ?) ON CONFLICT (mac) DO UPDATE SET type = "
                               "excluded.type, model = excluded.model, friendly_name = "
                               "excluded.friendly_name, manufacturer = excluded.manufacturer, "
                               "services = excluded.services, evidence = excluded.evidence, "
                               "instances = excluded.instances, udn = excluded.udn, "
                               "learnt = excluded.learnt WHERE excluded.learnt >= learnt "
                               "RETURNING mac")
                    .arg(QLatin1String(IdentityColumns)),
                error,
                {Blob(mac), QString::fromLatin1(identify::TypeKey(identity.type)),
                 Text(identity.model), Text(identity.friendlyName), Text(identity.manufacturer),
                 ServicesText(identity.services), EvidenceText(identity.evidence),
                 ServicesText(identity.instances.mid(0, identify::kMaxInstances)),
                 Text(identity.udn), time}))
        return false;
    if (!upsert.next())
        return true; // the row holds later
    upsert.finish();
    // The announced signals that find the card again, as its identity is now.
    if (!Run(db, QStringLiteral("DELETE FROM card_signals WHERE mac = ?"), error, {Blob(mac)}))
        return false;
    for (const auto &[kind, key] : IdentitySignals(identity))
        if (!Run(db,
                 QStringLiteral("INSERT OR IGNORE INTO card_signals (kind, key, mac) VALUES "
                                "(?, ?, ?)"),
                 error, {kind, key, Blob(mac)}))
            return false;
    return true;
}

bool CopyIdentities(QSqlDatabase &from, QSqlDatabase &to, QSqlError &error)
{
    QSqlQuery rows(from);
    if (!Select(rows,
                QStringLiteral("SELECT mac, learnt, %1 FROM identities")
                    .arg(QLatin1String(IdentityColumns)),
                error))
        return false;
    while (rows.next())
        if (!WriteIdentity(to, MacOf(rows.value(0)), IdentityOf(rows, 2),
                           rows.value(1).toLongLong(), error))
            return false;
    return true;
}

} // namespace presence::db

namespace presence {

bool Store::SaveIdentities(const CardIdentities &identities, qint64 time)
{
    if (identities.empty())
        return true;
    if (!time)
        time = Now();
    const auto write = [&](QSqlDatabase db, bool immediate, QSqlError &error) {
        bool done = db::Run(
            db, immediate ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN"), error);
        for (auto it = identities.begin(); done && it != identities.end(); ++it)
            done = db::WriteIdentity(db, it->first, it->second, time, error);
        if (done && db::Run(db, QStringLiteral("COMMIT"), error))
            return true;
        QSqlError ignored;
        db::Run(db, QStringLiteral("ROLLBACK"), ignored);
        return false;
    };
    QSqlError error;
    bool written = false;
    if (d->OpenFile(error) == Fault::None) {
        QSqlDatabase file = d->File();
        written = d->SetBusyTimeout(file, error) && write(file, true, error);
    }
    if (!written && d->inMemory) // goes into the file with the scans it keeps
        written = write(d->Memory(), false, error);
    if (!written) {
        qCInfo(lcPresence) << d->fileName << "identities not saved:" << error.text();
        if (!d->inMemory)
            d->CloseFile();
    }
    return written;
}

CardIdentities Store::Identities()
{
    CardIdentities identities;
    QSqlDatabase db;
    QSqlError error;
    if (!d->Reading(db))
        return identities;
    QSqlQuery rows(db);
    if (!db::Select(rows,
                    QStringLiteral("SELECT mac, %1 FROM identities")
                        .arg(QLatin1String(db::IdentityColumns)),
                    error)) {
        qCInfo(lcPresence) << d->fileName << error.text();
        return identities;
    }
    while (rows.next())
        identities[db::MacOf(rows.value(0))] = db::IdentityOf(rows, 1);
    return identities;
}

} // namespace presence
