#include "app/historydialog.h"

#include "presence/clock.h"
#include "presence/timeline.h"
#include "presence/wakeonlan.h"
#include "results/hostrow.h"
#include "results/hosttext.h"

#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTableWidget>
#include <QThread>
#include <QVBoxLayout>

#include <algorithm>

namespace {

enum Column
{
    CommentColumn,
    AddressColumn,
    MacColumn,
    MakerColumn,
    NameColumn,
    FirstSeenColumn,
    LastSeenColumn,
    WakeColumn,
    StripColumn,
    ColumnCount
};

// The columns the filter looks in.
constexpr Column FilteredColumns[] = {CommentColumn, AddressColumn, MacColumn, MakerColumn,
                                      NameColumn};

constexpr Qt::ItemFlags ReadOnlyFlags = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
// What a click on a header sorts by, where it is not the text.
constexpr int SortRole = Qt::UserRole + 1;
// A column fitted to its contents is at most this wide: a long name or
// comment is in its tooltip.
constexpr int MaxFittedWidth = 260;
// How long closing waits for a read under way before leaving it to end.
constexpr unsigned long ReaderWaitMs = 500;

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

qint64 PresentMs(const PresenceStrip &strip)
{
    qint64 total = 0;
    for (const presence::PresenceSpan &span : strip.spans)
        if (span.present)
            total += span.to - span.from;
    return total;
}

} // namespace

QString SeenText(qint64 msecsSinceEpoch)
{
    const QDateTime time = QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch);
    const QLocale french(QLocale::French);
    const int day = time.date().day();
    return HistoryDialog::tr("%0 %1 à %2")
        .arg(day == 1 ? QStringLiteral("1er") : QString::number(day),
             french.toString(time.date(), QStringLiteral("MMMM yyyy")),
             time.toString(QStringLiteral("HH:mm")));
}

QString AbsentText(qint64 lastSeen, qint64 now)
{
    const qint64 minutes = std::max<qint64>(1, (now - lastSeen) / 60000);
    if (minutes < 60)
        return HistoryDialog::tr("absent depuis %0 min").arg(minutes);
    if (minutes < 24 * 60)
        return HistoryDialog::tr("absent depuis %0 h").arg(minutes / 60);
    return HistoryDialog::tr("absent depuis %0 j").arg(minutes / (24 * 60));
}

HistoryReader::HistoryReader(const QString &storeFile, const presence::NetworkKey &shownNetwork)
    : fileName(storeFile), network(shownNetwork)
{
}

HistoryReader::~HistoryReader() = default;

presence::Store &HistoryReader::Store()
{
    if (!store)
        store = std::make_unique<presence::Store>(fileName);
    return *store;
}

void HistoryReader::Read(qint64 now)
{
    HistoryReading reading;
    reading.now = now;
    reading.devices = Store().Devices(network);
    reading.status = Store().Status();
    const qint64 from = now - presence::TimelineMs;
    std::map<presence::Mac, std::vector<presence::CardEvent>> events;
    presence::ReadCardEvents(fileName, network, from, now, events);
    reading.strips.reserve(reading.devices.size());
    for (const presence::Device &device : reading.devices) {
        const auto found = events.find(device.record.mac);
        reading.strips.push_back(
            {presence::PresenceSpans(found == events.end() ? std::vector<presence::CardEvent>()
                                                           : std::move(found->second),
                                     device.firstSeen, device.lastSeen, device.present, from, now),
             from, now});
    }
    emit Done(reading);
}

void HistoryReader::Forget(const presence::Mac &mac)
{
    const bool removed = Store().Forget(network, mac);
    emit Forgotten(MacToText(mac), removed, removed ? QString() : Store().Status());
}

struct HistoryDialog::WakeOutcome
{
    presence::WakePlan plan;
    bool sent = false;
    QString error;
};

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
    resize(1100, 460);
    setSizeGripEnabled(true);

    auto *layout = new QVBoxLayout(this);
    Network_ = new QLabel(this);
    Network_->setObjectName(QStringLiteral("Network_"));
    Network_->setTextFormat(Qt::PlainText);
    layout->addWidget(Network_);

    Filter_ = new QLineEdit(this);
    Filter_->setObjectName(QStringLiteral("Filter_"));
    Filter_->setPlaceholderText(tr("Filtrer\u00a0: adresse, MAC, fabricant, nom, commentaire"));
    Filter_->setClearButtonEnabled(true);
    layout->addWidget(Filter_);

    Devices_ = new QTableWidget(this);
    Devices_->setObjectName(QStringLiteral("Devices_"));
    Devices_->setColumnCount(ColumnCount);
    Devices_->setHorizontalHeaderLabels(
        {tr("Commentaire"), tr("Adresse IP"), tr("Adresse MAC"), tr("Fabricant"), tr("Nom"),
         tr("Vu la première fois"), tr("Vu la dernière fois"), QString(), tr("7 derniers jours")});
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
    Export_ = new QPushButton(tr("&Exporter…"), this);
    Export_->setObjectName(QStringLiteral("Export_"));
    Close_ = new QPushButton(tr("&Fermer"), this);
    Close_->setObjectName(QStringLiteral("Close_"));
    buttons->addWidget(Forget_);
    buttons->addWidget(Export_);
    buttons->addStretch(1);
    buttons->addWidget(Close_);
    layout->addLayout(buttons);
    // Return in the filter neither asks to forget nor closes.
    for (QPushButton *button : {Forget_, Export_, Close_})
        button->setAutoDefault(false);
    Forget_->setEnabled(false);
    Export_->setEnabled(network.has_value());

    connect(Forget_, &QPushButton::clicked, this, &HistoryDialog::Forget);
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
        connect(readerThread, &QThread::finished, reader, &QObject::deleteLater);
        connect(readerThread, &QThread::finished, readerThread, &QObject::deleteLater);
        connect(reader, &HistoryReader::Done, this, &HistoryDialog::Show);
        connect(reader, &HistoryReader::Forgotten, this, &HistoryDialog::Forgotten);
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
    // The reader and its thread go by themselves once it has ended.
    if (readerThread) {
        readerThread->quit();
        readerThread->wait(ReaderWaitMs);
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
    rows.clear();
    for (const presence::Device &device : devices)
        rows.push_back({MakeHostRow(device.key, device.record, comments, makers, place),
                        device.firstSeen, device.lastSeen, device.present});
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
            Cell(shown.host.maker.trimmed()),
            Cell(shown.host.name),
            Cell(SeenText(shown.firstSeen), shown.firstSeen),
            Cell(shown.present ? tr("présent") : AbsentText(shown.lastSeen, read.now),
                 shown.present ? read.now : shown.lastSeen),
            Cell(QString(), qint64(shown.present)),
            Cell(QString()),
        };
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

void HistoryDialog::ApplyFilter()
{
    const QString typed = Filter_->text().trimmed();
    QString bare = typed;
    bare.remove(QLatin1Char(':')).remove(QLatin1Char('-'));
    for (int row = 0; row < Devices_->rowCount(); ++row) {
        bool shown = typed.isEmpty();
        for (const Column column : FilteredColumns) {
            const QTableWidgetItem *item = Devices_->item(row, column);
            if (shown || !item)
                continue;
            shown = item->text().contains(typed, Qt::CaseInsensitive) ||
                    (column == MacColumn && !bare.isEmpty() &&
                     QString(item->text())
                         .remove(QLatin1Char(':'))
                         .contains(bare, Qt::CaseInsensitive));
        }
        Devices_->setRowHidden(row, !shown);
    }
    ApplySelection();
}

int HistoryDialog::RowOf(const QString &macText) const
{
    if (macText.isEmpty())
        return -1;
    for (int row = 0; row < Devices_->rowCount(); ++row)
        if (const QTableWidgetItem *item = Devices_->item(row, MacColumn);
            item && item->text() == macText)
            return row;
    return -1;
}

const presence::Device *HistoryDialog::DeviceOf(const QString &macText) const
{
    for (std::size_t i = 0; i < rows.size() && i < devices.size(); ++i)
        if (!macText.isEmpty() && rows[i].host.mac == macText)
            return &devices[i];
    return nullptr;
}

void HistoryDialog::Choose(const QString &macText)
{
    chosenMac = macText;
    ApplySelection();
}

void HistoryDialog::ApplySelection()
{
    const bool wasFilling = filling;
    filling = true;
    const int row = RowOf(chosenMac);
    QItemSelectionModel *selection = Devices_->selectionModel();
    if (row >= 0) {
        // The current cell too, which the keyboard and the focus start from;
        // moved only where it is not on the row already, so that a refresh
        // does not scroll the list back to it.
        if (Devices_->currentRow() != row)
            selection->setCurrentIndex(Devices_->model()->index(row, MacColumn),
                                       QItemSelectionModel::NoUpdate);
        selection->select(Devices_->model()->index(row, 0),
                          QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    } else {
        selection->clearSelection();
    }
    filling = wasFilling;
    Forget_->setEnabled(network && row >= 0 && !Devices_->isRowHidden(row));
}

void HistoryDialog::SelectDevice(const QString &macText)
{
    chosenMac = macText.trimmed().toUpper();
    const int row = RowOf(chosenMac);
    if (row >= 0 && Devices_->isRowHidden(row))
        Filter_->clear();
    ApplySelection();
    if (row >= 0)
        Devices_->scrollToItem(Devices_->item(row, MacColumn));
}

void HistoryDialog::ShowStatus(const QString &text)
{
    Status_->setText(text);
}

void HistoryDialog::Wake(const presence::Device &device)
{
    if (waking)
        return;
    ShowStatus(tr("Réveil de %0…").arg(MacToText(device.record.mac)));
    for (QPushButton *button : Devices_->findChildren<QPushButton *>(QStringLiteral("Wake_")))
        button->setEnabled(false);
    outcome = std::make_shared<WakeOutcome>();
    waking = QThread::create([device, result = outcome] {
        result->plan = presence::PlanWake(device);
        if (result->plan.refusal.isEmpty())
            result->sent = presence::SendWake(result->plan, &result->error);
    });
    connect(waking, &QThread::finished, this, &HistoryDialog::WakeFinished);
    waking->start();
}

void HistoryDialog::WakeFinished()
{
    waking->wait();
    delete waking;
    waking = nullptr;
    const WakeOutcome &done = *outcome;
    QString text;
    if (!done.plan.refusal.isEmpty())
        text = tr("Réveil impossible\u00a0: %0").arg(done.plan.refusal);
    else if (!done.sent)
        text = tr("Le paquet de réveil n'est pas parti\u00a0: %0.").arg(done.error);
    else
        text = presence::WakeStatusText(done.plan, MacToText(done.plan.device.record.mac));
    ShowStatus(text);
    emit StatusLine(text);
    for (QPushButton *button : Devices_->findChildren<QPushButton *>(QStringLiteral("Wake_")))
        button->setEnabled(true);
}

void HistoryDialog::Forget()
{
    // The device the user chose, wherever a refresh or a sort put its row.
    const presence::Device *chosen = DeviceOf(chosenMac);
    if (!network || !reader || !chosen)
        return;
    const presence::Device device = *chosen;
    const HostRow shown = rows[std::size_t(chosen - devices.data())].host;
    const QString known = shown.name.isEmpty() ? shown.maker.trimmed() : shown.name;
    QString question =
        tr("Oublier l'appareil %0, dernière adresse %1\u00a0? Son historique sur %2 sera effacé.")
            .arg(known.isEmpty() ? shown.mac : QStringLiteral("%0 (%1)").arg(shown.mac, known),
                 shown.ip, network->cidr);
    if (device.present)
        question +=
            QLatin1Char(' ') + tr("Il est présent\u00a0: à sa prochaine réponse, il reviendra "
                                  "comme un nouvel appareil.");
    QMessageBox ask(QMessageBox::Question, tr("Oublier un appareil"), question,
                    QMessageBox::Yes | QMessageBox::No, this);
    ask.setTextFormat(Qt::PlainText);
    ask.setDefaultButton(QMessageBox::No);
    if (ask.exec() != QMessageBox::Yes)
        return;
    Forget_->setEnabled(false);
    QMetaObject::invokeMethod(
        reader, [shownReader = reader, mac = device.record.mac] { shownReader->Forget(mac); });
}

void HistoryDialog::Forgotten(const QString &mac, bool removed, const QString &status)
{
    if (removed)
        ShowStatus(tr("%0 oublié.").arg(mac));
    else
        ShowStatus(status.isEmpty() ? tr("%0 n'est plus dans l'historique.").arg(mac) : status);
    if (chosenMac == mac)
        chosenMac.clear();
    Reload();
}

void HistoryDialog::Export()
{
    if (!network)
        return;
    const QString csvFilter = tr("Fichier CSV (*.csv)");
    const QString jsonFilter = tr("Fichier JSON (*.json)");
    QString filter = csvFilter;
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const QString suggested = QDir(folder).filePath(
        QStringLiteral("trelvan-historique-%0.csv")
            .arg(QString(network->cidr).replace(QLatin1Char('/'), QLatin1Char('-'))));
    QString fileName =
        QFileDialog::getSaveFileName(this, tr("Exporter l'historique"), suggested,
                                     csvFilter + QStringLiteral(";;") + jsonFilter, &filter);
    if (fileName.isEmpty())
        return;
    // The name's extension decides; without one, the chosen filter does.
    bool json = filter == jsonFilter;
    if (fileName.endsWith(QLatin1String(".json"), Qt::CaseInsensitive))
        json = true;
    else if (fileName.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive))
        json = false;
    else
        fileName += json ? QStringLiteral(".json") : QStringLiteral(".csv");

    QSaveFile file(fileName);
    const QByteArray bytes = (json ? HistoryJson(rows) : HistoryCsv(rows)).toUtf8();
    const QString shownName = QDir::toNativeSeparators(fileName);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        ShowStatus(tr("Historique exporté dans %0.").arg(shownName));
    else
        ShowStatus(
            tr("Historique non exporté dans %0\u00a0: %1.").arg(shownName, file.errorString()));
}
