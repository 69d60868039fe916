#pragma once

#include "results/hostrow.h"
#include "results/hosttext.h"

#include <QString>
#include <QTableWidgetItem>

#include <map>
#include <vector>

class QButtonGroup;
class QTableWidget;

// The item of the "Adresse IP" column. It carries, under Qt::UserRole, the
// address as a number with the first octet most significant.
class TableWidgetIPItem : public QTableWidgetItem
{
public:
    explicit TableWidgetIPItem(const QString &text) : QTableWidgetItem(text, Type) {}
};

// Five columns with their header labels, sorting off, no word wrap.
void SetupHostColumns(QTableWidget *table);

// Writes rows, in their order, into a table whose row count is already
// rows.size(): comment, address (with the host's name as its tooltip), MAC
// text, maker (only withMakers, the window's vendor table being loaded) and,
// for a host with a web server, a "Connecter" button that joins webButtons.
// A maker cell too narrow for its name shows the name whole as its tooltip;
// the cell of a locally administered address explains what such an address
// is.
void FillHostRows(QTableWidget *table, const std::vector<HostRow> &rows, bool withMakers,
                  QButtonGroup &webButtons);

// Sizes every column to its contents, then narrows the maker column, if
// need be, so that the five columns fit the table's width and the last one
// (with its "Connecter" buttons) stays in sight; the makers are then elided.
// The maker column keeps at least the width of its header.
void FitHostColumns(QTableWidget *table);
