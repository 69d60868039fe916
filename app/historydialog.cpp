#include "app/historydialog.h"

#include "presence/wakeonlan.h"
#include "results/hostrow.h"
#include "results/hosttext.h"

#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTableWidget>
#include <QThread>
#include <QVBoxLayout>

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
    ColumnCount
};

constexpr Qt::ItemFlags ReadOnlyFlags = Qt::ItemIsSelectable | Qt::ItemIsEnabled;

QTableWidgetItem *Cell(const QString &text)
{
    auto *item = new QTableWidgetItem(text);
    item->setFlags(ReadOnlyFlags);
    // Comments and names are anyone's text: never read as markup.
    if (!text.isEmpty())
        item->setToolTip(PlainTextMarkup(text));
    return item;
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

struct HistoryDialog::WakeOutcome
{
    presence::WakePlan plan;
    bool sent = false;
    QString error;
};

HistoryDialog::HistoryDialog(presence::Store &historyStore,
                             std::optional<presence::NetworkKey> shownNetwork,
                             const HostPlace &networkPlace, const CommentMap &userComments,
                             const MakerIndex &makerIndex, QWidget *parent)
    : QDialog(parent), store(historyStore), network(std::move(shownNetwork)), place(networkPlace),
      comments(userComments), makers(makerIndex)
{
    setObjectName(QStringLiteral("HistoryDialog"));
    setWindowTitle(tr("Historique"));
    resize(960, 420);
    setSizeGripEnabled(true);

    auto *layout = new QVBoxLayout(this);
    Network_ = new QLabel(this);
    Network_->setObjectName(QStringLiteral("Network_"));
    Network_->setTextFormat(Qt::PlainText);
    layout->addWidget(Network_);

    Devices_ = new QTableWidget(this);
    Devices_->setObjectName(QStringLiteral("Devices_"));
    Devices_->setColumnCount(ColumnCount);
    Devices_->setHorizontalHeaderLabels({tr("Commentaire"), tr("Adresse IP"), tr("Adresse MAC"),
                                         tr("Fabricant"), tr("Nom"), tr("Vu la première fois"),
                                         tr("Vu la dernière fois"), QString()});
    Devices_->setSelectionBehavior(QAbstractItemView::SelectRows);
    Devices_->setSelectionMode(QAbstractItemView::SingleSelection);
    Devices_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Devices_->setAlternatingRowColors(true);
    Devices_->setWordWrap(false);
    Devices_->verticalHeader()->hide();
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

    connect(Forget_, &QPushButton::clicked, this, &HistoryDialog::Forget);
    connect(Export_, &QPushButton::clicked, this, &HistoryDialog::Export);
    connect(Close_, &QPushButton::clicked, this, &QDialog::accept);
    connect(Devices_, &QTableWidget::itemSelectionChanged, this,
            [this] { Forget_->setEnabled(!Devices_->selectedItems().isEmpty()); });
    Reload();
}

HistoryDialog::~HistoryDialog()
{
    if (waking) {
        waking->wait();
        delete waking;
    }
}

void HistoryDialog::Reload()
{
    QString selectedMac;
    if (const int row = Devices_->currentRow(); row >= 0 && !Devices_->selectedItems().isEmpty())
        selectedMac = Devices_->item(row, MacColumn)->text();

    devices = network ? store.Devices(*network) : std::vector<presence::Device>();
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

    Devices_->clearContents();
    Devices_->setRowCount(int(rows.size()));
    int selected = -1;
    for (int row = 0; row < int(rows.size()); ++row) {
        const HistoryRow &shown = rows[std::size_t(row)];
        Devices_->setItem(row, CommentColumn, Cell(shown.host.comment));
        Devices_->setItem(row, AddressColumn, Cell(shown.host.ip));
        Devices_->setItem(row, MacColumn, Cell(shown.host.mac));
        Devices_->setItem(row, MakerColumn, Cell(shown.host.maker.trimmed()));
        Devices_->setItem(row, NameColumn, Cell(shown.host.name));
        Devices_->setItem(row, FirstSeenColumn, Cell(SeenText(shown.firstSeen)));
        Devices_->setItem(row, LastSeenColumn,
                          Cell(shown.present ? tr("présent") : SeenText(shown.lastSeen)));
        if (!shown.present) {
            auto *wake = new QPushButton(tr("Réveiller"));
            wake->setObjectName(QStringLiteral("Wake_"));
            wake->setEnabled(!waking);
            const presence::Device device = devices[std::size_t(row)];
            connect(wake, &QPushButton::clicked, this, [this, device] { Wake(device); });
            Devices_->setCellWidget(row, WakeColumn, wake);
        }
        if (shown.host.mac == selectedMac)
            selected = row;
    }
    if (selected >= 0)
        Devices_->selectRow(selected);
    else
        Devices_->clearSelection();
    Forget_->setEnabled(selected >= 0);
    Export_->setEnabled(network.has_value());
    Devices_->resizeColumnsToContents();
    if (!store.Status().isEmpty())
        ShowStatus(store.Status());
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
    const int row = Devices_->currentRow();
    if (!network || row < 0 || row >= int(devices.size()))
        return;
    const presence::Device device = devices[std::size_t(row)];
    // A scan may read the list again while the question waits.
    const HostRow shown = rows[std::size_t(row)].host;
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
    if (store.Forget(*network, device.record.mac))
        ShowStatus(tr("%0 oublié.").arg(shown.mac));
    else
        ShowStatus(store.Status().isEmpty() ? tr("%0 n'est plus dans l'historique.").arg(shown.mac)
                                            : store.Status());
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

void HistoryDialog::SelectDevice(const QString &macText)
{
    for (int row = 0; row < Devices_->rowCount(); ++row)
        if (const QTableWidgetItem *mac = Devices_->item(row, MacColumn);
            mac && mac->text() == macText) {
            Devices_->selectRow(row);
            return;
        }
}
