#include "ports/port_list.h"

#include <QHeaderView>
#include <QScrollBar>
#include <QStyle>
#include <QTreeWidget>
#include <cstdlib>
#include <cstring>

#include "config/port_options.h"
#include "engine/com_name.h"
#include "config/options_document.h"
#include "engine/bridge.h"
#include "engine/port_table.h"
#include "ports/pair_setup.h"
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

void ListPortCallback(uint32_t pair, char* params, void*)
{
    if (pair >= static_cast<uint32_t>(kPortCount) || !params)
        return;  // no slot for it: never written past the table
    PortRecord* r = &PortTable[pair];
    char* itemSave = nullptr;
    for (char* item = STRTOK_R(params, ",", &itemSave); item;
         item = STRTOK_R(nullptr, ",", &itemSave)) {
        char* save = nullptr;
        char* key = STRTOK_R(item, "=", &save);
        char* value = STRTOK_R(nullptr, "=", &save);
        r->number = static_cast<int32_t>(pair);
        PostPortState(r, STATE_STOPPED);
        if (!value)
            break;
        // A name that does not fit the field is not taken: cut, it would
        // name another port. The row then shows no name and the port is not
        // started, but it can still be edited or deleted.
        if (key && strcmp(key, "PortName") == 0 && strlen(value) < sizeof r->name - 1)
            CopyField(r->name, sizeof r->name, value, sizeof r->name - 2);
    }
}

void DiscoverPortRecords(const char* optionsText)
{
    ListREdi(nullptr, nullptr, &ListPortCallback, nullptr);
    OptionsDocument options(optionsText ? optionsText : "");
    for (PortRecord& r : PortTable)
        if (r.number != -1)
            ReadPortOptions(options, &r);
}

void DiscoverPorts(QTreeWidget* list, const char* optionsText, bool startup)
{
    DiscoverPortRecords(optionsText);
    for (PortRecord& r : PortTable) {
        if (r.number == -1)
            continue;
        int whole = SetPortRow(list, &r, true, 0);
        if (whole && startup)
            StartBridge(&r);
    }
}
