#include <QCheckBox>
#include <QPushButton>

#include "config/option_dialog.h"
#include "engine/port_table.h"
#include "res/resource.h"
#include "../ui_test_support.h"

using namespace uitest;

namespace {

// The dialog's controls, by their names in the form.
struct Controls {
    explicit Controls(QDialog& d)
        : addNew(Child<QCheckBox>(d, "addNewCheck")), startup(Child<QCheckBox>(d, "startupCheck")),
          autoRun(Child<QCheckBox>(d, "autoRunCheck")), ok(Child<QPushButton>(d, "okButton")),
          cancel(Child<QPushButton>(d, "cancelButton"))
    {
    }
    QCheckBox* addNew;
    QCheckBox* startup;
    QCheckBox* autoRun;
    QPushButton* ok;
    QPushButton* cancel;
};

const char* Bool(int on) { return on ? "TRUE" : "FALSE"; }

std::string Document(int addNew, int startup, int detectDsr, int autoRun, const std::string& ports = "")
{
    return std::string("<OPTIONS>\r\n<SYSTEM>\r\n") + "<ADDNEW>" + Bool(addNew) + "</ADDNEW>\r\n" +
           "<STARTUP>" + Bool(startup) + "</STARTUP>\r\n" + "<DETECTDSR>" + Bool(detectDsr) +
           "</DETECTDSR>\r\n" + "<AUTORUN>" + Bool(autoRun) + "</AUTORUN>\r\n</SYSTEM>\r\n" + ports +
           "</OPTIONS>\r\n";
}

// A client port that keeps trying a closed loopback port.
std::string ClientPort(const char* name)
{
    return std::string("<") + name + "><DSTADDR>127.0.0.1</DSTADDR><DSTPORT>1</DSTPORT>" +
           "<LOCADDR>0.0.0.0</LOCADDR><LOCPORT>0</LOCPORT><MODE>tcpclient</MODE></" + name + ">\r\n";
}

class OptionCommand : public WindowTest {
protected:
    // The entry the running executable (this test program) gets.
    fs::path Entry() const
    {
        return root_ / "config" / "autostart" /
               (fs::read_symlink("/proc/self/exe").filename().string() + ".desktop");
    }
    // Runs the Option command; the script acts on the dialog.
    void RunOption(CPontuDlg& dlg, const std::function<void(COptionDlg&)>& script)
    {
        seam_.Script([&](QDialog* d) {
            auto* o = qobject_cast<COptionDlg*>(d);
            ASSERT_NE(o, nullptr);
            script(*o);
        });
        dlg.OnCommand(ID_SYSTEM_OPTION);
    }
};

void ExpectFlags(const StartupSettings& s, int addNew, int startup, int detectDsr, int autoRun)
{
    EXPECT_EQ(s.addNew, addNew);
    EXPECT_EQ(s.startup, startup);
    EXPECT_EQ(s.detectDsr, detectDsr);
    EXPECT_EQ(s.autoRun, autoRun);
}

}  // namespace

TEST_F(OptionCommand, CancelLeavesTheFileFlagsAndWritesNothing)
{
    fs::path dir = ProgramDir();
    WriteFile(dir / "options.dat", Document(1, 0, 0, 0));
    CPontuDlg& dlg = Open(dir);
    // Changed on disk since the start: the dialog shows what the file says.
    const std::string onDisk = Document(1, 1, 1, 0);
    WriteFile(dir / "options.dat", onDisk);
    fs::create_directories(Entry().parent_path());
    WriteFile(Entry(), "left by hand");

    RunOption(dlg, [](COptionDlg& o) {
        EXPECT_EQ(o.windowTitle(), "Option");
        Controls c(o);
        EXPECT_TRUE(c.addNew->isChecked());
        EXPECT_TRUE(c.startup->isChecked());
        EXPECT_FALSE(c.autoRun->isChecked());
        c.addNew->click();
        c.startup->click();
        c.autoRun->click();
        c.cancel->click();
    });

    EXPECT_EQ(seam_.modals.size(), 1u);
    ExpectFlags(dlg.Options().settings, 1, 1, 1, 0);
    EXPECT_EQ(ReadFile(dir / "options.dat"), onDisk);
    EXPECT_EQ(ReadFile(Entry()), "left by hand");
}

TEST_F(OptionCommand, EveryOkRewritesTheFileAndSetsOrDeletesTheEntry)
{
    fs::path dir = ProgramDir();
    WriteFile(dir / "options.dat", Document(0, 0, 1, 0));
    CPontuDlg& dlg = Open(dir);

    RunOption(dlg, [](COptionDlg& o) {
        Controls c(o);
        c.autoRun->click();
        c.addNew->click();
        c.ok->click();
    });
    // The detect-DSR flag has no box and comes back as it was read.
    ExpectFlags(dlg.Options().settings, 1, 0, 1, 1);
    EXPECT_EQ(ReadFile(dir / "options.dat"), Document(1, 0, 1, 1));
    ASSERT_TRUE(fs::exists(Entry()));
    EXPECT_NE(ReadFile(Entry()).find("\nExec=" + fs::read_symlink("/proc/self/exe").string() + "\n"),
              std::string::npos);

    // OK without a change brings file and entry back into line.
    fs::remove(dir / "options.dat");
    fs::remove(Entry());
    RunOption(dlg, [](COptionDlg& o) { Controls(o).ok->click(); });
    EXPECT_EQ(ReadFile(dir / "options.dat"), Document(1, 0, 1, 1));
    EXPECT_TRUE(fs::exists(Entry()));

    // Autorun off deletes the entry; one under another name stays.
    WriteFile(Entry().parent_path() / "other_copy.desktop", "[Desktop Entry]\n");
    RunOption(dlg, [](COptionDlg& o) {
        Controls c(o);
        EXPECT_TRUE(c.autoRun->isChecked());
        c.autoRun->click();
        c.ok->click();
    });
    ExpectFlags(dlg.Options().settings, 1, 0, 1, 0);
    EXPECT_EQ(ReadFile(dir / "options.dat"), Document(1, 0, 1, 0));
    EXPECT_FALSE(fs::exists(Entry()));
    EXPECT_TRUE(fs::exists(Entry().parent_path() / "other_copy.desktop"));
    EXPECT_EQ(dlg.Options().optionsText, Document(1, 0, 1, 0));
    EXPECT_TRUE(seam_.messages.empty());

    // A file that cannot be written is said; the choice holds in memory.
    fs::remove(dir / "options.dat");
    fs::create_directory(dir / "options.dat");
    RunOption(dlg, [](COptionDlg& o) {
        Controls c(o);
        c.startup->click();
        c.ok->click();
    });
    EXPECT_EQ(seam_.messages, std::vector<QString>{"Open or Write to Option File Fail"});
    ExpectFlags(dlg.Options().settings, 1, 1, 1, 0);
}

TEST_F(OptionCommand, StartupOnAndOkStartsEveryPort)
{
    fs::path dir = ProgramDir();
    WriteFile(dir / "pairs.dat", "0\tPortName=COM5,OverrunCheck=yes,BaudPacing=yes\n"
                                 "1\tPortName=COM6,OverrunCheck=yes,BaudPacing=yes\n");
    WriteFile(dir / "options.dat", Document(0, 0, 0, 0, ClientPort("COM5") + ClientPort("COM6")));
    CPontuDlg& dlg = Open(dir);
    ASSERT_EQ(PortTable[0].number, 0);
    ASSERT_EQ(PortTable[1].number, 1);
    EXPECT_FALSE(PortTable[0].hThread);
    EXPECT_FALSE(PortTable[1].hThread);

    RunOption(dlg, [](COptionDlg& o) {
        Controls c(o);
        c.startup->click();
        c.ok->click();
    });
    EXPECT_EQ(dlg.Options().settings.startup, 1);
    EXPECT_TRUE(PortTable[0].hThread);
    EXPECT_TRUE(PortTable[1].hThread);
    // The ports' settings went into the file with the flag.
    EXPECT_NE(ReadFile(dir / "options.dat").find("<COM6>"), std::string::npos);
}
