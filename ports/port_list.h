// The port list: its columns, the row texts, and the refresh of a row when
// a bridge reports a new state. Rows carry nothing but their texts: every
// command finds its port from the number in column 0.
#pragma once

class QTreeWidget;
class QTreeWidgetItem;
struct PortRecord;

enum PortColumn {
    COL_NO = 0,
    COL_PORTNAME,
    COL_MODE,
    COL_REMOTEIP,
    COL_REMOTEPORT,
    COL_LOCALIP,
    COL_LOCALPORT,
    COL_STATE,
    COL_INFORMATION,
    COL_COUNT
};

// Headers, widths from the weights, centred text.
void InitPortColumns(QTreeWidget* list);

// Writes the record into a row (appended with insert). Gives 1 when the whole
// row was written, 0 when the name is not of the form COM<n>.
int SetPortRow(QTreeWidget* list, const PortRecord* record, bool insert, int row);

// Updates the state and the addresses in use of every row of the record.
void RefreshPortRows(QTreeWidget* list, const PortRecord* record);

// The pair number a row stands for, read from column 0 as atoi does.
int RowPortNumber(const QTreeWidgetItem* item);

// The path a serial program opens for this row's port, for its tooltip.
void SetRowDevicePath(QTreeWidgetItem* item, const char* path);
