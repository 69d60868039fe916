// What the user does in the history dialog: filters it, chooses a device,
// wakes it, forgets it, merges it with another or splits a card from it,
// exports the list.
#include "app/historydialog.h"
#include "app/historytable.h"

#include "presence/wakeonlan.h"
#include "results/hostrow.h"
#include "results/hosttext.h"

#include <QDir>
#include <QFileDialog>
#include <QInputDialog>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTableWidget>
#include <QThread>

#include <algorithm>
#include <set>

using namespace historytable;

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
    const bool shown = network && row >= 0 && !Devices_->isRowHidden(row);
    Forget_->setEnabled(shown);
    const presence::Device *chosen = shown ? DeviceOf(chosenMac) : nullptr;
    Merge_->setEnabled(chosen && std::any_of(devices.begin(), devices.end(),
                                             [chosen](const presence::Device &other) {
                                                 return other.device != chosen->device;
                                             }));
    Split_->setEnabled(chosen && chosen->macs.size() > 1);
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
    outcome = std::make_shared<presence::WakeReport>();
    waking = QThread::create([device, result = outcome] { *result = presence::Wake({device}); });
    connect(waking, &QThread::finished, this, &HistoryDialog::WakeFinished);
    waking->start();
}

void HistoryDialog::WakeFinished()
{
    waking->wait();
    delete waking;
    waking = nullptr;
    const QString text = outcome->sentence;
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
    const QString known = shown.name.isEmpty() ? shown.maker : shown.name;
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

void HistoryDialog::Merge()
{
    const presence::Device *chosen = DeviceOf(chosenMac);
    if (!network || !reader || !chosen)
        return;
    const presence::Device device = *chosen;
    // The network's other devices, once each, by the words the user knows
    // them by: plain text in a list, never markup.
    QStringList names;
    std::vector<presence::Mac> others;
    std::set<presence::Mac> listed{device.device};
    for (std::size_t i = 0; i < devices.size() && i < rows.size(); ++i) {
        if (!listed.insert(devices[i].device).second)
            continue;
        const HostRow &row = rows[i].host;
        QStringList words;
        for (const QString &known : {row.comment, row.name, row.maker})
            if (words.isEmpty() && !known.simplified().isEmpty())
                words.append(known.simplified());
        words << row.ip << row.mac;
        names.append(words.join(QStringLiteral(" — ")));
        others.push_back(devices[i].record.mac);
    }
    if (others.empty())
        return;
    QInputDialog ask(this);
    ask.setObjectName(QStringLiteral("MergeWith_"));
    ask.setWindowTitle(tr("Fusionner deux appareils"));
    ask.setLabelText(tr("%0 est le même appareil que\u00a0:").arg(MacToText(device.record.mac)));
    ask.setComboBoxItems(names);
    ask.setTextValue(names.first());
    ask.setComboBoxEditable(false);
    ask.setOkButtonText(tr("Fusionner"));
    ask.setCancelButtonText(tr("Annuler"));
    if (ask.exec() != QDialog::Accepted)
        return;
    const qsizetype index = names.indexOf(ask.textValue());
    if (index < 0)
        return;
    Merge_->setEnabled(false);
    QMetaObject::invokeMethod(
        reader, [shownReader = reader, mac = device.record.mac,
                 other = others[std::size_t(index)]] { shownReader->Merge(mac, other); });
}

void HistoryDialog::Merged(const QString &device, const QString &other, bool done,
                           const QString &status, const std::vector<presence::Change> &linked)
{
    if (done) {
        emit CardsLinked(linked);
        ShowStatus(tr("%0 et %1 sont un seul appareil.").arg(device, other));
    } else {
        ShowStatus(status.isEmpty() ? tr("%0 et %1 n'ont pas été fusionnés.").arg(device, other)
                                    : status);
    }
    Reload();
}

void HistoryDialog::Split()
{
    // The card chosen leaves its device; its other cards stay together.
    const presence::Device *chosen = DeviceOf(chosenMac);
    if (!network || !reader || !chosen || chosen->macs.size() < 2)
        return;
    Split_->setEnabled(false);
    QMetaObject::invokeMethod(
        reader, [shownReader = reader, mac = chosen->record.mac] { shownReader->Split(mac); });
}

void HistoryDialog::Separated(const QString &mac, bool done, const QString &status)
{
    if (done)
        ShowStatus(tr("%0 est un appareil à part.").arg(mac));
    else
        ShowStatus(status.isEmpty() ? tr("%0 n'a pas été séparé.").arg(mac) : status);
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
