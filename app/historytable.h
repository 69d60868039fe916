#pragma once

// The columns of the history dialog's table, shared by its files.
namespace historytable {

enum Column
{
    CommentColumn,
    AddressColumn,
    MacColumn,
    MakerColumn,
    NameColumn,
    TypeColumn,
    ModelColumn,
    FirstSeenColumn,
    LastSeenColumn,
    WakeColumn,
    StripColumn,
    ColumnCount
};

// The columns the filter looks in.
constexpr Column FilteredColumns[] = {CommentColumn, AddressColumn, MacColumn,  MakerColumn,
                                      NameColumn,    TypeColumn,    ModelColumn};

} // namespace historytable
