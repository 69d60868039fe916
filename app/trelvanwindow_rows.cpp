// The window's rows: the row menu, the pages it opens, and the comments
// typed in the table, loaded and saved.
#include "app/trelvanwindow.h"

#include "app/historydialog.h"
#include "app/trelvanwindowui.h"
#include "app/windowlog.h"
#include "results/comments.h"
#include "results/commentslog.h"
#include "results/hoststable.h"
#include "scan/scanrules.h"

#include <QAbstractButton>
#include <QClipboard>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QUrl>

namespace {

// Why the comments could not be saved, in the status line's words.
QString SaveFaultText(SaveFault fault)
{
    switch (fault) {
    case SaveFault::DiskFull:
        return TrelvanWindow::tr("disque plein");
    case SaveFault::QuotaExceeded:
        return TrelvanWindow::tr("quota dépassé");
    case SaveFault::ReadOnly:
        return TrelvanWindow::tr("disque en lecture seule");
    case SaveFault::AccessDenied:
        return TrelvanWindow::tr("accès refusé");
    case SaveFault::Locked:
        return TrelvanWindow::tr("fichier verrouillé par un autre programme");
    case SaveFault::None:
    case SaveFault::Other:
        break;
    }
    return TrelvanWindow::tr("erreur d'écriture");
}

} // namespace

void TrelvanWindow::OnURL(QAbstractButton *button)
{
    OpenPage(button->objectName());
}

void TrelvanWindow::OpenPage(const QString &url)
{
    qCDebug(lcWindow).noquote() << url;
    QDesktopServices::openUrl(QUrl(url));
}

void TrelvanWindow::ShowRowMenu(const QPoint &position)
{
    // By the mouse, the row under it; by the keyboard, Qt puts the point on
    // the current cell.
    QTableWidget *table = ui->Hosts_;
    int row = table->rowAt(position.y());
    if (row < 0)
        row = table->currentRow();
    const QTableWidgetItem *address = row >= 0 ? table->item(row, AddressColumn) : nullptr;
    const QTableWidgetItem *mac = row >= 0 ? table->item(row, MacColumn) : nullptr;
    if (!address || !mac)
        return;
    // The heartbeat goes on while the menu is open and may rebuild the
    // table: what the actions need is read now.
    const QString addressText = address->text();
    const QString macText = mac->text();
    const auto *button = qobject_cast<const QAbstractButton *>(table->cellWidget(row, WebColumn));
    const QString page = button ? button->objectName() : QString();

    QMenu menu(this);
    menu.setObjectName(QStringLiteral("RowMenu_"));
    const QAction *copyAddress = menu.addAction(tr("Copier l'adresse IP"));
    const QAction *copyMac = menu.addAction(tr("Copier l'adresse MAC"));
    const QAction *open = page.isEmpty() ? nullptr : menu.addAction(tr("Ouvrir la page"));
    const QAction *showHistory = menu.addAction(tr("Historique de l'appareil…"));
    const QAction *chosen = menu.exec(table->viewport()->mapToGlobal(position));
    if (!chosen)
        return;
    if (chosen == copyAddress)
        QGuiApplication::clipboard()->setText(addressText);
    else if (chosen == copyMac)
        QGuiApplication::clipboard()->setText(macText);
    else if (chosen == open)
        OpenPage(page);
    else if (chosen == showHistory) {
        on_History__clicked();
        if (historyDialog)
            historyDialog->SelectDevice(macText);
    }
}

void TrelvanWindow::LoadVendors()
{
    LoadMakers(vendorTable, makerIndex);
}

void TrelvanWindow::LoadComments()
{
    ::LoadComments(comments);
}

void TrelvanWindow::HarvestComments(int editedRow)
{
    ::HarvestComments(ui->Hosts_, comments, editedRow);
}

void TrelvanWindow::SaveComments()
{
    // A failed save left the store's file as it was; the comments stay here
    // and the status line says so until a save succeeds.
    const CommentSave save = ::SaveComments(comments);
    const QString fileName = QDir::toNativeSeparators(save.fileName);
    if (!save.saved()) {
        qCWarning(lcComments).noquote()
            << QStringLiteral("Commentaires non enregistrés dans %0 : %1")
                   .arg(fileName, save.detail);
        unsavedStatus =
            tr("Commentaires non enregistrés dans %0 : %1 (nouvel essai toutes les %2 s).")
                .arg(fileName, SaveFaultText(save.fault), QString::number(RescanPeriodSecs));
        OfferStatus(StatusOffer::Unsaved, unsavedStatus);
    } else if (!unsavedStatus.isEmpty()) {
        unsavedStatus.clear();
        OfferStatus(StatusOffer::Saved, tr("Commentaires enregistrés dans %0.").arg(fileName));
    }
}

void TrelvanWindow::OnHostItemChanged(QTableWidgetItem *item)
{
    // A comment the user has just finished typing goes to the store at once,
    // so that it survives an exit that never reaches the destructor.
    if (item->column() != CommentColumn)
        return;
    // The row edited wins over the other rows of its card, which show it
    // from now on.
    HarvestComments(item->row());
    {
        const QSignalBlocker blocker(ui->Hosts_);
        ShareComment(ui->Hosts_, item->row());
        // The comment of a card is its device's, whichever card it was typed on.
        const QTableWidgetItem *mac = ui->Hosts_->item(item->row(), MacColumn);
        if (const auto device = mac ? deviceCards.find(mac->text()) : deviceCards.end();
            device != deviceCards.end())
            ShareCommentWithDevice(ui->Hosts_, item->row(), device->second, comments);
    }
    SaveComments();
}

void TrelvanWindow::SetupHostColumns()
{
    ::SetupHostColumns(ui->Hosts_);
}
