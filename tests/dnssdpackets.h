#pragma once

// DNS-SD responses and UPnP descriptions as a device would send them, built
// byte by byte for the tests of what devices say of themselves.

#include <QByteArray>
#include <QList>

namespace testpackets {

constexpr quint16 Id = 0x4242;
constexpr quint32 Host = 0xC6336414;  // 198.51.100.20
constexpr quint32 Other = 0xC6336415; // 198.51.100.21

inline void Put16(QByteArray &out, int value)
{
    out.append(char(value >> 8)).append(char(value));
}

inline QByteArray Name(const QList<QByteArray> &labels)
{
    QByteArray out;
    for (const QByteArray &label : labels)
        out.append(char(label.size())).append(label);
    return out.append('\0');
}

inline QByteArray Record(const QByteArray &owner, int type, const QByteArray &data)
{
    QByteArray out = owner;
    Put16(out, type);
    Put16(out, 0x8001); // IN, cache flush
    Put16(out, 0);
    Put16(out, 120);
    Put16(out, int(data.size()));
    return out + data;
}

inline QByteArray Response(const QList<QByteArray> &records, int flags = 0x8400, quint16 id = Id)
{
    QByteArray out;
    Put16(out, id);
    Put16(out, flags);
    Put16(out, 0);
    Put16(out, int(records.size()));
    Put16(out, 0);
    Put16(out, 0);
    for (const QByteArray &record : records)
        out += record;
    return out;
}

inline QByteArray Srv(int port, const QByteArray &target)
{
    QByteArray out;
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, port);
    return out + target;
}

inline QByteArray Txt(const QList<QByteArray> &strings)
{
    QByteArray out;
    for (const QByteArray &text : strings)
        out.append(char(text.size())).append(text);
    return out;
}

// A printer's answer: its type, instance, SRV to its host, TXT and A.
inline QList<QByteArray> Printer(const QByteArray &instance, quint32 address = Host)
{
    const QByteArray full = Name({instance, "_ipp", "_tcp", "local"});
    const QByteArray host = Name({"imprimante", "local"});
    QByteArray a;
    Put16(a, int(address >> 16));
    Put16(a, int(address & 0xFFFF));
    return {Record(Name({"_services", "_dns-sd", "_udp", "local"}), 12,
                   Name({"_ipp", "_tcp", "local"})),
            Record(Name({"_ipp", "_tcp", "local"}), 12, full), Record(full, 33, Srv(631, host)),
            Record(full, 16, Txt({"ty=HP OfficeJet Pro 9010", "rp=ipp/print", "ty=twice"})),
            Record(host, 1, a)};
}

inline QByteArray Description(const QByteArray &inside, const QByteArray &before = {})
{
    return "<?xml version=\"1.0\"?>" + before +
           "<root xmlns=\"urn:schemas-upnp-org:device-1-0\"><device>" + inside + "</device></root>";
}
} // namespace testpackets
