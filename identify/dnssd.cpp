#include "identify/dnssd.h"

#include "identify/freetext.h"
#include "network/namerule.h"

#include <QSet>

#include <string>
#include <vector>

namespace identify::dnssd {

namespace {

constexpr quint16 kResponseFlag = 0x8000;
constexpr quint16 kOpcodeMask = 0x7800;
constexpr quint16 kRcodeMask = 0x000F;
constexpr quint16 kTypeA = 1;
constexpr quint16 kTypePtr = 12;
constexpr quint16 kTypeTxt = 16;
constexpr quint16 kTypeSrv = 33;
constexpr quint16 kClassIn = 1;
// The top bit of a multicast DNS record's class is the cache-flush flag.
constexpr quint16 kClassMask = 0x7FFF;
constexpr qsizetype kMaxNameBytes = 255;
constexpr int kMaxLabelBytes = 63;
constexpr int kMaxServiceNameBytes = 15; // RFC 6335

void Put16(QByteArray &out, quint16 value)
{
    out.append(static_cast<char>(value >> 8));
    out.append(static_cast<char>(value & 0xFF));
}

void PutName(QByteArray &out, const Name &name)
{
    for (const QByteArray &label : name) {
        out.append(static_cast<char>(label.size()));
        out.append(label);
    }
    out.append('\0');
}

QByteArray Query(const QList<Name> &questions, quint16 id)
{
    QByteArray out;
    Put16(out, id);
    Put16(out, 0); // a standard query
    Put16(out, static_cast<quint16>(questions.size()));
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, 0);
    for (const Name &name : questions) {
        PutName(out, name);
        Put16(out, kTypePtr);
        Put16(out, kClassIn);
    }
    return out;
}

bool SameLabel(const QByteArray &a, const QByteArray &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// "_name" of a service: an underscore, then letters, digits and hyphens.
bool ServiceLabel(const QByteArray &label)
{
    if (label.size() < 2 || label.size() > kMaxServiceNameBytes + 1 || label[0] != '_')
        return false;
    for (qsizetype i = 1; i < label.size(); ++i) {
        const char c = label[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-'))
            return false;
    }
    return true;
}

// The service type of the last three labels of name from `from` on
// ("_ipp", "_tcp", "local"), in lower case; empty when they are not one.
QString ServiceType(const Name &name, qsizetype from)
{
    if (name.size() - from != 3 || !ServiceLabel(name[from]) || !SameLabel(name[from + 2], "local"))
        return {};
    if (!SameLabel(name[from + 1], "_tcp") && !SameLabel(name[from + 1], "_udp"))
        return {};
    return QString::fromLatin1(name[from] + '.' + name[from + 1]).toLower();
}

// An instance's name: one label of text before a service type.
bool InstanceName(const Name &name)
{
    return name.size() == 4 && !ServiceType(name, 1).isEmpty() && !CheckedText(name[0]).isEmpty();
}

bool HostName(const Name &name)
{
    std::vector<std::string> labels;
    for (const QByteArray &label : name)
        labels.push_back(label.toStdString());
    return namerule::CheckNameLabels(labels) == namerule::NameFault::None;
}

// A key that two spellings of one name share: each label's length, then
// its bytes in ASCII lower case.
QByteArray NameKey(const Name &name)
{
    QByteArray key;
    for (const QByteArray &label : name) {
        key.append(static_cast<char>(label.size()));
        key.append(label.toLower());
    }
    return key;
}

// Bounds-checked reads of a received message.
class Reader
{
public:
    explicit Reader(const QByteArray &bytes)
        : data(reinterpret_cast<const uchar *>(bytes.constData())), size(bytes.size())
    {
    }

    bool Read16(qsizetype &at, quint16 *value) const
    {
        if (at < 0 || size - at < 2)
            return false;
        *value = static_cast<quint16>(data[at] << 8 | data[at + 1]);
        at += 2;
        return true;
    }

    bool Read32(qsizetype &at, quint32 *value) const
    {
        quint16 high = 0, low = 0;
        if (!Read16(at, &high) || !Read16(at, &low))
            return false;
        *value = quint32(high) << 16 | low;
        return true;
    }

    bool Skip(qsizetype &at, qsizetype count) const
    {
        if (at < 0 || size - at < count)
            return false;
        at += count;
        return true;
    }

    const uchar *At(qsizetype at) const { return data + at; }

    // Reads the name at `at` into *name, following compression pointers,
    // which must each point before themselves, at most kMaxHops of them;
    // `at` moves past the name as it stands in the record.
    bool ReadName(qsizetype &at, Name *name) const
    {
        name->clear();
        qsizetype cursor = at;
        qsizetype length = 0;
        int hops = 0;
        bool jumped = false;
        for (;;) {
            if (cursor < 0 || cursor >= size)
                return false;
            const uchar byte = data[cursor];
            if ((byte & 0xC0) == 0xC0) {
                if (cursor + 1 >= size || ++hops > kMaxHops)
                    return false;
                const qsizetype target = qsizetype(byte & 0x3F) << 8 | data[cursor + 1];
                if (target >= cursor)
                    return false;
                if (!jumped)
                    at = cursor + 2;
                jumped = true;
                cursor = target;
                continue;
            }
            if (byte & 0xC0)
                return false; // extended label types are not used
            if (byte == 0) {
                if (!jumped)
                    at = cursor + 1;
                return true;
            }
            if (byte > kMaxLabelBytes || size - cursor - 1 < byte)
                return false;
            length += byte + 1;
            if (length > kMaxNameBytes)
                return false;
            name->append(QByteArray(reinterpret_cast<const char *>(data + cursor + 1), byte));
            cursor += 1 + byte;
        }
    }

private:
    const uchar *data;
    qsizetype size;
};

bool ServicesName(const Name &name)
{
    return name.size() == 4 && SameLabel(name[0], "_services") && SameLabel(name[1], "_dns-sd") &&
           SameLabel(name[2], "_udp") && SameLabel(name[3], "local");
}

// The pairs of a TXT record's data, bounded; a string that is no pair
// (no key, a key of other bytes) is passed over, as is a repeated key.
QList<TxtPair> TxtPairs(const uchar *data, qsizetype size)
{
    QList<TxtPair> pairs;
    QSet<QByteArray> keys;
    for (qsizetype at = 0; at < size && pairs.size() < kMaxTxtPairs;) {
        const qsizetype length = data[at++];
        if (size - at < length)
            break;
        const QByteArray text(reinterpret_cast<const char *>(data + at), length);
        at += length;
        const qsizetype equal = text.indexOf('=');
        const QByteArray key = (equal < 0 ? text : text.left(equal)).toLower();
        bool keyOk = !key.isEmpty() && key.size() <= kMaxTxtKeyBytes;
        for (const char c : key)
            keyOk = keyOk && c >= 0x20 && c <= 0x7E;
        if (!keyOk || keys.contains(key))
            continue;
        keys.insert(key);
        TxtPair pair{key, {}};
        if (equal >= 0 && equal + 1 < text.size()) {
            pair.value = CheckedText(text.mid(equal + 1));
            if (pair.value.isEmpty())
                continue;
        }
        pairs.append(pair);
    }
    return pairs;
}

} // namespace

QByteArray ServicesQuery(quint16 id)
{
    return Query({Name{"_services", "_dns-sd", "_udp", "local"}}, id);
}

QByteArray InstancesQuery(const QStringList &serviceTypes, quint16 id)
{
    QList<Name> questions;
    for (const QString &type : serviceTypes) {
        const QList<QByteArray> parts = type.toLatin1().split('.');
        if (type.size() > 2 * kMaxLabelBytes || parts.size() != 2)
            continue;
        const Name name{parts[0], parts[1], "local"};
        if (ServiceType(name, 0).isEmpty() || questions.contains(name))
            continue;
        questions.append(name);
        if (questions.size() == kMaxQuestions)
            break;
    }
    return questions.isEmpty() ? QByteArray() : Query(questions, id);
}

bool ParseResponse(const QByteArray &datagram, quint16 id, Records *records)
{
    const Reader reader(datagram);
    qsizetype at = 0;
    quint16 answerId = 0, flags = 0, questions = 0, answers = 0, authorities = 0, additionals = 0;
    if (!reader.Read16(at, &answerId) || !reader.Read16(at, &flags) ||
        !reader.Read16(at, &questions) || !reader.Read16(at, &answers) ||
        !reader.Read16(at, &authorities) || !reader.Read16(at, &additionals))
        return false;
    if (answerId != id || !(flags & kResponseFlag) || (flags & kOpcodeMask) || (flags & kRcodeMask))
        return false;
    if (questions > kMaxQuestions)
        return false;
    Name name;
    for (unsigned i = 0; i < questions; ++i)
        if (!reader.ReadName(at, &name) || !reader.Skip(at, 4))
            return false;
    Records read;
    const int count = qMin(int(answers) + authorities + additionals, kMaxRecords);
    for (int i = 0; i < count; ++i) {
        quint16 type = 0, recordClass = 0, dataLength = 0;
        quint32 ttl = 0;
        if (!reader.ReadName(at, &name) || !reader.Read16(at, &type) ||
            !reader.Read16(at, &recordClass) || !reader.Read32(at, &ttl) ||
            !reader.Read16(at, &dataLength))
            return false;
        const qsizetype dataStart = at;
        if (!reader.Skip(at, dataLength))
            return false;
        if ((recordClass & kClassMask) != kClassIn)
            continue;
        // A name inside the data must end inside it, though its pointers
        // may lead anywhere before.
        Name target;
        qsizetype targetAt = dataStart;
        switch (type) {
        case kTypePtr:
            if (!reader.ReadName(targetAt, &target) || targetAt > at)
                return false;
            if (ServicesName(name)) {
                const QString serviceType = ServiceType(target, 0);
                if (!serviceType.isEmpty() && !read.serviceTypes.contains(serviceType))
                    read.serviceTypes.append(serviceType);
            } else if (!ServiceType(name, 0).isEmpty() && InstanceName(target) &&
                       NameKey(target.mid(1)) == NameKey(name)) {
                read.instances.append(target);
            }
            break;
        case kTypeSrv: {
            quint16 priority = 0, weight = 0, port = 0;
            if (!reader.Read16(targetAt, &priority) || !reader.Read16(targetAt, &weight) ||
                !reader.Read16(targetAt, &port) || !reader.ReadName(targetAt, &target) ||
                targetAt > at)
                return false;
            if (InstanceName(name) && !target.isEmpty() && HostName(target))
                read.services.append({name, target, port});
            break;
        }
        case kTypeTxt:
            if (InstanceName(name) && dataLength <= kMaxTxtBytes)
                read.texts.append({name, TxtPairs(reader.At(dataStart), dataLength)});
            break;
        case kTypeA: {
            quint32 address = 0;
            if (dataLength == 4 && reader.Read32(targetAt, &address) && HostName(name))
                read.addresses.append({name, address});
            break;
        }
        default:
            break;
        }
    }
    for (const QString &type : std::as_const(read.serviceTypes))
        if (!records->serviceTypes.contains(type))
            records->serviceTypes.append(type);
    records->instances += read.instances;
    records->services += read.services;
    records->texts += read.texts;
    records->addresses += read.addresses;
    return true;
}

QString Service::Txt(const char *key) const
{
    for (const TxtPair &pair : txt)
        if (pair.key == key)
            return pair.value;
    return {};
}

QStringList HostServices::Types() const
{
    QStringList types;
    for (const Service &service : services)
        if (!types.contains(service.type))
            types.append(service.type);
    return types;
}

HostServices FromHost(const Records &gathered, quint32 source)
{
    HostServices host;
    QSet<QByteArray> hostKeys;
    for (const Records::Address &record : gathered.addresses) {
        if (record.address != source || hostKeys.contains(NameKey(record.host)))
            continue;
        hostKeys.insert(NameKey(record.host));
        host.hostNames.append(QString::fromUtf8(record.host.join('.')));
    }
    QSet<QByteArray> instanceKeys;
    for (const Records::Service &record : gathered.services) {
        const QByteArray instanceKey = NameKey(record.instance);
        if (!hostKeys.contains(NameKey(record.target)) || instanceKeys.contains(instanceKey))
            continue;
        if (host.services.size() == kMaxServices)
            break;
        instanceKeys.insert(instanceKey);
        Service service;
        service.type = ServiceType(record.instance, 1);
        service.instance = CheckedText(record.instance[0]);
        service.port = record.port;
        for (const Records::Text &text : gathered.texts)
            if (NameKey(text.instance) == instanceKey) {
                service.txt = text.pairs;
                break;
            }
        host.services.append(service);
    }
    return host;
}

} // namespace identify::dnssd
