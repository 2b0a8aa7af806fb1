// The main window as a whole: discovery from a program folder, live states
// from bridge threads, the command routing, the tray, and the shutdown.
#include <gtest/gtest.h>

#include <QAction>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QSignalSpy>
#include <QTreeWidget>
#include <thread>

#include "../ui_test_support.h"
#include "engine/port_table.h"
#include "ports/port_list.h"
#include "res/resource.h"
#include "shell/main_window.h"

using namespace uitest;

namespace {

QString Cell(QTreeWidget* list, int row, int col) { return list->topLevelItem(row)->text(col); }

class MainWindowTest : public ::testing::Test {
protected:
    // Pair 0 named COM3 with no options element, pair 2 named COM7 in udp.
    void PrepareFolder(bool startup)
    {
        folder.Write("pairs.dat",
                     "0\tPortName=COM3,OverrunCheck=yes,BaudPacing=yes\n"
                     "2\tPortName=COM7,OverrunCheck=yes,BaudPacing=yes\n");
        folder.Write("options.dat",
                     OptionsDocument(startup, {PortElement("COM7", "udp", "127.0.0.1", 40007,
                                                           "127.0.0.1", 0)}));
    }

    TempFolder folder;
    RecordingSeam seam;
};

TEST_F(MainWindowTest, DiscoveryFillsRowsFromPairsAndOptionsAndStartsNothingWithStartupOff)
{
    PrepareFolder(false);
    CPontuDlg dlg(folder.Path());
    ASSERT_TRUE(dlg.OnInitDialog());
    QTreeWidget* list = dlg.PortList();

    QStringList headers;
    for (int i = 0; i < list->columnCount(); ++i)
        headers << list->headerItem()->text(i);
    EXPECT_EQ(headers, (QStringList{"No", "Port Name", "Mode", "Remote Ip", "Remote Port", "Local Ip",
                                    "Local Port", "State", "Information"}));

    // The columns share the window's width by their weights.
    EXPECT_EQ(list->columnWidth(COL_REMOTEIP), list->columnWidth(COL_LOCALIP));
    EXPECT_GE(list->columnWidth(COL_REMOTEIP), 4 * list->columnWidth(COL_NO));
    EXPECT_GE(list->columnWidth(COL_NO), 15);

    ASSERT_EQ(list->topLevelItemCount(), 2);
    // A port without an options element takes every default.
    EXPECT_EQ(Cell(list, 0, COL_NO), "0");
    EXPECT_EQ(Cell(list, 0, COL_PORTNAME), "COM3");
    EXPECT_EQ(Cell(list, 0, COL_MODE), "tcpserver");
    EXPECT_EQ(Cell(list, 0, COL_REMOTEIP), "0.0.0.0");
    EXPECT_EQ(Cell(list, 0, COL_LOCALPORT), "0");
    EXPECT_EQ(Cell(list, 0, COL_STATE), "Stopped");
    EXPECT_EQ(Cell(list, 1, COL_NO), "2");
    EXPECT_EQ(Cell(list, 1, COL_MODE), "udp");
    EXPECT_EQ(Cell(list, 1, COL_REMOTEIP), "127.0.0.1");
    EXPECT_EQ(Cell(list, 1, COL_REMOTEPORT), "40007");
    EXPECT_EQ(Cell(list, 1, COL_INFORMATION), "");
    // The row tells where a serial program finds the port.
    EXPECT_EQ(list->topLevelItem(1)->toolTip(0), QString::fromStdString(folder.File("dev/COM7")));
    EXPECT_EQ(PortTable[2].mode, MODE_UDP);
    EXPECT_EQ(PortTable[1].number, -1);
    EXPECT_FALSE(PortTable[0].hThread);
    EXPECT_FALSE(PortTable[2].hThread);
    dlg.OnDestroy();
}

TEST_F(MainWindowTest, StartupRunsTheBridgesAndExitStopsThemBeforeSavingWithoutRestarting)
{
    PrepareFolder(true);
    auto dlg = std::make_unique<CPontuDlg>(folder.Path());
    dlg->OnInitDialog();
    QTreeWidget* list = dlg->PortList();
    EXPECT_TRUE(PortTable[0].hThread);
    EXPECT_TRUE(PortTable[2].hThread);
    // The udp bridge reports its states into its row.
    ASSERT_TRUE(ProcessUntil([&] { return Cell(list, 1, COL_STATE) == "Waiting"; }));

    QSignalSpy ended(dlg.get(), &CPontuDlg::ended);
    dlg->OnCommand(ID_SYSTEM_EXIT);
    EXPECT_EQ(ended.count(), 1);
    EXPECT_EQ(list->topLevelItemCount(), 0);
    EXPECT_FALSE(PortTable[0].hThread);
    EXPECT_FALSE(PortTable[2].hThread);
    EXPECT_TRUE(seam.messages.empty());
    const std::string saved = folder.Read("options.dat");
    EXPECT_NE(saved.find("<STARTUP>TRUE</STARTUP>\r\n"), std::string::npos);
    EXPECT_NE(saved.find("<COM3>\r\n<DSTADDR>0.0.0.0</DSTADDR>"), std::string::npos);
    EXPECT_NE(saved.find("<COM7>\r\n<DSTADDR>127.0.0.1</DSTADDR>\r\n<DSTPORT>40007</DSTPORT>"),
              std::string::npos);
    // The pairs' links end with the program.
    EXPECT_FALSE(std::filesystem::exists(folder.File("dev/COM7")));
    dlg.reset();
    EXPECT_FALSE(PortTable[2].hThread);
}

TEST_F(MainWindowTest, StateFromABridgeThreadReachesTheRowInPostingOrder)
{
    PrepareFolder(false);
    CPontuDlg dlg(folder.Path());
    dlg.OnInitDialog();
    PortRecord* r = &PortTable[2];
    std::thread bridge([r] {
        PostPortState(r, STATE_CHECKING);
        PostPortState(r, STATE_CONNECTED);
    });
    bridge.join();
    QTreeWidget* list = dlg.PortList();
    EXPECT_EQ(Cell(list, 1, COL_STATE), "Stopped");  // nothing touched from the thread
    ASSERT_TRUE(ProcessUntil([&] { return Cell(list, 1, COL_STATE) == "Connected"; }));
    EXPECT_EQ(Cell(list, 0, COL_STATE), "Stopped");
    r->state = STATE_STOPPED;
    dlg.OnDestroy();
}

TEST_F(MainWindowTest, BadPairEntriesNeverReachPastTheTableOrTakeALongName)
{
    InitPortTable(nullptr);
    char text[] = "PortName=COM3";
    ListPortCallback(256, text, nullptr);
    ListPortCallback(0xFFFFFFFFu, text, nullptr);
    for (const PortRecord& r : PortTable)
        EXPECT_EQ(r.number, -1);

    // Longer than the name field: the pair is kept (it can be deleted) but
    // the name is not cut into another port's name.
    char longName[] = "PortName=COM1234,BaudPacing=yes";
    ListPortCallback(4, longName, nullptr);
    EXPECT_EQ(PortTable[4].number, 4);
    EXPECT_STREQ(PortTable[4].name, "");

    // An item without "=" ends the reading of that pair.
    char cut[] = "PortName=COM9,Broken,BaudPacing=yes";
    ListPortCallback(5, cut, nullptr);
    EXPECT_STREQ(PortTable[5].name, "COM9");
}

TEST_F(MainWindowTest, RoutingReachesTheAboutBoxExitAndShowWindow)
{
    PrepareFolder(false);
    CPontuDlg dlg(folder.Path());
    dlg.OnInitDialog();
    QSignalSpy ended(&dlg, &CPontuDlg::ended);

    dlg.OnCommand(ID_HELP_ABOUT);
    dlg.OnCommand(IDM_ABOUTBOX);
    EXPECT_EQ(seam.modals, (std::vector<QString>{"CAboutDlg", "CAboutDlg"}));
    dlg.OnCommand(ID_TRAY_UNINSTALL);  // nothing happens
    EXPECT_EQ(PortTable[2].number, 2);
    EXPECT_EQ(ended.count(), 0);

    // The dialogs and file dialogs of the other commands (all cancelled).
    seam.modals.clear();
    dlg.PortList()->topLevelItem(1)->setSelected(true);
    for (int id : {ID_VCOM_ADD, ID_VCOM_PROPERTY, ID_SYSTEM_OPTION, ID_SYSTEM_TOOLS, ID_SYSTEM_EXPORT,
                   ID_SYSTEM_IMPORT})
        dlg.OnCommand(id);
    EXPECT_EQ(seam.modals, (std::vector<QString>{"CAddREdiDlg", "CAddREdiDlg", "COptionDlg", "CToolDlg"}));
    EXPECT_EQ(seam.fileDialogs, (std::vector<QString>{"save"}));  // import refused: rows exist
    EXPECT_EQ(seam.messages,
              (std::vector<QString>{"Please remove all the virtual COM ports before import!"}));
    seam.messages.clear();

    // The port commands act on the selected row.
    dlg.OnCommand(ID_VCOM_START);
    EXPECT_TRUE(PortTable[2].hThread);
    dlg.OnCommand(ID_VCOM_STOP);
    EXPECT_FALSE(PortTable[2].hThread);
    dlg.OnCommand(ID_VCOM_APPLY);
    EXPECT_EQ(seam.messages, (std::vector<QString>{"Apply setting success"}));
    dlg.OnCommand(ID_VCOM_DELETE);
    EXPECT_EQ(PortTable[2].number, -1);
    EXPECT_EQ(dlg.PortList()->topLevelItemCount(), 1);

    // Every menu-bar action carries its command id.
    QList<int> ids;
    for (QAction* menu : dlg.menuBar()->actions())
        for (QAction* a : menu->menu()->actions())
            ids << a->data().toInt();
    EXPECT_EQ(ids, (QList<int>{ID_SYSTEM_OPTION, ID_SYSTEM_TOOLS, ID_SYSTEM_EXPORT, ID_SYSTEM_IMPORT,
                               ID_SYSTEM_EXIT, ID_VCOM_ADD, ID_VCOM_DELETE, ID_VCOM_START,
                               ID_VCOM_STOP, ID_VCOM_APPLY, ID_VCOM_PROPERTY, ID_HELP_ABOUT}));

    // The close box keeps the program running; "Show Window" brings it back.
    dlg.close();
    EXPECT_EQ(ended.count(), 0);
    EXPECT_TRUE(dlg.isMinimized());  // no tray host here: minimised, still reachable
    dlg.hide();                      // as in the tray
    dlg.PostCommand(ID_TRAY_SHOWWINDOW);
    ASSERT_TRUE(ProcessUntil([&] { return dlg.isVisible(); }));

    // Esc in the main window ends the program like "Exit".
    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(dlg.PortList(), &esc);
    EXPECT_EQ(ended.count(), 1);
    EXPECT_TRUE(dlg.HasEnded());
}

TEST_F(MainWindowTest, AFailedShutdownSaveIsReportedOnceAndTheProgramStillEnds)
{
    PrepareFolder(false);
    CPontuDlg dlg(folder.Path());
    dlg.OnInitDialog();
    std::filesystem::remove(folder.File("options.dat"));
    std::filesystem::create_directory(folder.File("options.dat"));
    QSignalSpy ended(&dlg, &CPontuDlg::ended);
    dlg.OnExit();
    dlg.OnExit();
    EXPECT_EQ(seam.messages, (std::vector<QString>{"Open or Write to Option File Fail"}));
    EXPECT_EQ(ended.count(), 2);
}

TEST_F(MainWindowTest, AFailedSaveOnASignalsExitAsksNobodyAndTheProgramEnds)
{
    PrepareFolder(false);
    CPontuDlg dlg(folder.Path());
    dlg.OnInitDialog();
    std::filesystem::remove(folder.File("options.dat"));
    std::filesystem::create_directory(folder.File("options.dat"));
    QSignalSpy ended(&dlg, &CPontuDlg::ended);
    dlg.OnSignalExit();
    EXPECT_TRUE(seam.messages.empty());
    EXPECT_EQ(ended.count(), 1);
    EXPECT_TRUE(dlg.HasEnded());
}

}  // namespace

namespace {

TEST(MainWindowAutorun, WithoutATrayHostTheWindowStartsMinimisedNotHidden)
{
    TempFolder folder;
    RecordingSeam seam;
    std::string doc = OptionsDocument(false, {});
    doc.replace(doc.find("<AUTORUN>FALSE"), 14, "<AUTORUN>TRUE");
    folder.Write("options.dat", doc);
    CPontuDlg dlg(folder.Path());
    dlg.OnInitDialog();
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_TRUE(dlg.isMinimized());
    dlg.OnDestroy();
    EXPECT_NE(folder.Read("options.dat").find("<AUTORUN>TRUE</AUTORUN>"), std::string::npos);
}

}  // namespace
