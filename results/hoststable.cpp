#include "results/hoststable.h"

#include <QButtonGroup>
#include <QCoreApplication>
#include <QHeaderView>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QTableWidget>

#include <algorithm>

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

// A maker cell. When the column is too narrow for the name, the name is
// elided on screen and offered whole as the tooltip; a tooltip set on the
// item (that of a locally administered address) is kept as it is.
class MakerItem : public QTableWidgetItem
{
public:
    explicit MakerItem(const QString &text) : QTableWidgetItem(text) {}

    QVariant data(int role) const override
    {
        if (role != Qt::ToolTipRole)
            return QTableWidgetItem::data(role);
        const QVariant own = QTableWidgetItem::data(role);
        if (own.isValid())
            return own;
        const QTableWidget *table = tableWidget();
        if (!table)
            return {};
        // Sized to its contents, a column is one pixel wider for the grid.
        const QModelIndex index = table->model()->index(row(), column());
        const int needed = table->sizeHintForIndex(index).width() + (table->showGrid() ? 1 : 0);
        if (needed <= table->columnWidth(column()))
            return {};
        return text();
    }
};

// The width the columns have in the table: its own, less its frame, its row
// header and the vertical scroll bar when the rows need it. Computed from
// the sizes rather than read from the viewport, which follows the rows only
// after the next layout pass.
int ColumnRoom(const QTableWidget *table)
{
    const int frame = 2 * table->frameWidth();
    int room = table->width() - frame;
    const QHeaderView *rows = table->verticalHeader();
    if (!rows->isHidden())
        room -= std::clamp(rows->sizeHint().width(), rows->minimumWidth(), rows->maximumWidth());
    const QHeaderView *columns = table->horizontalHeader();
    const int height =
        table->height() - frame - (columns->isHidden() ? 0 : columns->sizeHint().height());
    const Qt::ScrollBarPolicy policy = table->verticalScrollBarPolicy();
    if (policy == Qt::ScrollBarAlwaysOn ||
        (policy == Qt::ScrollBarAsNeeded && rows->length() > height))
        room -= table->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr,
                                            table->verticalScrollBar());
    return room;
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
    // A maker too long for its column is elided on its one line, not
    // wrapped onto a second one that the row's height cuts off.
    table->setWordWrap(false);
}

void FillHostRows(QTableWidget *table, const HostMap &hosts, const CommentMap &comments,
                  const VendorTable &vendors, const MakerIndex &makers, QButtonGroup &webButtons)
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
            const Maker maker = LookupMaker(makers, record.mac);
            auto *item = new MakerItem(maker.name);
            if (maker.locallyAdministered)
                item->setToolTip(Translate("Adresse administrée localement : souvent "
                                           "l'adresse aléatoire d'un téléphone ou d'une "
                                           "tablette, ou une machine virtuelle"));
            table->setItem(row, VendorColumn, item);
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

void FitHostColumns(QTableWidget *table)
{
    for (int column = 0; column < table->columnCount(); ++column)
        table->resizeColumnToContents(column);
    if (table->columnCount() != ColumnCount)
        return;
    int others = 0;
    for (int column = 0; column < ColumnCount; ++column)
        if (column != VendorColumn)
            others += table->columnWidth(column);
    const int least = table->horizontalHeader()->sectionSizeHint(VendorColumn);
    const int cap = std::max(ColumnRoom(table) - others, least);
    if (table->columnWidth(VendorColumn) > cap)
        table->setColumnWidth(VendorColumn, cap);
}
