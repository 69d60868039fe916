#include "app/historydialog.h"
#include "app/historytable.h"

#include "presence/clock.h"
#include "presence/historyrows.h"
#include "results/hostrow.h"
#include "results/hosttext.h"
#include "results/typeicons.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTableWidget>
#include <QThread>
#include <QVBoxLayout>

#include <algorithm>

using namespace historytable;

namespace {

constexpr Qt::ItemFlags ReadOnlyFlags = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
// What a click on a header sorts by, where it is not the text.
constexpr int SortRole = Qt::UserRole + 1;
// A column fitted to its contents is at most this wide: a long name or
// comment is in its tooltip.
constexpr int MaxFittedWidth = 260;

class SortItem : public QTableWidgetItem
{
public:
    using QTableWidgetItem::QTableWidgetItem;

    bool operator<(const QTableWidgetItem &other) const override
    {
        const QVariant mine = data(SortRole);
        const QVariant theirs = other.data(SortRole);
        if (mine.isValid() && theirs.isValid())
            return mine.toLongLong() < theirs.toLongLong();
        return QString::localeAwareCompare(text().toCaseFolded(), other.text().toCaseFolded()) < 0;
    }
};

QTableWidgetItem *Cell(const QString &text, const QVariant &sortKey = QVariant())
{
    auto *item = new SortItem(text);
    item->setFlags(ReadOnlyFlags);
    if (sortKey.isValid())
        item->setData(SortRole, sortKey);
    // Comments and names are anyone's text: never read as markup.
    if (!text.isEmpty())
        item->setToolTip(PlainTextMarkup(text));
    return item;
}

// The type of a device, with its icon, and why as its tooltip; empty for a
// device of unknown type.
QTableWidgetItem *TypeCell(const identify::Identity &identity)
{
    const QIcon icon = TypeIcon(identity);
    QTableWidgetItem *item = Cell(icon.isNull() ? QString() : identify::ShownType(identity));
    item->setIcon(icon);
    item->setToolTip(PlainTextMarkup(identify::Tooltip(ShownIdentity(identity))));
    return item;
}

qint64 PresentMs(const PresenceStrip &strip)
{
    qint64 total = 0;
    for (const presence::PresenceSpan &span : strip.spans)
        if (span.present)
            total += span.to - span.from;
    return total;
}

} // namespace
HistoryDialog::HistoryDialog(const presence::Store &historyStore,
                             std::optional<presence::NetworkKey> shownNetwork,
                             const HostPlace &networkPlace, const CommentMap &userComments,
                             const MakerIndex &makerIndex, QWidget *parent)
    : QDialog(parent), network(std::move(shownNetwork)), place(networkPlace),
      comments(userComments), makers(makerIndex)
{
    qRegisterMetaType<HistoryReading>();
    setObjectName(QStringLiteral("HistoryDialog"));
    setWindowTitle(tr("Historique"));
    setModal(false);
    resize(1240, 460);
    setSizeGripEnabled(true);

    auto *layout = new QVBoxLayout(this);
    Network_ = new QLabel(this);
    Network_->setObjectName(QStringLiteral("Network_"));
    Network_->setTextFormat(Qt::PlainText);
    layout->addWidget(Network_);

    Filter_ = new QLineEdit(this);
    Filter_->setObjectName(QStringLiteral("Filter_"));
    Filter_->setPlaceholderText(
        tr("Filtrer\u00a0: adresse, MAC, fabricant, nom, type, modèle, commentaire"));
    Filter_->setClearButtonEnabled(true);
    layout->addWidget(Filter_);

    Devices_ = new QTableWidget(this);
    Devices_->setObjectName(QStringLiteral("Devices_"));
    Devices_->setColumnCount(ColumnCount);
    Devices_->setHorizontalHeaderLabels({tr("Commentaire"), tr("Adresse IP"), tr("Adresse MAC"),
                                         tr("Fabricant"), tr("Nom"), tr("Type"), tr("Modèle"),
                                         tr("Vu la première fois"), tr("Vu la dernière fois"),
                                         QString(), tr("7 derniers jours")});
    Devices_->setSelectionBehavior(QAbstractItemView::SelectRows);
    Devices_->setSelectionMode(QAbstractItemView::SingleSelection);
    Devices_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Devices_->setAlternatingRowColors(true);
    Devices_->setWordWrap(false);
    Devices_->setItemDelegateForColumn(StripColumn, new PresenceStripDelegate(Devices_));
    Devices_->verticalHeader()->hide();
    QHeaderView *header = Devices_->horizontalHeader();
    header->setStretchLastSection(true);
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(true);
    header->setSortIndicator(-1, Qt::AscendingOrder);
    layout->addWidget(Devices_, 1);

    Status_ = new QLabel(this);
    Status_->setObjectName(QStringLiteral("Status_"));
    Status_->setTextFormat(Qt::PlainText);
    Status_->setWordWrap(true);
    layout->addWidget(Status_);

    auto *buttons = new QHBoxLayout();
    Forget_ = new QPushButton(tr("&Oublier…"), this);
    Forget_->setObjectName(QStringLiteral("Forget_"));
    Merge_ = new QPushButton(tr("Fu&sionner…"), this);
    Merge_->setObjectName(QStringLiteral("Merge_"));
    Split_ = new QPushButton(tr("Sé&parer"), this);
    Split_->setObjectName(QStringLiteral("Split_"));
    Export_ = new QPushButton(tr("&Exporter…"), this);
    Export_->setObjectName(QStringLiteral("Export_"));
    Close_ = new QPushButton(tr("&Fermer"), this);
    Close_->setObjectName(QStringLiteral("Close_"));
    buttons->addWidget(Forget_);
    buttons->addWidget(Merge_);
    buttons->addWidget(Split_);
    buttons->addWidget(Export_);
    buttons->addStretch(1);
    buttons->addWidget(Close_);
    layout->addLayout(buttons);
    // Return in the filter neither asks to forget nor closes.
    for (QPushButton *button : {Forget_, Merge_, Split_, Export_, Close_})
        button->setAutoDefault(false);
    for (QPushButton *button : {Forget_, Merge_, Split_})
        button->setEnabled(false);
    Export_->setEnabled(network.has_value());

    connect(Forget_, &QPushButton::clicked, this, &HistoryDialog::Forget);
    connect(Merge_, &QPushButton::clicked, this, &HistoryDialog::Merge);
    connect(Split_, &QPushButton::clicked, this, &HistoryDialog::Split);
    connect(Export_, &QPushButton::clicked, this, &HistoryDialog::Export);
    connect(Close_, &QPushButton::clicked, this, &QDialog::accept);
    connect(Filter_, &QLineEdit::textChanged, this, &HistoryDialog::ApplyFilter);
    connect(header, &QHeaderView::sortIndicatorChanged, this, &HistoryDialog::SortBy);
    connect(header, &QHeaderView::sectionResized, this,
            [this](int column) { ColumnResized(column); });
    connect(Devices_, &QTableWidget::itemSelectionChanged, this, [this] {
        if (filling)
            return;
        const QList<QTableWidgetItem *> selected = Devices_->selectedItems();
        Choose(selected.isEmpty() ? QString()
                                  : Devices_->item(selected.first()->row(), MacColumn)->text());
    });

    if (network) {
        Network_->setText(tr("Lecture de l'historique de %0…").arg(network->cidr));
        readerThread = new QThread();
        reader = new HistoryReader(historyStore.FileName(), *network);
        reader->moveToThread(readerThread);
        connect(reader, &HistoryReader::Done, this, &HistoryDialog::Show);
        connect(reader, &HistoryReader::Forgotten, this, &HistoryDialog::Forgotten);
        connect(reader, &HistoryReader::Merged, this, &HistoryDialog::Merged);
        connect(reader, &HistoryReader::Separated, this, &HistoryDialog::Separated);
        readerThread->start();
    }
    Reload();
}

HistoryDialog::~HistoryDialog()
{
    if (waking) {
        waking->wait();
        delete waking;
    }
    // The reader and its store's connection go in their own thread, which
    // made them, once a read under way has ended (a locked file gives up
    // within the store's wait); then the thread. Left to end by itself, it
    // outlived the program's end under Wine, which then never exited.
    if (readerThread) {
        QMetaObject::invokeMethod(
            reader, [doomed = reader] { delete doomed; }, Qt::BlockingQueuedConnection);
        readerThread->quit();
        readerThread->wait();
        delete readerThread;
    }
}

void HistoryDialog::Reload()
{
    if (!network) {
        Show(HistoryReading());
        return;
    }
    if (reading) {
        readAgain = true;
        return;
    }
    reading = true;
    const qint64 now = presence::Now();
    QMetaObject::invokeMethod(reader, [shown = reader, now] { shown->Read(now); });
}

void HistoryDialog::Show(const HistoryReading &read)
{
    reading = false;
    devices = read.devices;
    rows = presence::HistoryRows(devices, comments, makers, place);
    if (!network)
        Network_->setText(tr("Trelvan n'a encore rien vu de ce réseau."));
    else if (rows.empty())
        Network_->setText(tr("Aucun appareil dans l'historique de %0.").arg(network->cidr));
    else
        Network_->setText(rows.size() == 1 ? tr("Un appareil vu sur %0\u00a0:").arg(network->cidr)
                                           : tr("%0 appareils vus sur %1\u00a0:")
                                                 .arg(QString::number(rows.size()), network->cidr));

    filling = true;
    Devices_->clearContents();
    Devices_->setRowCount(int(rows.size()));
    const QBrush greyed = palette().brush(QPalette::Disabled, QPalette::Text);
    for (int row = 0; row < int(rows.size()); ++row) {
        const HistoryRow &shown = rows[std::size_t(row)];
        QTableWidgetItem *cells[] = {
            Cell(shown.host.comment),
            Cell(shown.host.ip, qint64(HostOrderAddress(shown.host.key))),
            Cell(shown.host.mac),
            Cell(shown.host.maker),
            Cell(shown.host.name),
            TypeCell(shown.host.identity),
            Cell(ShownIdentity(shown.host.identity).model),
            Cell(SeenText(shown.firstSeen), shown.firstSeen),
            Cell(shown.present ? tr("présent") : AbsentText(shown.lastSeen, read.now),
                 shown.present ? read.now : shown.lastSeen),
            Cell(QString(), qint64(shown.present)),
            Cell(QString()),
        };
        if (shown.macs.size() > 1)
            cells[MacColumn]->setToolTip(PlainTextMarkup(
                tr("Cartes de cet appareil\u00a0: %0").arg(shown.macs.join(QStringLiteral(", ")))));
        if (!shown.present)
            cells[LastSeenColumn]->setToolTip(PlainTextMarkup(
                tr("Vu pour la dernière fois le %0").arg(SeenText(shown.lastSeen))));
        if (std::size_t(row) < read.strips.size()) {
            const PresenceStrip &strip = read.strips[std::size_t(row)];
            cells[StripColumn]->setData(Qt::UserRole, QVariant::fromValue(strip));
            cells[StripColumn]->setData(SortRole, PresentMs(strip));
        }
        for (int column = 0; column < ColumnCount; ++column) {
            if (!shown.present)
                cells[column]->setForeground(greyed);
            Devices_->setItem(row, column, cells[column]);
        }
        if (!shown.present) {
            auto *wake = new QPushButton(tr("Réveiller"));
            wake->setObjectName(QStringLiteral("Wake_"));
            wake->setAutoDefault(false);
            wake->setEnabled(!waking);
            const presence::Device device = devices[std::size_t(row)];
            connect(wake, &QPushButton::clicked, this, [this, device] {
                Choose(MacToText(device.record.mac));
                Wake(device);
            });
            Devices_->setCellWidget(row, WakeColumn, wake);
        }
    }
    if (sortColumn >= 0)
        Devices_->sortItems(sortColumn, sortOrder);
    FitColumns();
    filling = false;
    ApplyFilter();
    Export_->setEnabled(network.has_value());
    if (!read.status.isEmpty())
        ShowStatus(read.status);
    if (network)
        emit DevicesShown(*network, devices);
    if (readAgain) {
        readAgain = false;
        Reload();
    }
}

void HistoryDialog::FitColumns()
{
    const bool wasFilling = filling;
    filling = true;
    QHeaderView *header = Devices_->horizontalHeader();
    for (int column = 0; column < StripColumn; ++column) {
        if (sizedColumns.count(column))
            continue;
        Devices_->resizeColumnToContents(column);
        if (header->sectionSize(column) > MaxFittedWidth)
            header->resizeSection(column, MaxFittedWidth);
    }
    // Opened at a size that shows every column, once there are rows to show;
    // the user's size after that.
    if (!fitted && !rows.empty()) {
        fitted = true;
        int wanted = StripWidth + 2 * Devices_->frameWidth() +
                     Devices_->verticalScrollBar()->sizeHint().width();
        for (int column = 0; column < StripColumn; ++column)
            wanted += header->sectionSize(column);
        const QMargins margins = layout()->contentsMargins();
        wanted += margins.left() + margins.right();
        if (const QScreen *shown = screen())
            wanted = std::min(wanted, shown->availableGeometry().width());
        if (wanted > width())
            resize(wanted, height());
    }
    filling = wasFilling;
}

void HistoryDialog::ColumnResized(int column)
{
    // The last column takes what the others leave.
    if (!filling && column != StripColumn)
        sizedColumns.insert(column);
}

void HistoryDialog::SortBy(int column, Qt::SortOrder order)
{
    sortColumn = column;
    sortOrder = order;
    if (column < 0) {
        Reload(); // the store's order again
        return;
    }
    const bool wasFilling = filling;
    filling = true;
    Devices_->sortItems(column, order);
    filling = wasFilling;
    ApplySelection();
}
