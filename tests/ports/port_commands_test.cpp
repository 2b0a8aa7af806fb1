// The commands without a window: a scripted person, a recorded port list, a
// clock that never really sleeps, and the real pair layer on a folder of the
// test's own.
#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "../test_folder.h"
#include "config/autorun.h"
#include "engine/bridge.h"
#include "engine/port_table.h"
#include "engine/unique_fd.h"
#include "ports/pair_setup.h"
#include "ports/port_commands.h"
#include "ports/program.h"

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

namespace {

struct ScriptedUi final : CommandUi {
    void Message(const std::string& text) override { said.push_back(text); }
    bool Ask(const std::string& text) override { return asked.push_back(text), yes; }
    bool EditPort(PortSettings* s, const PortRecord*) override { return edit && edit(*s); }
    bool EditOptions(StartupSettings* f) override { return options && options(*f); }
    std::string ChooseSaveFile() override { return file; }
    std::string ChooseOpenFile() override { return file; }
    void BeginWait() override { ++waits; }
    void EndWait() override { --waits; }
    void KeepResponsive() override { ++passes; }

    Strings said, asked;
    std::function<bool(PortSettings&)> edit;
    std::function<bool(StartupSettings&)> options;
    std::string file;
    bool yes = true;
    int waits = 0, passes = 0;
};

struct RecordedList final : PortListView, PortStateTarget {
    void PortAdded(const PortRecord& r) override { rows.push_back("+" + std::to_string(r.number)); }
    void PortRemoved(int n) override { rows.push_back("-" + std::to_string(n)); }
    void PortChanged(const PortRecord& r) override { rows.push_back("~" + std::to_string(r.number)); }
    void PostPortStateMessage(PortRecord*, int32_t) override {}
    Strings rows;
};

struct FakeClock final : WaitClock {
    int64_t NowMs() override { return now; }
    void SleepMs(int ms) override { now += ms; }
    int64_t now = 0;
};

class Commands : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
        ASSERT_EQ(program_.Open(&list_, true), Program::Opened::kOwner);
        LastUsedPortSettings() = DefaultPortSettings();
    }
    void TearDown() override { program_.Stop(false); }

    // Adds COMn through the dialog as a tcpserver on 127.0.0.1, port of the
    // system's choosing, so its bridge can run without disturbing anything.
    void Add(int com)
    {
        ui_.edit = [com](PortSettings& s) {
            s.comNumber = com, s.mode = MODE_TCPSERVER, s.localHost = "127.0.0.1";
            return true;
        };
        cmd_.Add();
    }
    std::string Options() const { return folder_.Read("options.dat"); }
    Strings Said() { return std::exchange(ui_.said, {}); }

    uitest::TempFolder folder_;
    fs::path dir_ = folder_.Path();
    ScriptedUi ui_;
    RecordedList list_;
    FakeClock clock_;
    Program program_{dir_.string()};
    OptionsState& options_ = program_.Options();
    PortCommands cmd_{program_, ui_, list_, clock_};
};

}  // namespace

TEST_F(Commands, AddTakesTheLowestFreeSlotAndAFailedAddGivesUpRowPairAndSlot)
{
    for (int com : {3, 4, 5})
        Add(com);
    ui_.yes = false;
    cmd_.Delete({1});  // not confirmed
    EXPECT_EQ(PortTable[1].number, 1);
    ui_.yes = true;
    cmd_.Delete({1});
    EXPECT_EQ(ui_.asked, Strings(2, kMsgDeleteAsk));
    Add(7);
    EXPECT_EQ(list_.rows, (Strings{"+0", "+1", "+2", "-1", "+1"}));
    EXPECT_STREQ(PortTable[1].name, "COM7");
    EXPECT_TRUE(fs::exists(fs::symlink_status(dir_ / "dev/COM7")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / "dev/COM4")));
    EXPECT_NE(Options().find("<COM7>"), std::string::npos);

    // COM5 is pair 2's: the name is refused, and everything made goes again.
    list_.rows.clear();
    Add(5);
    EXPECT_EQ(Said(), (Strings{kMsgApplyFail, kMsgInstallFail}));
    EXPECT_EQ(list_.rows, (Strings{"+3", "-3"}));
    EXPECT_EQ(PortTable[3].number, -1);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / "dev/ZPVA3")));
    EXPECT_EQ(ui_.waits, 0);
}

// The files completed in the folder so far (renamed into place), in order.
Strings Completed(int watch)
{
    Strings names;
    alignas(inotify_event) char buf[4096];
    for (ssize_t n; (n = read(watch, buf, sizeof buf)) > 0;)
        for (char* p = buf; p < buf + n; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len)
            names.push_back(reinterpret_cast<inotify_event*>(p)->name);
    return names;
}

TEST_F(Commands, AddAndDeleteWriteInAnOrderACrashCannotCutAndAStartClearsWhatOneLeft)
{
    UniqueFd watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    ASSERT_GE(inotify_add_watch(watch.Get(), dir_.c_str(), IN_MOVED_TO), 0);
    Add(22);  // the pair last: before it there is no port, after it the whole one
    EXPECT_EQ(Completed(watch.Get()), (Strings{"options.dat", "comdb.dat", "pairs.dat", "options.dat"}));
    Add(23);
    Completed(watch.Get());
    cmd_.Delete({1});  // the pair first: after it there is no port
    EXPECT_EQ(Completed(watch.Get()), (Strings{"pairs.dat", "comdb.dat"}));

    // A crash after the claim of an Add (COM24), amid a write.
    program_.Stop(false);
    folder_.Write("comdb.dat", "COM22\nCOM24\n");
    for (const char* tmp : {"options.dat.tmp", "pairs.dat.tmp", "comdb.dat.tmp"})
        folder_.Write(tmp, "cut short");
    Program again(dir_.string());
    ASSERT_EQ(again.Open(&list_, false), Program::Opened::kOwner);
    EXPECT_EQ(folder_.Read("comdb.dat"), "COM22\n");
    for (const char* tmp : {"options.dat.tmp", "pairs.dat.tmp", "comdb.dat.tmp"})
        EXPECT_FALSE(fs::exists(dir_ / tmp)) << tmp;
}

TEST_F(Commands, WaitsForABridgeSideRunOnTheInjectedClockAndEndOnTime)
{
    // A slot without a pair: its bridge side never appears.
    PortTable[9].number = 9;
    strcpy(PortTable[9].name, "COM10");
    cmd_.Start({9});
    EXPECT_GT(clock_.now, PortCommands::kStartWaitMs);
    EXPECT_LE(clock_.now, PortCommands::kStartWaitMs + 100);
    EXPECT_GE(ui_.passes, 50);
    EXPECT_EQ(ui_.waits, 0);  // the cursor came back
    EXPECT_TRUE(BridgeRunning(&PortTable[9]));  // started all the same
    StopBridge(&PortTable[9]);
    PortTable[9].number = -1;

    // With addNew, an added port whose bridge side exists starts at once.
    options_.settings.addNew = 1;
    clock_.now = 0;
    Add(1);
    EXPECT_EQ(clock_.now, 0);
    EXPECT_TRUE(BridgeRunning(&PortTable[0]));
    EXPECT_TRUE(Said().empty());
}

TEST_F(Commands, ASaveWithTheStartupFlagStartsStoppedBridgesAndLeavesRunningOnesAlone)
{
    Add(1);
    Add(2);
    cmd_.Start({0});
    auto running = PortTable[0].thread;
    ASSERT_TRUE(running);
    options_.settings.startup = 1;

    ui_.file = (dir_ / "export.dat").string();
    cmd_.Export();
    EXPECT_EQ(PortTable[0].thread, running);  // its connection lives on
    EXPECT_TRUE(BridgeRunning(&PortTable[1]));
    ui_.options = [](StartupSettings&) { return true; };
    cmd_.Option();
    EXPECT_EQ(PortTable[0].thread, running);
    EXPECT_TRUE(Said().empty());
}

TEST_F(Commands, ApplyTellsSuccessOnlyWhenSavedAndLeavesARunningPortAlone)
{
    Add(1);
    cmd_.Apply({0});
    EXPECT_EQ(Said(), (Strings{kMsgApplied}));

    fs::remove(dir_ / "options.dat");
    fs::create_directory(dir_ / "options.dat");  // cannot be replaced by a file
    cmd_.Apply({0});
    EXPECT_EQ(Said(), Strings{WithReason(kMsgSaveFail, "cannot write " + (dir_ / "options.dat").string() +
                                                           ": it is a folder")});

    cmd_.Start({0});
    for (int i = 0; i < 500 && PortTable[0].state.load() == STATE_STOPPED; ++i)
        usleep(10000);  // the bridge reports its first state
    list_.rows.clear();
    cmd_.Apply({0});
    EXPECT_TRUE(Said().empty());
    EXPECT_EQ(list_.rows, (Strings{"~0"}));
}

TEST_F(Commands, PropertyWantsOneRowStoresItsEditsAndWhenRefusedKeepsThePort)
{
    Add(1);
    Add(2);
    cmd_.Property({0, 1});
    EXPECT_EQ(Said(), (Strings{kMsgOnlyOne}));

    auto nameAndLocal = [] { return std::string(PortTable[0].name) + " " + LocAddrText(&PortTable[0]); };
    ui_.edit = [](PortSettings& s) { return s.localHost = "127.0.0.2", s.comNumber = 8, true; };
    cmd_.Property({0});
    EXPECT_EQ(nameAndLocal(), "COM8 127.0.0.2");
    EXPECT_NE(Options().find("<COM8>\r\n<DSTADDR>127.0.0.1</DSTADDR>"), std::string::npos);
    EXPECT_TRUE(Said().empty());

    // COM2 belongs to the other pair: refused twice, nothing saved, the
    // record keeps its name and settings.
    const std::string before = Options();
    ui_.edit = [](PortSettings& s) { return s.comNumber = 2, s.localHost = "127.0.0.3", true; };
    cmd_.Property({0});
    EXPECT_EQ(Said(), (Strings{kMsgApplyFail}));
    EXPECT_EQ(nameAndLocal(), "COM8 127.0.0.2");
    EXPECT_EQ(Options(), before);

    // A rename cut off where pairs.dat takes the new name, as by a crash,
    // leaves the settings under both names.
    fs::remove(dir_ / "pairs.dat");
    fs::create_directory(dir_ / "pairs.dat");
    ui_.edit = [](PortSettings& s) { return s.comNumber = 9; };
    cmd_.Property({0});
    EXPECT_EQ(Said(), Strings{WithReason(kMsgApplyFail, "cannot write " + (dir_ / "pairs.dat").string() +
                                                            ": it is a folder")});
    for (const char* name : {"<COM8>", "<COM9>"})
        EXPECT_NE(Options().find(std::string(name) + "\r\n<DSTADDR>127.0.0.1</DSTADDR>"), std::string::npos);
}

TEST_F(Commands, ExportThenImportIntoAnEmptyListRecreatesThePorts)
{
    Add(3);
    ui_.edit = [](PortSettings& s) {
        s.comNumber = 12, s.mode = MODE_UDP, s.remoteHost = "10.1.2.3";
        s.useCustom = 1, s.deviceName = "meter-7", s.keepAlive = 30;
        return true;
    };
    cmd_.Add();
    ui_.file = (dir_ / "ports.xml").string();
    cmd_.Export();
    cmd_.Import();
    EXPECT_EQ(Said(), (Strings{kMsgImportNotEmpty}));

    cmd_.Delete({0, 1});
    cmd_.Import();
    EXPECT_TRUE(Said().empty());
    const PortRecord& r = PortTable[1];
    EXPECT_EQ(std::tuple(std::string(PortTable[0].name), std::string(r.name), r.mode, std::string(DstAddrText(&r)),
                         r.useCustom, std::string(r.devName), r.keepAlive),
              std::tuple("COM3", "COM12", uint32_t{MODE_UDP}, "10.1.2.3", 1, "meter-7", 30u));
}

TEST_F(Commands, OptionCancelChangesNothingAndOkWritesFlagsAndTheAutostartEntry)
{
    cmd_.Option();
    EXPECT_FALSE(fs::exists(dir_ / "options.dat"));
    ui_.options = [](StartupSettings& f) { return f.autoRun = 1, f.addNew = 1, true; };
    cmd_.Option();
    for (const char* flag : {"<ADDNEW>TRUE</ADDNEW>", "<AUTORUN>TRUE</AUTORUN>"})
        EXPECT_NE(Options().find(flag), std::string::npos) << flag;
    const std::string entry = AutostartEntryPath(RunningExecutablePath());
    EXPECT_TRUE(fs::exists(entry));
    ui_.options = [](StartupSettings& f) { return f.autoRun = 0, true; };
    cmd_.Option();
    EXPECT_FALSE(fs::exists(entry));
}
