#include "results/hoststable.h"

#include <QButtonGroup>
#include <QCoreApplication>
#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>

namespace {

enum Column
{
    CommentColumn,
    AddressColumn,
    MacColumn,
    VendorColumn,
    WebColumn,
    ColumnCount
};

// The user may edit comments only; everything else can be selected and copied.
constexpr Qt::ItemFlags ReadOnlyFlags = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
constexpr Qt::ItemFlags CommentFlags = ReadOnlyFlags | Qt::ItemIsEditable;

QString Translate(const char *text)
{
    return QCoreApplication::translate("TrelvanWindow", text);
}

} // namespace

QString WebAddressText(quint32 key)
{
    return QStringLiteral("http://%1/").arg(AddressText(key));
}

void SetupHostColumns(QTableWidget *table)
{
    table->setColumnCount(ColumnCount);
    table->setHorizontalHeaderLabels({Translate("Commentaire"), Translate("Adresse IP"),
                                      Translate("Adresse MAC"), Translate("Fabricant"),
                                      Translate("Site web ?")});
    table->setSortingEnabled(false);
}

void FillHostRows(QTableWidget *table, const HostMap &hosts, const CommentMap &comments,
                  const VendorTable &vendors, QButtonGroup &webButtons)
{
    int row = 0;
    for (const auto &[key, record] : hosts) {
        auto *address = new TableWidgetIPItem(AddressText(key));
        address->setFlags(ReadOnlyFlags);
        address->setData(Qt::UserRole, static_cast<uint>(HostOrderAddress(key)));
        address->setToolTip(record.name);
        table->setItem(row, AddressColumn, address);

        const QString macText = MacToText(record.mac);
        table->setItem(row, MacColumn, new QTableWidgetItem(macText));
        table->item(row, MacColumn)->setFlags(ReadOnlyFlags);

        const auto comment = comments.find(macText);
        table->setItem(
            row, CommentColumn,
            new QTableWidgetItem(comment != comments.end() ? comment->second : QString()));
        table->item(row, CommentColumn)->setFlags(CommentFlags);

        if (!vendors.empty()) {
            // An address too short to hold an OUI gets an empty maker cell.
            const QString vendorKey = VendorKey(record.mac);
            const auto vendor = vendorKey.isEmpty() ? vendors.end() : vendors.find(vendorKey);
            table->setItem(
                row, VendorColumn,
                new QTableWidgetItem(vendor != vendors.end() ? vendor->second : QString()));
            table->item(row, VendorColumn)->setFlags(ReadOnlyFlags);
        }

        table->setItem(row, WebColumn, new QTableWidgetItem(QString()));
        if (record.webServer) {
            auto *button = new QPushButton(Translate("Connecter"));
            button->setObjectName(WebAddressText(key));
            table->setCellWidget(row, WebColumn, button);
            webButtons.addButton(button);
            button->show();
        }
        ++row;
    }
}
