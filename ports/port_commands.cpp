// The port commands of the main window: Add, Delete, Start, Stop, Apply and
// Property, and the steps they share.
#include <QTreeWidget>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "ports/pair_setup.h"
#include "ports/port_list.h"
#include "shell/dialog_seam.h"
#include "shell/main_window.h"

namespace {

// How long a command waits for a pair's bridge side to appear.
constexpr int kStartWaitMs = 5000;
constexpr int kAddWaitMs = 10000;
constexpr auto kWaitPoll = std::chrono::milliseconds(100);
constexpr size_t kStartTargetSize = 32;
constexpr size_t kAddTargetSize = 128;

constexpr size_t kNameMax = 6;      // COM256 is the longest name given
constexpr size_t kDevNameMax = 31;  // what a record's devName holds

const char kBridgeSideParams[] = "HideDevice=yes,OverrunCheck=yes";

const QString kMsgNoSlot = QStringLiteral("Add fail, reach limits of number of virtual serial port");
const QString kMsgInstallFail = QStringLiteral("Install driver for virtual com fail, please reinstall it!");
const QString kMsgApplyFail = QStringLiteral("Failed to apply setting, please recheck it");
const QString kMsgOnlyOne = QStringLiteral("Please select only one item in the list");
const QString kMsgApplied = QStringLiteral("Apply setting success");
const QString kMsgSaveFail = QStringLiteral("Open or Write to Option File Fail");

// Shows the wait cursor for as long as it lives.
class WaitCursor {
public:
    WaitCursor() { Seam().BeginWaitCursor(); }
    ~WaitCursor() { Seam().EndWaitCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

// Row positions of the selected rows, from the top.
std::vector<int> SelectedRows(const QTreeWidget* list)
{
    std::vector<int> rows;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (list->topLevelItem(i)->isSelected())
            rows.push_back(i);
    return rows;
}

// The port a row stands for; nullptr when the row names no occupied slot.
PortRecord* RowRecord(const QTreeWidget* list, int row)
{
    const QTreeWidgetItem* item = list->topLevelItem(row);
    if (!item)
        return nullptr;
    int n = RowPortNumber(item);
    if (n < 0 || n >= kPortCount || PortTable[n].number != n)
        return nullptr;
    return &PortTable[n];
}

QByteArray Latin1(const QTreeWidgetItem* item, int column) { return item->text(column).toLatin1(); }

// The device name as the record keeps it: at most 31 bytes, cut before a
// character rather than through one.
QByteArray DeviceNameBytes(QString text)
{
    QByteArray bytes = text.toLocal8Bit();
    while (static_cast<size_t>(bytes.size()) > kDevNameMax) {
        text.chop(1);
        if (!text.isEmpty() && text.back().isHighSurrogate())
            text.chop(1);
        bytes = text.toLocal8Bit();
    }
    return bytes;
}

// The dialog's values into a record, in the order the commands store them.
void StoreSettings(PortRecord* r, const PortSettings& s)
{
    SetDstAddrText(r, s.remoteHost.toLatin1().constData());
    SetLocAddrText(r, s.localHost.toLatin1().constData());
    SetLocPortText(r, s.localPort.toLatin1().constData());
    SetDstPortText(r, s.remotePort.toLatin1().constData());
    r->mode = static_cast<uint32_t>(s.mode);
    char name[16];
    snprintf(name, sizeof name, "COM%d", s.comNumber);
    CopyField(r->name, sizeof r->name, name, kNameMax);
    r->emuBR = 1;
    r->useCustom = s.useCustom;
    CopyField(r->devName, sizeof r->devName, DeviceNameBytes(s.deviceName).constData(), kDevNameMax);
    r->keepAlive = s.keepAlive;
    r->idleTime = s.idleTime;
    r->chkDTR = s.chkDTR;
}

// A record's settings, kept so that a refused edit can be undone.
struct SettingsCopy {
    uint32_t dstAddr, locAddr, dstPort, locPort, mode;
    int32_t useCustom, emuBR, chkDTR;
    uint32_t keepAlive, idleTime;
    char devName[sizeof PortRecord::devName];
    char name[sizeof PortRecord::name];

    explicit SettingsCopy(const PortRecord& r)
        : dstAddr(r.dstAddr), locAddr(r.locAddr), dstPort(r.dstPort), locPort(r.locPort), mode(r.mode),
          useCustom(r.useCustom), emuBR(r.emuBR), chkDTR(r.chkDTR), keepAlive(r.keepAlive),
          idleTime(r.idleTime)
    {
        memcpy(devName, r.devName, sizeof devName);
        memcpy(name, r.name, sizeof name);
    }
    void RestoreInto(PortRecord* r) const
    {
        r->dstAddr = dstAddr;
        r->locAddr = locAddr;
        r->dstPort = dstPort;
        r->locPort = locPort;
        r->mode = mode;
        r->useCustom = useCustom;
        r->emuBR = emuBR;
        r->chkDTR = chkDTR;
        r->keepAlive = keepAlive;
        r->idleTime = idleTime;
        memcpy(r->devName, devName, sizeof devName);
        memcpy(r->name, name, sizeof name);
    }
};

QStringList NamesInUse()
{
    QStringList names;
    for (const std::string& n : SerialCommNames())
        names << QString::fromLatin1(n.c_str());
    return names;
}

int LookUpDevice(const char* name, size_t size, std::string* target)
{
    std::vector<char> buf(size > 0 ? size : 1);
    errno = 0;
    if (QueryDosDevice(name, buf.data(), static_cast<uint32_t>(buf.size())) > 0) {
        *target = buf.data();
        return 1;
    }
    return errno == ERANGE ? 2 : 0;
}

}  // namespace

std::string CPontuDlg::OptionsPath() const { return programDir_ + "/" + kOptionsFileName; }

void CPontuDlg::SaveOptionsOrSay()
{
    // The change holds for the running program either way; the person must
    // know that it will not survive a restart.
    if (!SaveOptions(options_, OptionsPath().c_str(), true))
        Seam().MessageBox(this, kMsgSaveFail);
}

int CPontuDlg::ApplyPortRow(int row)
{
    QTreeWidget* list = PortList();
    PortRecord* r = RowRecord(list, row);
    if (!r || r->state.load() != STATE_STOPPED)
        return 0;
    const QTreeWidgetItem* item = list->topLevelItem(row);
    QByteArray name = Latin1(item, COL_PORTNAME);

    char params[kParamTextMax + 1];
    int len = snprintf(params, sizeof params, "PortName=%s,OverrunCheck=yes,BaudPacing=%s",
                       name.constData(), r->emuBR ? "yes" : "no");
    char side[16];
    // A text that does not fit would name another port: refuse it whole.
    if (len < 0 || static_cast<size_t>(len) > kParamTextMax ||
        ChangeREdi(UserSideName(r, side, sizeof side), params) != 0) {
        Seam().MessageBox(this, kMsgApplyFail);
        return 0;
    }

    SetDstAddrText(r, Latin1(item, COL_REMOTEIP).constData());
    SetLocAddrText(r, Latin1(item, COL_LOCALIP).constData());
    SetLocPortText(r, Latin1(item, COL_LOCALPORT).constData());
    SetDstPortText(r, Latin1(item, COL_REMOTEPORT).constData());
    SetModeByName(r, Latin1(item, COL_MODE).constData());
    CopyField(r->name, sizeof r->name, name.constData(), kNameMax);
    SaveOptionsOrSay();
    return 1;
}

void CPontuDlg::AddPortPair(const PortSettings& settings)
{
    int n = 0;
    while (n < kPortCount && PortTable[n].number != -1)
        ++n;
    if (n == kPortCount) {
        Seam().MessageBox(this, kMsgNoSlot);
        return;
    }
    QTreeWidget* list = PortList();
    const int row = list->topLevelItemCount();
    PortRecord* r = &PortTable[n];
    r->number = n;
    InstallREdi("-", "-", static_cast<uint32_t>(n));
    StoreSettings(r, settings);
    SetPortRow(list, r, true, 0);
    UpdateRowTooltips();

    bool ok = ApplyPortRow(row) == 1;
    if (ok) {
        char side[16];
        ok = ChangeREdi(BridgeSideName(r, side, sizeof side), kBridgeSideParams) == 0;
    }
    if (ok && !options_.settings.addNew)
        return;
    if (ok) {
        ok = WaitForBridgeSide(n, kAddWaitMs, kAddTargetSize);
        if (destroyed_)
            return;  // the program ended during the wait
        if (ok) {
            StartBridge(r);
            return;
        }
    }

    delete list->topLevelItem(row);
    // With startup on, the apply step's save has started this port's
    // bridge: it must not outlive the slot it runs on.
    StopBridge(r);
    RemoveREdi(static_cast<uint32_t>(r->number));
    r->number = -1;
    Seam().MessageBox(this, kMsgInstallFail);
}

bool CPontuDlg::WaitForBridgeSide(int pair, int limitMs, size_t targetSize)
{
    char name[16];
    if (pair < 0 || pair >= kPortCount || !BridgeSideName(&PortTable[pair], name, sizeof name))
        return false;
    WaitCursor cursor;
    const auto limit = std::chrono::milliseconds(limitMs);
    const auto t0 = std::chrono::steady_clock::now();
    for (;;) {
        if (DeviceNameExists(name, static_cast<uint32_t>(targetSize)))
            return true;
        // The window keeps painting and taking port states meanwhile.
        Seam().ProcessEvents();
        std::this_thread::sleep_for(kWaitPoll);
        if (destroyed_ || std::chrono::steady_clock::now() - t0 > limit)
            return false;
    }
}

void CPontuDlg::OnAdd()
{
    CAddREdiDlg dialog(this, NamesInUse(), LookUpDevice);
    if (Seam().RunModal(&dialog) == QDialog::Accepted && !destroyed_)
        AddPortPair(dialog.Fields());
}

void CPontuDlg::OnDelete()
{
    QTreeWidget* list = PortList();
    for (;;) {
        std::vector<int> rows = SelectedRows(list);
        if (rows.empty())
            return;
        QTreeWidgetItem* item = list->topLevelItem(rows.front());
        int n = RowPortNumber(item);
        delete item;
        if (n >= 0 && n < kPortCount && PortTable[n].number == n) {
            PortRecord* r = &PortTable[n];
            StopBridge(r);
            RemoveREdi(static_cast<uint32_t>(r->number));
            r->number = -1;
        }
        if (rows.size() == 1)
            return;
    }
}

void CPontuDlg::OnStart()
{
    // The slots first: the rows may change while the window waits.
    std::vector<PortRecord*> ports;
    for (int row : SelectedRows(PortList()))
        if (PortRecord* r = RowRecord(PortList(), row))
            ports.push_back(r);
    for (PortRecord* r : ports) {
        WaitForBridgeSide(r->number, kStartWaitMs, kStartTargetSize);
        if (destroyed_)
            return;
        // Started whether or not the bridge side came: the bridge retries.
        StartBridge(r);
    }
}

void CPontuDlg::OnStop()
{
    QTreeWidget* list = PortList();
    for (int row : SelectedRows(list))
        if (PortRecord* r = RowRecord(list, row))
            StopBridge(r);
}

void CPontuDlg::OnApply()
{
    QTreeWidget* list = PortList();
    std::vector<int> rows = SelectedRows(list);
    if (rows.empty())
        return;
    int row = rows.front();
    if (ApplyPortRow(row) == 1) {
        Seam().MessageBox(this, kMsgApplied);
    } else if (const PortRecord* r = RowRecord(list, row)) {
        SetPortRow(list, r, false, row);
    }
}

void CPontuDlg::OnProperty()
{
    QTreeWidget* list = PortList();
    std::vector<int> rows = SelectedRows(list);
    if (rows.size() >= 2) {
        Seam().MessageBox(this, kMsgOnlyOne);
        return;
    }
    LoadOptionsIn(options_, programDir_.c_str());
    if (rows.empty())
        return;
    const int row = rows.front();
    PortRecord* r = RowRecord(list, row);
    if (!r)
        return;

    CAddREdiDlg dialog(this, r, NamesInUse(), LookUpDevice);
    if (Seam().RunModal(&dialog) != QDialog::Accepted || destroyed_ || r->state.load() != STATE_STOPPED)
        return;
    // Rows are only removed by commands of this window, which a modal
    // dialog holds off; still, act on the row only if it is still this port's.
    if (RowRecord(list, row) != r)
        return;

    const SettingsCopy before(*r);
    StoreSettings(r, dialog.Fields());
    SetPortRow(list, r, false, row);
    UpdateRowTooltips();
    if (ApplyPortRow(row) == 0) {
        Seam().MessageBox(this, kMsgApplyFail);
        // The pair kept its old name: so does the record, or the settings
        // would be saved at exit under a name no pair carries, and lost.
        before.RestoreInto(r);
        SetPortRow(list, r, false, row);
        UpdateRowTooltips();
        return;
    }
    SaveOptionsOrSay();
}
