// The main window as a whole: discovery from a program folder, live states
// from bridge threads, the command routing, the tray, and the shutdown.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QPushButton>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QSignalSpy>
#include <QTreeWidget>
#include <thread>

#include "../ui_test_support.h"
#include "config/autorun.h"
#include "config/option_dialog.h"
#include "config/options_file.h"
#include "shell/about_dialog.h"
#include "engine/port_table.h"
#include "ports/port_list.h"
#include "res/resource.h"
#include "shell/main_window.h"
#include "shell/tray_icon.h"

using namespace uitest;

namespace {

QString Cell(QTreeWidget* list, int row, int col) { return list->topLevelItem(row)->text(col); }

class MainWindowTest : public ::testing::Test {
protected:
    // Pair 0 named COM3 with no options element, pair 2 named COM7 in udp.
    void PrepareFolder(bool startup, bool autorun = false)
    {
        folder.Write("pairs.dat",
                     "0\tPortName=COM3,OverrunCheck=yes,BaudPacing=yes\n"
                     "2\tPortName=COM7,OverrunCheck=yes,BaudPacing=yes\n");
        std::string doc = OptionsDocument(
            startup, {PortElement("COM7", "udp", "127.0.0.1", 40007, "127.0.0.1", 0)});
        if (autorun)
            doc.replace(doc.find("<AUTORUN>FALSE"), 14, "<AUTORUN>TRUE");
        folder.Write("options.dat", doc);
    }

    TempFolder folder;
    RecordingSeam seam;
};

TEST_F(MainWindowTest, DiscoveryFillsRowsAndStartupRunsBridgesThatExitStopsBeforeSaving)
{
    PrepareFolder(true);
    MainWindow dlg(folder.Path());
    ASSERT_TRUE(dlg.OnInitDialog());
    QTreeWidget* list = dlg.PortList();
    EXPECT_EQ(list->headerItem()->text(COL_INFORMATION), "Information");
    // The columns share the window's width by their weights.
    EXPECT_EQ(list->columnWidth(COL_REMOTEIP), list->columnWidth(COL_LOCALIP));
    EXPECT_GE(list->columnWidth(COL_NO), 15);

    ASSERT_EQ(list->topLevelItemCount(), 2);
    // A port without an options element takes every default.
    EXPECT_EQ(Cell(list, 0, COL_PORTNAME), "COM3");
    EXPECT_EQ(Cell(list, 0, COL_MODE), "tcpserver");
    EXPECT_EQ(Cell(list, 0, COL_REMOTEIP), "0.0.0.0");
    EXPECT_EQ(Cell(list, 1, COL_NO), "2");
    EXPECT_EQ(Cell(list, 1, COL_REMOTEPORT), "40007");
    EXPECT_EQ(list->topLevelItem(1)->toolTip(0), QString::fromStdString(folder.File("dev/COM7")));
    ASSERT_TRUE(ProcessUntil([&] { return Cell(list, 1, COL_STATE) == "Waiting"; }));

    QSignalSpy ended(&dlg, &MainWindow::ended);
    dlg.OnCommand(ID_SYSTEM_EXIT);
    EXPECT_EQ(ended.count(), 1);
    EXPECT_EQ(list->topLevelItemCount(), 0);
    EXPECT_FALSE(PortTable[2].thread);  // stopped, and the save restarted none
    EXPECT_NE(folder.Read("options.dat").find("<COM3>\r\n<DSTADDR>0.0.0.0</DSTADDR>"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(folder.File("dev/COM7")));
}

TEST_F(MainWindowTest, StateFromABridgeThreadReachesTheRowInPostingOrder)
{
    PrepareFolder(false);
    MainWindow dlg(folder.Path());
    dlg.OnInitDialog();
    PortRecord* r = &PortTable[2];
    std::thread([r] {
        PostPortState(r, STATE_CHECKING);
        PostPortState(r, STATE_CONNECTED);
    }).join();
    QTreeWidget* list = dlg.PortList();
    EXPECT_EQ(Cell(list, 1, COL_STATE), "Stopped");  // nothing touched from the thread
    ASSERT_TRUE(ProcessUntil([&] { return Cell(list, 1, COL_STATE) == "Connected"; }));
    r->state = STATE_CHECKING;  // the next attempt failed: "Information" says why
    r->lastError = ECONNREFUSED;
    dlg.RefreshInformation();
    EXPECT_EQ(Cell(list, 1, COL_INFORMATION), "Connection refused");
    r->state = STATE_STOPPED;
}

TEST(PortListCallback, BadPairEntriesNeverReachPastTheTableOrTakeALongName)
{
    InitPortTable(nullptr);
    char text[] = "PortName=COM3";
    ListPortCallback(256, text, nullptr);
    for (const PortRecord& r : PortTable)
        EXPECT_EQ(r.number, -1);
    // Longer than the name field: kept, so it can be deleted, but not cut
    // into another port's name.
    char longName[] = "PortName=COM1234,BaudPacing=yes";
    ListPortCallback(4, longName, nullptr);
    EXPECT_EQ(PortTable[4].number, 4);
    EXPECT_STREQ(PortTable[4].name, "");
}

TEST_F(MainWindowTest, MenusAndTheTrayReachTheirCommands)
{
    PrepareFolder(false);
    MainWindow dlg(folder.Path());
    dlg.OnInitDialog();
    QSignalSpy ended(&dlg, &MainWindow::ended);

    // Every menu item but Exit and Delete, each reaching its command.
    dlg.PortList()->topLevelItem(1)->setSelected(true);
    for (QAction* menu : dlg.menuBar()->actions())
        for (QAction* a : menu->menu()->actions())
            if (a->data().toInt() != ID_SYSTEM_EXIT && a->data().toInt() != ID_VCOM_DELETE)
                a->trigger();
    dlg.OnCommand(IDM_ABOUTBOX);
    EXPECT_EQ(seam.modals, (std::vector<QString>{"OptionDialog", "RepairDialog", "PortDialog", "PortDialog",
                                                 "AboutDialog", "AboutDialog"}));
    EXPECT_EQ(seam.fileDialogs, (std::vector<QString>{"save"}));  // import refused: rows exist
    EXPECT_EQ(seam.messages, (std::vector<QString>{"Please remove all the virtual COM ports before import!",
                                                   "Apply setting success"}));

    QList<QAction*> tray = dlg.Tray().Menu()->actions();
    ASSERT_EQ(tray.size(), 5);
    EXPECT_EQ(tray[0]->text(), "Show Window");
    EXPECT_EQ(dlg.Tray().Menu()->defaultAction(), tray[0]);
    EXPECT_FALSE(dlg.Tray().Watching());  // without a display no tray can come

    // A single click toggles; without a tray host the window minimises.
    EXPECT_EQ(dlg.Tray().HandleNotification(IDR_TRAYMENU, TRAY_EVENT_LBUTTONUP), 1);
    ASSERT_TRUE(ProcessUntil([&] { return dlg.isMinimized(); }));
    dlg.Tray().HandleNotification(IDR_TRAYMENU, TRAY_EVENT_LBUTTONUP);
    ASSERT_TRUE(ProcessUntil([&] { return dlg.isVisible() && !dlg.isMinimized(); }));
    dlg.hide();
    dlg.PostCommand(ID_TRAY_SHOWWINDOW);
    ASSERT_TRUE(ProcessUntil([&] { return dlg.isVisible() && !dlg.isMinimized(); }));
    dlg.close();  // the close box keeps the program
    EXPECT_EQ(ended.count(), 0);
}

TEST_F(MainWindowTest, KeysTheListMenuAndUninstallActOnlyWhenMeant)
{
    PrepareFolder(false);
    MainWindow dlg(folder.Path());
    dlg.OnInitDialog();
    QSignalSpy ended(&dlg, &MainWindow::ended);
    QTreeWidget* list = dlg.PortList();
    auto key = [&](Qt::Key k) {
        QKeyEvent e(QEvent::KeyPress, k, Qt::NoModifier);
        QApplication::sendEvent(list, &e);
    };
    QList<QAction*> items = dlg.ListMenu()->actions();
    QStringList texts;
    for (QAction* a : items)
        if (!a->isSeparator())
            texts << a->text();
    EXPECT_EQ(texts, (QStringList{"Start", "Stop", "Property", "Delete", "Copy device path"}));
    for (QAction* a : items)
        EXPECT_EQ(a->isEnabled(), a->isSeparator()) << a->text().toStdString();

    list->topLevelItem(1)->setSelected(true);
    EXPECT_TRUE(items.back()->isEnabled());
    items.back()->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QString::fromStdString(folder.File("dev/COM7")));
    key(Qt::Key_Return);  // Property, like a double click
    EXPECT_EQ(seam.modals, std::vector<QString>{"PortDialog"});

    seam.yes = false;
    key(Qt::Key_Delete);
    EXPECT_EQ(seam.messages, std::vector<QString>{"?Delete the selected virtual COM ports?"});
    EXPECT_EQ(PortTable[2].number, 2);
    seam.yes = true;
    key(Qt::Key_Delete);
    EXPECT_EQ(PortTable[2].number, -1);

    key(Qt::Key_Escape);  // to the tray, like the close box
    EXPECT_TRUE(dlg.isMinimized());
    EXPECT_EQ(ended.count(), 0);

    ASSERT_TRUE(std::filesystem::exists(folder.File("dev/COM3")));
    setenv("XDG_CONFIG_HOME", folder.File("config").c_str(), 1);
    ASSERT_EQ(SetLogonAutorun(1), 1);
    dlg.OnCommand(ID_TRAY_UNINSTALL);
    EXPECT_FALSE(std::filesystem::exists(AutostartEntryPath(RunningExecutablePath())));
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(list->topLevelItemCount(), 0);
    EXPECT_EQ(PortTable[0].number, -1);
    EXPECT_FALSE(std::filesystem::exists(folder.File("dev/COM3")));
    EXPECT_EQ(folder.Read("pairs.dat"), "");
    EXPECT_EQ(folder.Read("options.dat").find("<COM"), std::string::npos);
    EXPECT_EQ(ended.count(), 0);
}

TEST(DialogTexts, SpeakOfThisSystem)
{
    OptionDialog option(0, 0, 0, 1, nullptr);
    EXPECT_EQ(option.findChild<QCheckBox*>("autoRunCheck")->text(), "Run when I log on");
    AboutDialog about(nullptr);
    QStringList buttons;
    for (QPushButton* b : about.findChildren<QPushButton*>())
        buttons << b->text();
    EXPECT_EQ(buttons, QStringList{"OK"});
}

TEST_F(MainWindowTest, AFailedShutdownSaveIsSaidOnceOrOnStandardErrorAfterASignal)
{
    for (bool signal : {false, true}) {
        PrepareFolder(false, true);
        seam.messages.clear();
        MainWindow dlg(folder.Path());
        dlg.OnInitDialog();
        // Autorun with no tray host: minimised, not hidden, so it stays reachable.
        EXPECT_TRUE(dlg.isVisible() && dlg.isMinimized());
        std::filesystem::remove(folder.File("options.dat"));
        std::filesystem::create_directory(folder.File("options.dat"));
        QSignalSpy ended(&dlg, &MainWindow::ended);
        if (signal)
            dlg.OnSignalExit();
        else
            dlg.OnExit();
        dlg.OnExit();
        EXPECT_EQ(seam.messages.size(), signal ? 0u : 1u);
        EXPECT_EQ(ended.count(), 2);
        std::filesystem::remove(folder.File("options.dat"));
    }
}

}  // namespace
