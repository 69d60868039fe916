#pragma once

#include "scan/hostrecord.h"
#include "makers/vendortable.h"

#include <QString>
#include <QTableWidgetItem>

#include <map>
#include <vector>

class QButtonGroup;
class QTableWidget;

using CommentMap = std::map<QString, QString>;

// The item of the "Adresse IP" column. It carries, under Qt::UserRole, the
// address as a number with the first octet most significant.
class TableWidgetIPItem : public QTableWidgetItem
{
public:
    explicit TableWidgetIPItem(const QString &text) : QTableWidgetItem(text, Type) {}
};

// "00:1A:2B:3C:4D:5E": every byte, upper-case, joined by ':'.
QString MacToText(std::vector<unsigned char> bytes);
// "001A2B" from the first three bytes; empty when there are fewer than three.
QString VendorKey(const std::vector<unsigned char> &mac);
// The host's web root, "http://192.168.1.20/".
QString WebAddressText(quint32 key);

// Five columns with their header labels, sorting off.
void SetupHostColumns(QTableWidget *table);

// Writes one row per host of hosts, in key order, into a table whose row
// count is already hosts.size(): comment, address, MAC text, maker (only
// while vendors is not empty) and, for a host with a web server, a
// "Connecter" button that joins webButtons.
void FillHostRows(QTableWidget *table, const HostMap &hosts, const CommentMap &comments,
                  const VendorTable &vendors, QButtonGroup &webButtons);
