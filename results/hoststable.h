#pragma once

#include "results/hostrow.h"
#include "results/hosttext.h"

#include <QString>
#include <QTableWidgetItem>

#include <map>
#include <set>
#include <vector>

class QButtonGroup;
class QTableWidget;

// The columns of the hosts table, in their order.
enum HostColumn
{
    CommentColumn,
    AddressColumn,
    MacColumn,
    VendorColumn,
    WebColumn,
    ColumnCount
};

// The item of the "Adresse IP" column. It carries, under Qt::UserRole, the
// address as a number with the first octet most significant.
class TableWidgetIPItem : public QTableWidgetItem
{
public:
    explicit TableWidgetIPItem(const QString &text) : QTableWidgetItem(text, Type) {}
};

// The role under which a comment cell holds its hint, the host's name: the
// cell shows it dimmed while it holds no comment, and the editor shows it
// until the user types. The cell's text stays the comment alone, which is
// all that the harvest of comments reads.
constexpr int CommentHintRole = Qt::UserRole + 16;

// Five columns with their header labels, sorting off, no word wrap; the
// comment column shows the hints; the last column stretches with the table,
// and from the first call on the table notes the columns the user sizes.
void SetupHostColumns(QTableWidget *table);

// Writes rows, in their order, into a table whose row count is already
// rows.size(): comment (with the host's names as its hint, ShowHostName,
// and its type, ShowHostType), address (with the names as its tooltip), MAC
// text, maker (only withMakers, the window's vendor table being loaded) and,
// for a host with a web server on port 80 or 443, a "Connecter" button,
// named by the address it opens, that joins webButtons. A maker cell too narrow for its name shows
// the name whole as its tooltip; the cell of a locally administered address explains what such an
// address is.
void FillHostRows(QTableWidget *table, const std::vector<HostRow> &rows, bool withMakers,
                  QButtonGroup &webButtons);

// Sizes every column the user has not sized by hand (by dragging a border
// of its header) to its contents, then narrows the maker column, if need be
// and the user has not sized it, so that the five columns fit the table's
// width and the last one (with its "Connecter" buttons) stays in sight; the
// makers are then elided. The maker column keeps at least the width of its
// header. The last column stretches over the room left.
void FitHostColumns(QTableWidget *table);

// Shows other names for the host of a row already written (HintNames: the
// friendly name its owner chose, then the name it answered with): the
// comment's hint is the first, the address's tooltip says each, then the
// host's IPv6 addresses, one a line.
void ShowHostName(QTableWidget *table, int row, const QString &name,
                  const QString &friendlyName = QString(), const QStringList &ipv6 = {});

// Shows what the device of a row already written is: its type's icon at the
// start of the row (TypeIcon: none for an unknown type) and, as the first
// cell's tooltip, its type, model and friendly name and why
// (identify::Tooltip of its ShownIdentity), as plain text. Once a row shows
// an icon, the comments of every row begin where the icons end.
void ShowHostType(QTableWidget *table, int row, const identify::Identity &identity);

// Whether two identities show alike in a row (icon, tooltip, hint).
bool ShownAlike(const identify::Identity &a, const identify::Identity &b);

// Gives each row's MAC cell the tooltip that tips holds under its MAC text,
// or none.
void ShowMacToolTips(QTableWidget *table, const std::map<QString, QString> &tips);

// Draws in bold the rows whose MAC text is in macs (cards that have just
// joined the network), the others in the table's font.
void MarkNewHosts(QTableWidget *table, const std::set<QString> &macs);

// A comment that the user is typing, not yet finished with Return: its row
// (-1 when no comment editor is open), the host's address and MAC texts as
// the row shows them, the text and the cursor's place in it.
struct TypedComment
{
    int row = -1;
    QString ip;
    QString mac;
    QString text;
    int cursor = 0;
};

// Finishes the comment editor that is open, if any, as Return would: its
// text goes into its cell (which the table reports as an edit), and the
// editor stays open. Returns what was being typed.
TypedComment FinishTypedComment(QTableWidget *table);
// Opens the comment editor again on the row of the same host (address and
// MAC) with the same text and cursor; false when that host has no row.
bool ResumeTypedComment(QTableWidget *table, const TypedComment &typed);
