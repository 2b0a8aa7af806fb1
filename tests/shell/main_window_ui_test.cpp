// The main window as a whole: discovery from a program folder, live states
// from bridge threads, the command routing, the tray, and the shutdown.
#include <gtest/gtest.h>

#include <QAction>
#include <QClipboard>
#include <QMenu>
#include <QMenuBar>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>
#include <thread>

#include "../ui_test_support.h"
#include "config/autorun.h"
#include "engine/port_table.h"
#include "ports/port_commands.h"
#include "ports/port_list.h"
#include "ports/program.h"
#include "shell/app.h"
#include "shell/main_window.h"
#include "shell/tray_icon.h"

using namespace uitest;

namespace {

QString Cell(QTreeWidget* list, int row, int col) { return list->topLevelItem(row)->text(col); }
QAction* Action(QWidget& w, const char* name) { return w.findChild<QAction*>(name); }

class MainWindowTest : public ::testing::Test {
protected:
    // Pair 0 named COM3 with no options element, pair 2 named COM7 in udp.
    void PrepareFolder(bool startup, bool autorun = false)
    {
        folder.Write("pairs.dat",
                     "0\tPortName=COM3,OverrunCheck=yes,BaudPacing=yes\n"
                     "2\tPortName=COM7,OverrunCheck=yes,BaudPacing=yes\n");
        folder.Write("options.dat",
                     OptionsDocument(startup, {PortElement("COM7", "udp", "127.0.0.1", 40007, "127.0.0.1", 0)}, autorun));
    }

    // The folder prepared, the program started with its window as the
    // application starts them.
    MainWindow& Start(bool startup, bool autorun = false)
    {
        PrepareFolder(startup, autorun);
        window = std::make_unique<MainWindow>(program);
        EXPECT_EQ(StartProgram(program, *window), Program::Opened::kOwner);
        return *window;
    }

    TempFolder folder;
    RecordingSeam seam;
    Program program{folder.Path()};
    std::unique_ptr<MainWindow> window;
};

TEST_F(MainWindowTest, DiscoveryFillsRowsAndStartupRunsBridgesThatExitStopsBeforeSaving)
{
    MainWindow& dlg = Start(true);
    QTreeWidget* list = dlg.PortList();
    // The columns share the window's width by their weights.
    EXPECT_EQ(list->columnWidth(COL_REMOTEIP), list->columnWidth(COL_LOCALIP));

    ASSERT_EQ(list->topLevelItemCount(), 2);
    // A port without an options element takes every default.
    EXPECT_EQ((QStringList{Cell(list, 0, COL_PORTNAME), Cell(list, 0, COL_MODE), Cell(list, 0, COL_REMOTEIP),
                           Cell(list, 1, COL_REMOTEPORT)}), (QStringList{"COM3", "tcpserver", "0.0.0.0", "40007"}));
    EXPECT_EQ(list->topLevelItem(1)->toolTip(0), QString::fromStdString(folder.File("dev/COM7")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Cell(list, 1, COL_STATE) == "Waiting"; }));

    QSignalSpy ended(&dlg, &MainWindow::ended);
    Action(dlg, "actionExit")->trigger();
    EXPECT_EQ(ended.count(), 1);
    EXPECT_EQ(list->topLevelItemCount(), 0);
    EXPECT_FALSE(PortTable[2].thread);  // stopped, and the save restarted none
    EXPECT_NE(folder.Read("options.dat").find("<COM3>\r\n<DSTADDR>0.0.0.0</DSTADDR>"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(folder.File("dev/COM7")));
}

TEST_F(MainWindowTest, StateFromABridgeThreadReachesTheRowInPostingOrder)
{
    MainWindow& dlg = Start(false);
    PortRecord* r = &PortTable[2];
    std::thread([r] { PostPortState(r, STATE_CHECKING), PostPortState(r, STATE_CONNECTED); }).join();
    QTreeWidget* list = dlg.PortList();
    EXPECT_EQ(Cell(list, 1, COL_STATE), "Stopped");  // nothing touched from the thread
    ASSERT_TRUE(QTest::qWaitFor([&] { return Cell(list, 1, COL_STATE) == "Connected"; }));
    r->state = STATE_CHECKING;  // the next attempt failed: "Information" says why
    NoteFailure(r, ECONNREFUSED, "connect 127.0.0.1:40007: Connection refused");
    dlg.RefreshInformation();
    EXPECT_EQ(Cell(list, 1, COL_INFORMATION), "connect 127.0.0.1:40007: Connection refused");
    r->state = STATE_STOPPED;
}

TEST_F(MainWindowTest, MenusAndTheTrayReachTheirCommands)
{
    MainWindow& dlg = Start(false);
    QSignalSpy ended(&dlg, &MainWindow::ended);

    // Every menu item but Exit and Delete, each reaching its command.
    dlg.PortList()->topLevelItem(1)->setSelected(true);
    for (QAction* menu : dlg.menuBar()->actions())
        for (QAction* a : menu->menu()->actions())
            if (a != Action(dlg, "actionExit") && a != Action(dlg, "actionDelete"))
                a->trigger();
    EXPECT_EQ(seam.modals, (std::vector<QString>{"OptionDialog", "RepairDialog", "PortDialog", "PortDialog",
                                                 "AboutDialog"}));
    EXPECT_EQ(seam.fileDialogs, (std::vector<QString>{"save"}));  // import refused: rows exist
    EXPECT_EQ(seam.messages, (std::vector<QString>{"Please remove all the virtual COM ports before import!",
                                                   "Apply setting success"}));

    QList<QAction*> tray = dlg.Tray().Menu()->actions();
    ASSERT_EQ(tray.size(), 5);
    EXPECT_EQ(dlg.Tray().Menu()->defaultAction(), tray[0]);
    EXPECT_FALSE(dlg.Tray().Watching());  // without a display no tray can come

    // A single click toggles; without a tray host the window minimises.
    dlg.Tray().Activate(QSystemTrayIcon::Trigger);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.isMinimized(); }));
    dlg.Tray().Activate(QSystemTrayIcon::Trigger);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.isVisible() && !dlg.isMinimized(); }));
    dlg.hide();
    dlg.Tray().Activate(QSystemTrayIcon::DoubleClick);  // the default item
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.isVisible() && !dlg.isMinimized(); }));
    tray[2]->trigger();
    EXPECT_EQ(seam.modals.back(), "AboutDialog");
    dlg.close();  // the close box keeps the program
    EXPECT_EQ(ended.count(), 0);
}

TEST_F(MainWindowTest, KeysTheListMenuAndUninstallActOnlyWhenMeant)
{
    MainWindow& dlg = Start(false);
    QSignalSpy ended(&dlg, &MainWindow::ended);
    QTreeWidget* list = dlg.PortList();
    // The list's menu holds the menu bar's own commands on the selection.
    QList<QAction*> items = dlg.ListMenu()->actions();
    ASSERT_EQ(items.size(), 8);
    EXPECT_EQ(items.mid(0, 4), (QList<QAction*>{Action(dlg, "actionStart"), Action(dlg, "actionStop"),
                                                Action(dlg, "actionProperty"), Action(dlg, "actionDelete")}));
    for (QAction* a : items)
        EXPECT_EQ(a->isEnabled(), a->isSeparator()) << a->text().toStdString();

    list->topLevelItem(1)->setSelected(true);
    items[5]->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QString::fromStdString(folder.File("dev/COM7")));
    // The row's trace goes to the file chosen until "Stop trace".
    PortTrace& trace = PortTable[RowPortNumber(list->topLevelItem(1))].trace;
    seam.saveAnswer = QString::fromStdString(folder.File("trace.log"));
    items[6]->trigger(), trace.Event("COM7", "seen");
    EXPECT_TRUE(items[7]->isEnabled());
    items[7]->trigger(), trace.Event("COM7", "unseen");
    EXPECT_TRUE(folder.Read("trace.log").ends_with(" COM7 event seen\n")) << folder.Read("trace.log");
    QTest::keyClick(list, Qt::Key_Return);  // Property, like a double click
    EXPECT_EQ(seam.modals, std::vector<QString>{"PortDialog"});

    QTest::keyClick(list, Qt::Key_Delete);  // asked first: the port commands' test
    EXPECT_EQ(seam.messages, std::vector<QString>{"?Delete the selected virtual COM ports?"});
    EXPECT_EQ(PortTable[2].number, -1);

    QTest::keyClick(list, Qt::Key_Escape);  // to the tray, like the close box
    EXPECT_TRUE(dlg.isMinimized());

    ASSERT_TRUE(std::filesystem::exists(folder.File("dev/COM3")));
    setenv("XDG_CONFIG_HOME", folder.File("config").c_str(), 1);
    ASSERT_EQ(SetLogonAutorun(1), 1);
    dlg.Tray().Menu()->actions()[3]->trigger();  // Uninstall
    EXPECT_FALSE(std::filesystem::exists(AutostartEntryPath(RunningExecutablePath())));
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(list->topLevelItemCount(), 0);
    EXPECT_EQ(PortTable[0].number, -1);
    EXPECT_FALSE(std::filesystem::exists(folder.File("dev/COM3")));
    EXPECT_EQ(folder.Read("pairs.dat"), "");
    EXPECT_EQ(folder.Read("options.dat").find("<COM"), std::string::npos);
    EXPECT_EQ(ended.count(), 0);
}

TEST_F(MainWindowTest, AFailedShutdownSaveIsSaidOnceOrOnStandardErrorAfterASignal)
{
    for (bool signal : {false, true}) {
        PrepareFolder(false, true);
        seam.messages.clear();
        Program each(folder.Path());
        MainWindow dlg(each);
        ASSERT_EQ(StartProgram(each, dlg), Program::Opened::kOwner);
        // Autorun with no tray host: minimised, not hidden, so it stays reachable.
        EXPECT_TRUE(dlg.isVisible() && dlg.isMinimized());
        std::filesystem::remove(folder.File("options.dat"));
        std::filesystem::create_directory(folder.File("options.dat"));
        QSignalSpy ended(&dlg, &MainWindow::ended);
        signal ? dlg.OnSignalExit() : dlg.OnExit();
        dlg.OnExit();
        EXPECT_EQ(seam.messages, signal ? std::vector<QString>{} : std::vector<QString>{QString::fromStdString(
                                               WithReason(kMsgSaveFail, "cannot write " + folder.File("options.dat") +
                                                                            ": it is a folder"))});
        EXPECT_EQ(ended.count(), 2);
        std::filesystem::remove(folder.File("options.dat"));
    }
}

}  // namespace
