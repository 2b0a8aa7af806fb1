#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QTreeWidget>
#include <chrono>
#include <cstring>
#include <map>

#include "../ui_test_support.h"
#include "engine/port_table.h"
#include "engine/unique_fd.h"
#include "ports/pair_setup.h"
#include "ports/port_list.h"

using namespace uitest;
using Clock = std::chrono::steady_clock;
using Rows = std::vector<std::string>;

namespace {

const QString kApplyFail = QStringLiteral("Failed to apply setting, please recheck it");
const QString kInstallFail = QStringLiteral("Install driver for virtual com fail, please reinstall it!");
const QString kApplied = QStringLiteral("Apply setting success");
const QString kOnlyOne = QStringLiteral("Please select only one item in the list");

using Edit = std::function<void(CAddREdiDlg&)>;

// A tcpserver port on 127.0.0.1 with a port of the system's choosing: its
// bridge can run in any test without disturbing anything.
void LocalServer(CAddREdiDlg& d)
{
    Child<QComboBox>(d, "workMode")->setCurrentIndex(MODE_TCPSERVER);
    Child<QLineEdit>(d, "localHost")->setText("127.0.0.1");
    Child<QLineEdit>(d, "localPort")->setText("0");
}

std::map<uint32_t, std::string> InstalledPairs()
{
    std::map<uint32_t, std::string> pairs;
    ListREdi(nullptr, nullptr,
             [](uint32_t n, char* params, void* ctx) {
                 (*static_cast<std::map<uint32_t, std::string>*>(ctx))[n] = params;
             },
             &pairs);
    return pairs;
}

double SecondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

class PortCommandsTest : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        dir_ = ProgramDir();
        list_ = Open(dir_).PortList();
    }

    // Runs a command whose dialog edit fills, then presses OK as a person would.
    void WithDialog(const Edit& edit, void (CPontuDlg::*command)())
    {
        seam_.onModal = [edit](QDialog* dialog) {
            auto* d = dynamic_cast<CAddREdiDlg*>(dialog);
            if (!d)
                return int(QDialog::Rejected);
            edit(*d);
            d->OnOK();
            return d->result();
        };
        (dlg_.get()->*command)();
        seam_.onModal = nullptr;
    }
    void Add(int com, const Edit& edit = {})
    {
        WithDialog(
            [&](CAddREdiDlg& d) {
                Child<QComboBox>(d, "comPort")->setCurrentIndex(com - 1);
                if (edit)
                    edit(d);
            },
            &CPontuDlg::OnAdd);
    }
    void Property(const Edit& edit) { WithDialog(edit, &CPontuDlg::OnProperty); }

    void Select(std::initializer_list<int> rows)
    {
        list_->clearSelection();
        for (int r : rows)
            list_->topLevelItem(r)->setSelected(true);
    }
    Rows Column(int col) const
    {
        Rows texts;
        for (int i = 0; i < list_->topLevelItemCount(); ++i)
            texts.push_back(Cell(i, col));
        return texts;
    }
    std::string Cell(int row, int col) const { return list_->topLevelItem(row)->text(col).toStdString(); }
    std::string P(const std::string& rel) const { return (dir_ / rel).string(); }
    std::string Read(const std::string& rel) const { return ReadFile(dir_ / rel); }
    bool LinkExists(const std::string& name) const { return fs::exists(fs::symlink_status(P("dev/" + name))); }
    bool WaitForRowState(int row, const char* state)
    {
        return ProcessUntil([&] { return Cell(row, COL_STATE) == state; }, 10000);
    }

    fs::path dir_;
    QTreeWidget* list_ = nullptr;
};

TEST_F(PortCommandsTest, AddFillsTheLowestFreeSlotAndGivesUpWhatItCannotMake)
{
    Add(5);
    Add(6);
    Add(7);
    Select({1});
    dlg_->OnDelete();
    EXPECT_EQ(PortTable[1].number, -1);
    EXPECT_FALSE(LinkExists("COM6"));

    Add(8);
    EXPECT_EQ(Column(COL_NO), (Rows{"0", "2", "1"}));
    EXPECT_EQ(Column(COL_PORTNAME), (Rows{"COM5", "COM7", "COM8"}));
    EXPECT_EQ(Cell(2, COL_STATE), "Stopped");
    EXPECT_EQ(InstalledPairs()[1], "PortName=COM8,OverrunCheck=yes,BaudPacing=yes");
    // The row tells where a serial program finds the port.
    EXPECT_EQ(list_->topLevelItem(2)->toolTip(COL_PORTNAME).toStdString(), P("dev/COM8"));
    // Each Add's apply step saved the table; with addNew and startup off nothing runs.
    EXPECT_NE(Read("options.dat").find("<COM8>"), std::string::npos);
    EXPECT_FALSE(PortTable[1].hThread);
    EXPECT_TRUE(seam_.messages.empty());

    // COM5(In Use): the dialog lets it through, the pair layer does not;
    // row, pair and slot are given up and the old link stays.
    const std::string com5 = fs::read_symlink(P("dev/COM5")).string();
    Add(5);
    EXPECT_EQ(seam_.messages, (std::vector<QString>{kApplyFail, kInstallFail}));
    EXPECT_EQ(list_->topLevelItemCount(), 3);
    EXPECT_EQ(PortTable[3].number, -1);
    EXPECT_EQ(InstalledPairs().count(3), 0u);
    EXPECT_FALSE(LinkExists("ZPVA3"));
    EXPECT_EQ(fs::read_symlink(P("dev/COM5")).string(), com5);

    // Every slot taken: nothing is made.
    seam_.messages.clear();
    int taken[kPortCount];
    for (int n = 0; n < kPortCount; ++n) {
        taken[n] = PortTable[n].number;
        PortTable[n].number = n;
    }
    dlg_->AddPortPair(CAddREdiDlg::LastUsed());
    for (int n = 0; n < kPortCount; ++n)
        PortTable[n].number = taken[n];
    EXPECT_EQ(seam_.messages, std::vector<QString>{"Add fail, reach limits of number of virtual serial port"});
    EXPECT_EQ(InstalledPairs().size(), 3u);

    // A device name is cut to what the record holds, between characters.
    seam_.messages.clear();
    PortSettings s = CAddREdiDlg::LastUsed();
    s.comNumber = 9;
    s.deviceName = QString(40, QLatin1Char('d'));
    dlg_->AddPortPair(s);
    EXPECT_EQ(std::string(PortTable[3].devName), std::string(31, 'd'));
    s.comNumber = 10;
    s.deviceName = QString(30, QLatin1Char('a')) + QStringLiteral("\u00e9\u00e9");
    dlg_->AddPortPair(s);
    EXPECT_EQ(std::string(PortTable[4].devName), std::string(30, 'a'));
    EXPECT_NE(Read("options.dat").find("<DEVNAME>" + std::string(30, 'a') + "</DEVNAME>"), std::string::npos);
    EXPECT_TRUE(seam_.messages.empty());
}

TEST_F(PortCommandsTest, ABridgeSideThatNeverAppearsEndsTheAddAfterTenSeconds)
{
    dlg_->Options().settings.addNew = 1;
    dlg_->Options().settings.startup = 1;
    // The pair vanishes as the wait begins, as when another program removes it.
    seam_.onWaitCursor = [] { RemoveREdi(0); };
    auto t0 = Clock::now();
    Add(5, LocalServer);
    double waited = SecondsSince(t0);
    EXPECT_GE(waited, 10.0);
    EXPECT_LT(waited, 15.0);
    EXPECT_EQ(seam_.messages, std::vector<QString>{kInstallFail});
    EXPECT_EQ(list_->topLevelItemCount(), 0);
    EXPECT_EQ(PortTable[0].number, -1);
    // The save of the apply step had started the bridge; it does not outlive its slot.
    EXPECT_FALSE(PortTable[0].hThread);
    EXPECT_FALSE(PortTable[0].hStopEvent);
    // The window kept painting, under the wait cursor.
    EXPECT_GE(seam_.eventPasses, 50);
    EXPECT_EQ(seam_.cursorShown, 1);
    EXPECT_EQ(seam_.cursorDepth, 0);
}

TEST_F(PortCommandsTest, StartupFlagStartRestartAndStop)
{
    Add(6, LocalServer);
    EXPECT_FALSE(PortTable[0].hThread);
    dlg_->Options().settings.startup = 1;  // addNew stays off: no wait
    Add(5, LocalServer);
    EXPECT_TRUE(PortTable[1].hThread);
    EXPECT_TRUE(WaitForRowState(1, "Waiting"));
    // Every save restarts every port, the older one included.
    EXPECT_TRUE(PortTable[0].hThread);
    EXPECT_EQ(seam_.cursorShown, 0);

    Select({1});
    auto first = PortTable[1].hThread;
    dlg_->OnStart();
    ASSERT_TRUE(PortTable[1].hThread);
    EXPECT_NE(PortTable[1].hThread, first);
    EXPECT_TRUE(WaitForRowState(1, "Waiting"));
    // The bridge side was there: no pause, the cursor shown and taken back.
    EXPECT_EQ(seam_.cursorShown, 1);
    EXPECT_EQ(seam_.cursorDepth, 0);
    EXPECT_EQ(seam_.eventPasses, 0);

    dlg_->OnStop();
    EXPECT_FALSE(PortTable[1].hThread);
    EXPECT_TRUE(WaitForRowState(1, "Stopped"));
}

TEST_F(PortCommandsTest, StartWaitsFiveSecondsForAMissingBridgeSideThenStartsAnyway)
{
    Add(5, LocalServer);
    RemoveREdi(0);  // the slot stays, the pair is gone
    Select({0});
    auto t0 = Clock::now();
    dlg_->OnStart();
    double waited = SecondsSince(t0);
    EXPECT_GE(waited, 5.0);
    EXPECT_LT(waited, 8.0);
    EXPECT_TRUE(PortTable[0].hThread);
    EXPECT_GE(seam_.eventPasses, 25);
    EXPECT_EQ(seam_.cursorDepth, 0);
}

TEST_F(PortCommandsTest, DeleteRemovesEverySelectedRowAndTheDeleteKeyDoesToo)
{
    for (int com : {5, 6, 7, 8})
        Add(com, LocalServer);
    Select({1});
    dlg_->OnStart();
    ASSERT_TRUE(PortTable[1].hThread);
    const std::string saved = Read("options.dat");

    Select({0, 1, 3});
    dlg_->OnDelete();
    EXPECT_EQ(Column(COL_NO), Rows{"2"});
    EXPECT_EQ(InstalledPairs().size(), 1u);
    EXPECT_EQ(InstalledPairs().count(2), 1u);
    for (int n : {0, 1, 3})
        EXPECT_EQ(PortTable[n].number, -1) << n;
    EXPECT_FALSE(PortTable[1].hThread);
    EXPECT_FALSE(LinkExists("COM5") || LinkExists("COM6") || LinkExists("COM8"));
    EXPECT_EQ(Read("options.dat"), saved);  // Delete does not save

    Select({0});
    QKeyEvent other(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
    QCoreApplication::sendEvent(list_, &other);
    EXPECT_EQ(list_->topLevelItemCount(), 1);
    QKeyEvent del(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
    QCoreApplication::sendEvent(list_, &del);
    EXPECT_EQ(list_->topLevelItemCount(), 0);
    EXPECT_TRUE(InstalledPairs().empty());
    EXPECT_TRUE(seam_.messages.empty());
}

TEST_F(PortCommandsTest, ApplyStoresTheTopmostRowAndTellsSoUnlessThePortRuns)
{
    for (int com : {5, 6, 7})
        Add(com, LocalServer);
    fs::remove(P("options.dat"));
    // Only the topmost selected row is applied.
    list_->topLevelItem(1)->setText(COL_REMOTEPORT, "6001");
    list_->topLevelItem(2)->setText(COL_REMOTEPORT, "6002");
    Select({2, 1});
    dlg_->OnApply();
    EXPECT_EQ(seam_.messages, std::vector<QString>{kApplied});
    EXPECT_NE(Read("options.dat").find("<DSTPORT>6001</DSTPORT>"), std::string::npos);
    EXPECT_EQ(PortTable[1].dstPort, 6001u);
    EXPECT_EQ(PortTable[2].dstPort, 27015u);

    // A running port: no message, its row shows the record again.
    seam_.messages.clear();
    Select({0});
    dlg_->OnStart();
    ASSERT_TRUE(WaitForRowState(0, "Waiting"));
    list_->topLevelItem(0)->setText(COL_REMOTEIP, "9.9.9.9");
    dlg_->OnApply();
    EXPECT_TRUE(seam_.messages.empty());
    EXPECT_EQ(Cell(0, COL_REMOTEIP), "127.0.0.1");
    EXPECT_EQ(PortTable[0].dstAddr, 0x7F000001u);

    // A settings file that cannot be written is said before the success.
    fs::remove(P("options.dat"));
    fs::create_directory(P("options.dat"));
    Select({1});
    dlg_->OnApply();
    EXPECT_EQ(seam_.messages, (std::vector<QString>{"Open or Write to Option File Fail", kApplied}));
    fs::remove(P("options.dat"));
}

TEST_F(PortCommandsTest, PropertyEditsReachTheRecordTheRowTheFileAndTheBridge)
{
    Add(5, LocalServer);
    // A flag changed on disk is read again before the dialog.
    std::string text = Read("options.dat");
    size_t at = text.find("<ADDNEW>FALSE</ADDNEW>");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, strlen("<ADDNEW>FALSE</ADDNEW>"), "<ADDNEW>TRUE</ADDNEW>");
    WriteFile(P("options.dat"), text);

    seam_.modals.clear();
    Select({0});
    Property([](CAddREdiDlg& d) {
        Child<QComboBox>(d, "comPort")->setCurrentIndex(8);
        Child<QLineEdit>(d, "localHost")->setText("127.0.0.2");
        Child<QLineEdit>(d, "deviceName")->setText("meter");
    });
    EXPECT_TRUE(seam_.messages.empty());
    EXPECT_EQ(dlg_->Options().settings.addNew, 1);
    EXPECT_EQ(PortTable[0].locAddr, 0x7F000002u);
    EXPECT_STREQ(PortTable[0].name, "COM9");
    EXPECT_STREQ(PortTable[0].devName, "meter");
    EXPECT_EQ(Cell(0, COL_LOCALIP), "127.0.0.2");
    EXPECT_EQ(list_->topLevelItem(0)->toolTip(COL_NO).toStdString(), P("dev/COM9"));
    EXPECT_TRUE(LinkExists("COM9"));
    EXPECT_FALSE(LinkExists("COM5"));
    text = Read("options.dat");
    EXPECT_NE(text.find("<COM9>"), std::string::npos);
    EXPECT_NE(text.find("<LOCADDR>127.0.0.2</LOCADDR>"), std::string::npos);
    EXPECT_NE(text.find("<ADDNEW>TRUE</ADDNEW>"), std::string::npos);
    EXPECT_EQ(text.find("<COM5>"), std::string::npos);

    // The bridge listens on the edited address at its next start.
    dlg_->OnStart();
    ASSERT_TRUE(WaitForRowState(0, "Waiting"));
    EXPECT_EQ(Cell(0, COL_LOCALIP), "127.0.0.2");
    EXPECT_NE(Cell(0, COL_LOCALPORT), "0");

    // While it runs the dialog is read-only and its OK changes nothing.
    Property([](CAddREdiDlg& d) {
        EXPECT_FALSE(Child<QComboBox>(d, "comPort")->isEnabled());
        EXPECT_FALSE(Child<QLineEdit>(d, "remotePort")->isEnabled());
        Child<QLineEdit>(d, "remotePort")->setText("5000");
    });
    EXPECT_EQ(seam_.modals.size(), 2u);
    EXPECT_EQ(PortTable[0].dstPort, 27015u);
    EXPECT_TRUE(seam_.messages.empty());
}

TEST_F(PortCommandsTest, PropertyWantsOneRowAndWhenRefusedByThePairLayerKeepsThePort)
{
    Add(5);
    Add(6);
    seam_.modals.clear();
    Select({0, 1});
    dlg_->OnProperty();
    dlg_->OnListDblClk();
    QPoint at = list_->visualItemRect(list_->topLevelItem(1)).center();
    QMouseEvent dbl(QEvent::MouseButtonDblClick, at, list_->viewport()->mapToGlobal(at), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(list_->viewport(), &dbl);
    list_->clearSelection();
    dlg_->OnProperty();  // nothing selected: nothing said
    EXPECT_EQ(seam_.messages, std::vector<QString>(3, kOnlyOne));
    EXPECT_TRUE(seam_.modals.empty());
    seam_.messages.clear();

    const std::string saved = Read("options.dat");
    // Something that is no link of ours holds the name: the dialog's check
    // finds no device, the pair layer will not replace it.
    WriteFile(P("dev/COM9"), "not a port");
    Select({1});
    Property([](CAddREdiDlg& d) {
        Child<QComboBox>(d, "comPort")->setCurrentIndex(8);
        Child<QLineEdit>(d, "remotePort")->setText("5000");
    });
    EXPECT_EQ(seam_.messages, (std::vector<QString>{kApplyFail, kApplyFail}));
    EXPECT_EQ(Read("options.dat"), saved);
    // The port keeps the name its pair carries, and its settings.
    EXPECT_STREQ(PortTable[1].name, "COM6");
    EXPECT_EQ(PortTable[1].dstPort, 27015u);
    EXPECT_EQ(Cell(1, COL_PORTNAME), "COM6");
    EXPECT_EQ(InstalledPairs()[1], "PortName=COM6,OverrunCheck=yes,BaudPacing=yes");

    // So the settings are still found under that name after the exit's save.
    Close();
    std::string text = Read("options.dat");
    EXPECT_NE(text.find("<COM6>"), std::string::npos);
    EXPECT_EQ(text.find("<COM9>"), std::string::npos);
}

// A port added with addNew on carries bytes both ways between a serial
// program on dev/COM5 and a TCP peer.
TEST_F(PortCommandsTest, AnAddedPortCarriesBytesBetweenItsComPathAndATcpPeer)
{
    UniqueFd server(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(server.IsValid());
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(server.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ASSERT_EQ(getsockname(server.Get(), reinterpret_cast<sockaddr*>(&a), &len), 0);
    ASSERT_EQ(listen(server.Get(), 1), 0);
    const QString port = QString::number(ntohs(a.sin_port));

    dlg_->Options().settings.addNew = 1;
    Add(5, [port](CAddREdiDlg& d) {
        Child<QComboBox>(d, "workMode")->setCurrentIndex(MODE_TCPCLIENT);
        Child<QLineEdit>(d, "remoteHost")->setText("127.0.0.1");
        Child<QLineEdit>(d, "remotePort")->setText(port);
    });
    ASSERT_TRUE(seam_.messages.empty());
    ASSERT_TRUE(PortTable[0].hThread);

    UniqueFd tty(open(P("dev/COM5").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(tty.IsValid()) << strerror(errno);
    pollfd p{server.Get(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    UniqueFd peer(accept4(server.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(peer.IsValid());
    EXPECT_TRUE(WaitForRowState(0, "Connected"));

    auto pass = [](int from, int to, const std::string& data) {
        EXPECT_EQ(write(from, data.data(), data.size()), static_cast<ssize_t>(data.size()));
        std::string got;
        char buf[256];
        pollfd q{to, POLLIN, 0};
        while (got.size() < data.size() && poll(&q, 1, 5000) == 1) {
            ssize_t n = read(to, buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    };
    const std::string meter("meter says\r\n\x00\xff", 14);
    EXPECT_EQ(pass(tty.Get(), peer.Get(), meter), meter);
    EXPECT_EQ(pass(peer.Get(), tty.Get(), "host says\n"), "host says\n");
}

}  // namespace
