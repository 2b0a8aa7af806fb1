#include "ports/port_list.h"

#include <QHeaderView>
#include <QScrollBar>
#include <QStyle>
#include <QTreeWidget>
#include <cstdlib>

#include "engine/com_name.h"
#include "config/options_document.h"
#include "engine/bridge.h"
#include "engine/port_table.h"
#include "ports/port_info.h"

namespace {

struct ColumnDef {
    const char* header;
    int weight;
};

constexpr ColumnDef kColumns[COL_COUNT] = {
    {"No", 3},          {"Port Name", 9},  {"Mode", 11},        {"Remote Ip", 15},
    {"Remote Port", 11}, {"Local Ip", 15}, {"Local Port", 10}, {"State", 10},
    {"Information", 12},
};
constexpr int kWeightSum = 96;

bool IsComName(const char* name) { return ComNumber(name) > 0; }

void SetText(QTreeWidgetItem* item, int col, const char* text)
{
    item->setText(col, QString::fromLatin1(text));
}

// The address a socket reports, into two columns; false when it has none.
bool SetEndpointColumns(QTreeWidgetItem* item, int addrCol, int portCol, int sock, bool peer)
{
    std::string addr;
    uint16_t port = 0;
    if (!SocketEndpoint(sock, peer, &addr, &port))
        return false;
    SetText(item, addrCol, addr.c_str());
    item->setText(portCol, QString::number(port));
    return true;
}

void SetConfiguredLocal(QTreeWidgetItem* item, const PortRecord* r)
{
    char buf[16];
    SetText(item, COL_LOCALIP, LocAddrText(r));
    SetText(item, COL_LOCALPORT, LocPortText(r, buf, sizeof buf));
}

void SetConfiguredRemote(QTreeWidgetItem* item, const PortRecord* r)
{
    char buf[16];
    SetText(item, COL_REMOTEIP, DstAddrText(r));
    SetText(item, COL_REMOTEPORT, DstPortText(r, buf, sizeof buf));
}

}  // namespace

void InitPortColumns(QTreeWidget* list)
{
    int w = list->width() - 2 - list->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    list->setColumnCount(COL_COUNT);
    QStringList headers;
    for (const ColumnDef& c : kColumns)
        headers << QString::fromLatin1(c.header);
    list->setHeaderLabels(headers);
    // "Information" takes whatever width the window gives beyond the design.
    list->header()->setStretchLastSection(true);
    list->header()->setSectionsMovable(false);
    int used = 0;
    for (int i = 0; i < COL_COUNT - 1; ++i) {
        int cw = kColumns[i].weight * w / kWeightSum;
        list->setColumnWidth(i, cw);
        used += cw;
    }
    list->setColumnWidth(COL_INFORMATION, w - used - 2);
    for (int i = 0; i < COL_COUNT; ++i)
        list->headerItem()->setTextAlignment(i, Qt::AlignCenter);
}

int SetPortRow(QTreeWidget* list, const PortRecord* record, bool insert, int row)
{
    QTreeWidgetItem* item;
    if (insert) {
        item = new QTreeWidgetItem(list);
        item->setText(COL_NO, QString::number(record->number));
        for (int i = 0; i < COL_COUNT; ++i)
            item->setTextAlignment(i, Qt::AlignCenter);
    } else {
        item = list->topLevelItem(row);
        if (!item)
            return 0;
    }
    SetText(item, COL_PORTNAME, record->name);
    if (!IsComName(record->name))
        return 0;
    SetText(item, COL_MODE, PortModeName(record->mode));
    SetConfiguredRemote(item, record);
    SetConfiguredLocal(item, record);
    SetText(item, COL_STATE, PortStateText(record->state.load()));
    return 1;
}

void RefreshPortRows(QTreeWidget* list, const PortRecord* record)
{
    const char* stateText = PortStateText(record->state.load());
    int sock = record->sock.load();
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = list->topLevelItem(i);
        if (RowPortNumber(item) != record->number)
            continue;
        SetText(item, COL_STATE, stateText);
        // The bridge may close the socket at any moment (its number may even
        // be reused): a failed query just shows the configured values.
        if (!SetEndpointColumns(item, COL_LOCALIP, COL_LOCALPORT, sock, false))
            SetConfiguredLocal(item, record);
        if (SetEndpointColumns(item, COL_REMOTEIP, COL_REMOTEPORT, sock, true)) {
            // A host name stays as typed; "Information" shows what it resolved to.
            if (record->dstHost[0])
                SetText(item, COL_REMOTEIP, record->dstHost);
        } else {
            SetConfiguredRemote(item, record);
        }
    }
}

int RowPortNumber(const QTreeWidgetItem* item)
{
    return atoi(item->text(COL_NO).toLatin1().constData());
}

void SetRowDevicePath(QTreeWidgetItem* item, const char* path)
{
    for (int i = 0; i < COL_COUNT; ++i)
        item->setToolTip(i, QString::fromLocal8Bit(path));
}
