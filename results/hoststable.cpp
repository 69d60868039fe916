#include "results/hoststable.h"

#include "results/typeicons.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCoreApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTableWidget>

#include <algorithm>
#include <set>

namespace {

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
            return own; // set as PlainTextMarkup already
        const QTableWidget *table = tableWidget();
        if (!table)
            return {};
        // Sized to its contents, a column is one pixel wider for the grid.
        const QModelIndex index = table->model()->index(row(), column());
        const int needed = table->sizeHintForIndex(index).width() + (table->showGrid() ? 1 : 0);
        if (needed <= table->columnWidth(column()))
            return {};
        return PlainTextMarkup(text());
    }
};

// Draws a comment cell that holds no comment with its hint instead, dimmed
// and in italics, and gives its editor the hint as placeholder: the model
// holds nothing but the comment. Once a row shows a type's icon, the cells
// without one keep its room, so that the comments begin in one place.
class CommentDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    bool iconRoom = false;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override
    {
        QStyleOptionViewItem view = option;
        if (!HintOption(view, index)) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        const QWidget *widget = option.widget;
        QStyle *style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &view, painter, widget);
    }

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyleOptionViewItem view = option;
        if (!HintOption(view, index))
            return QStyledItemDelegate::sizeHint(option, index);
        const QWidget *widget = option.widget;
        QStyle *style = widget ? widget->style() : QApplication::style();
        return style->sizeFromContents(QStyle::CT_ItemViewItem, &view, QSize(), widget);
    }

    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                          const QModelIndex &index) const override
    {
        QWidget *editor = QStyledItemDelegate::createEditor(parent, option, index);
        if (auto *line = qobject_cast<QLineEdit *>(editor))
            line->setPlaceholderText(index.data(CommentHintRole).toString());
        return editor;
    }

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        if (iconRoom)
            option->features |= QStyleOptionViewItem::HasDecoration; // a null icon draws nothing
    }

private:
    // The option that draws the hint of an empty cell; false when the cell
    // holds a comment or has no hint.
    bool HintOption(QStyleOptionViewItem &view, const QModelIndex &index) const
    {
        const QString hint = index.data(CommentHintRole).toString();
        if (hint.isEmpty() || !index.data(Qt::DisplayRole).toString().isEmpty())
            return false;
        initStyleOption(&view, index);
        view.text = hint;
        view.features |= QStyleOptionViewItem::HasDisplay;
        view.font.setItalic(true);
        const QColor dim = view.palette.color(QPalette::PlaceholderText);
        view.palette.setColor(QPalette::Text, dim);
        return true;
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

// Which columns the user has sized by hand: those keep their width, the
// others fit their contents at each rebuild. A child of the table, found by
// its type. A width is the user's when the header changes it while a mouse
// button is held on it (a drag of a border, a double click on one).
class UserColumnWidths : public QObject
{
public:
    explicit UserColumnWidths(QTableWidget *table) : QObject(table)
    {
        QHeaderView *header = table->horizontalHeader();
        header->viewport()->installEventFilter(this);
        QObject::connect(header, &QHeaderView::sectionResized, this,
                         [this, header](int column, int, int) {
                             // The last column stretches with the table: its
                             // width is the table's, never the user's.
                             if (pressed && column != header->count() - 1)
                                 sized.insert(column);
                         });
        QObject::connect(header, &QHeaderView::sectionHandleDoubleClicked, this,
                         [this, header](int column) {
                             if (column != header->count() - 1)
                                 sized.insert(column);
                         });
    }

    std::set<int> sized;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::MouseButtonPress ||
            event->type() == QEvent::MouseButtonDblClick)
            pressed = true;
        else if (event->type() == QEvent::MouseButtonRelease)
            pressed = false;
        return QObject::eventFilter(watched, event);
    }

private:
    bool pressed = false;
};

UserColumnWidths *ColumnWidths(QTableWidget *table)
{
    // No meta-object of its own: found by its C++ type.
    for (QObject *child : table->children())
        if (auto *widths = dynamic_cast<UserColumnWidths *>(child))
            return widths;
    return nullptr;
}

// The width a column takes to show its header and cells whole, as
// resizeColumnToContents gives it.
int ContentsWidth(const QTableWidget *table, int column)
{
    const QHeaderView *header = table->horizontalHeader();
    // Public as the item view's, protected as the table's.
    const int cells = static_cast<const QAbstractItemView *>(table)->sizeHintForColumn(column);
    return header->isHidden() ? cells : std::max(cells, header->sectionSizeHint(column));
}

} // namespace

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
    if (!dynamic_cast<CommentDelegate *>(table->itemDelegateForColumn(CommentColumn)))
        table->setItemDelegateForColumn(CommentColumn, new CommentDelegate(table));
    if (!ColumnWidths(table)) {
        new UserColumnWidths(table);
        table->horizontalHeader()->setStretchLastSection(true);
    }
}

void FillHostRows(QTableWidget *table, const std::vector<HostRow> &rows, bool withMakers,
                  QButtonGroup &webButtons)
{
    // The icons' room goes with the icons: a table of unknown devices keeps
    // its look.
    if (auto *comments =
            dynamic_cast<CommentDelegate *>(table->itemDelegateForColumn(CommentColumn)))
        comments->iconRoom = false;
    for (int row = 0; row < static_cast<int>(rows.size()); ++row) {
        const HostRow &host = rows[std::size_t(row)];
        auto *address = new TableWidgetIPItem(host.ip);
        address->setFlags(ReadOnlyFlags);
        address->setData(Qt::UserRole, static_cast<uint>(HostOrderAddress(host.key)));
        table->setItem(row, AddressColumn, address);

        table->setItem(row, MacColumn, new QTableWidgetItem(host.mac));
        table->item(row, MacColumn)->setFlags(ReadOnlyFlags);

        table->setItem(row, CommentColumn, new QTableWidgetItem(host.comment));
        table->item(row, CommentColumn)->setFlags(CommentFlags);
        ShowHostName(table, row, host.name, host.identity.friendlyName, host.ipv6);
        ShowHostType(table, row, host.identity);

        if (withMakers) {
            auto *item = new MakerItem(host.listedMaker);
            if (!host.makerToolTip.isEmpty())
                item->setToolTip(PlainTextMarkup(host.makerToolTip));
            table->setItem(row, VendorColumn, item);
            table->item(row, VendorColumn)->setFlags(ReadOnlyFlags);
        }

        table->setItem(row, WebColumn, new QTableWidgetItem(QString()));
        if (!host.webAddress.isEmpty()) {
            auto *button = new QPushButton(Translate("Connecter"));
            button->setObjectName(host.webAddress);
            table->setCellWidget(row, WebColumn, button);
            webButtons.addButton(button);
            button->show();
        }
    }
}

void FitHostColumns(QTableWidget *table)
{
    const UserColumnWidths *widths = ColumnWidths(table);
    const std::set<int> sized = widths ? widths->sized : std::set<int>();
    // The last column too: what it is given where the others leave it no
    // room to stretch over.
    for (int column = 0; column < table->columnCount(); ++column)
        if (!sized.count(column))
            table->resizeColumnToContents(column);
    if (table->columnCount() == ColumnCount && !sized.count(VendorColumn)) {
        // The last column stretches over the room left: what it needs is
        // its contents, not its width.
        int others = ContentsWidth(table, WebColumn);
        for (int column = 0; column < WebColumn; ++column)
            if (column != VendorColumn)
                others += table->columnWidth(column);
        const int least = table->horizontalHeader()->sectionSizeHint(VendorColumn);
        const int cap = std::max(ColumnRoom(table) - others, least);
        if (table->columnWidth(VendorColumn) > cap)
            table->setColumnWidth(VendorColumn, cap);
    }
}

void ShowHostName(QTableWidget *table, int row, const QString &name, const QString &friendlyName,
                  const QStringList &ipv6)
{
    // The hint is drawn as plain text by the delegate; a tooltip would read
    // markup in a name.
    const QStringList names = HintNames(name, friendlyName);
    if (QTableWidgetItem *address = table->item(row, AddressColumn))
        address->setToolTip(PlainTextMarkup((names + ipv6).join(QLatin1Char('\n'))));
    if (QTableWidgetItem *comment = table->item(row, CommentColumn))
        comment->setData(CommentHintRole, names.isEmpty() ? QVariant() : QVariant(names.front()));
}

void ShowHostType(QTableWidget *table, int row, const identify::Identity &identity)
{
    QTableWidgetItem *comment = table->item(row, CommentColumn);
    if (!comment)
        return;
    const QIcon icon = TypeIcon(identity);
    comment->setData(Qt::DecorationRole, icon.isNull() ? QVariant() : QVariant(icon));
    // Where the row's icon comes from, in the device's own words: the model
    // and the friendly name are anyone's text.
    comment->setToolTip(PlainTextMarkup(identify::Tooltip(ShownIdentity(identity))));
    auto *comments = dynamic_cast<CommentDelegate *>(table->itemDelegateForColumn(CommentColumn));
    if (comments && !icon.isNull())
        comments->iconRoom = true;
}

bool ShownAlike(const identify::Identity &a, const identify::Identity &b)
{
    return a.type == b.type && a.thisMachine == b.thisMachine && a.model == b.model &&
           a.friendlyName == b.friendlyName && identify::Tooltip(a) == identify::Tooltip(b);
}

void ShowMacToolTips(QTableWidget *table, const std::map<QString, QString> &tips)
{
    for (int row = 0; row < table->rowCount(); ++row) {
        QTableWidgetItem *mac = table->item(row, MacColumn);
        if (!mac)
            continue;
        const auto tip = tips.find(mac->text());
        mac->setToolTip(tip == tips.end() ? QString() : PlainTextMarkup(tip->second));
    }
}

void MarkNewHosts(QTableWidget *table, const std::set<QString> &macs)
{
    for (int row = 0; row < table->rowCount(); ++row) {
        const QTableWidgetItem *mac = table->item(row, MacColumn);
        const bool marked = mac && macs.count(mac->text());
        for (int column = 0; column < table->columnCount(); ++column) {
            QTableWidgetItem *item = table->item(row, column);
            if (!item || item->font().bold() == marked)
                continue;
            QFont font = item->font();
            font.setBold(marked);
            item->setFont(font);
        }
    }
}

TypedComment FinishTypedComment(QTableWidget *table)
{
    // The one editor a comment cell has is the open one (the buttons of the
    // last column are the only other widgets in cells).
    TypedComment typed;
    const QModelIndex current = table->currentIndex();
    auto *editor = qobject_cast<QLineEdit *>(table->indexWidget(current));
    QTableWidgetItem *item = table->item(current.row(), CommentColumn);
    if (!editor || current.column() != CommentColumn || !item)
        return typed;
    typed.row = current.row();
    if (const QTableWidgetItem *address = table->item(typed.row, AddressColumn))
        typed.ip = address->text();
    if (const QTableWidgetItem *mac = table->item(typed.row, MacColumn))
        typed.mac = mac->text();
    typed.text = editor->text();
    typed.cursor = editor->cursorPosition();
    item->setText(typed.text);
    return typed;
}

bool ResumeTypedComment(QTableWidget *table, const TypedComment &typed)
{
    if (typed.row < 0)
        return false;
    for (int row = 0; row < table->rowCount(); ++row) {
        const QTableWidgetItem *address = table->item(row, AddressColumn);
        const QTableWidgetItem *mac = table->item(row, MacColumn);
        QTableWidgetItem *comment = table->item(row, CommentColumn);
        if (!address || !mac || !comment || address->text() != typed.ip || mac->text() != typed.mac)
            continue;
        table->setCurrentItem(comment);
        table->editItem(comment);
        auto *editor = qobject_cast<QLineEdit *>(table->indexWidget(table->indexFromItem(comment)));
        if (!editor)
            return false;
        editor->setText(typed.text);
        editor->setCursorPosition(typed.cursor);
        return true;
    }
    return false;
}
