#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <string>
#include <vector>

#include "engine/port_table.h"
#include "ports/add_redi_dialog.h"
#include "../ui_test_support.h"

using uitest::RecordingSeam;

namespace {

QComboBox* Combo(CAddREdiDlg& d, const char* name) { return d.findChild<QComboBox*>(name); }
QLineEdit* Edit(CAddREdiDlg& d, const char* name) { return d.findChild<QLineEdit*>(name); }
QCheckBox* Check(CAddREdiDlg& d, const char* name) { return d.findChild<QCheckBox*>(name); }

QStringList Names(std::initializer_list<const char*> names)
{
    QStringList l;
    for (const char* n : names)
        l << QString::fromLatin1(n);
    return l;
}

// A stand-in for the system's device lookup that records what it is asked.
struct FakeLookup {
    int answer = 0;  // 0 free, 1 exists, 2 exists with a target too long
    std::string target;
    std::vector<std::pair<std::string, size_t>> asked;

    DeviceLookup Fn()
    {
        return [this](const char* name, size_t size, std::string* out) {
            asked.emplace_back(name, size);
            if (answer == 1)
                *out = target;
            return answer;
        };
    }
};

class AddREdiDialogTest : public ::testing::Test {
protected:
    void SetUp() override { CAddREdiDlg::ResetLastUsed(); }
    void TearDown() override { CAddREdiDlg::ResetLastUsed(); }

    // A stopped port COM<com> to 10.0.0.2:5000, as Property shows it.
    void MakeRecord(int com)
    {
        record_.number = 3;
        std::string name = "COM" + std::to_string(com);
        CopyField(record_.name, sizeof record_.name, name.c_str(), 6);
        SetDstAddrText(&record_, "10.0.0.2");
        SetDstPortText(&record_, "5000");
        record_.mode = MODE_UDP;
        CopyField(record_.devName, sizeof record_.devName, "meter-7", 31);
    }

    RecordingSeam seam_;
    FakeLookup lookup_;
    PortRecord record_;
};

TEST_F(AddREdiDialogTest, TheComListMarksNamesInUseAndSelectsTheRightItem)
{
    // Add mode: names in use marked, the first free one chosen. Only the
    // exact text marks: COM03 is not COM3, COM300 is no item.
    CAddREdiDlg d(nullptr, Names({"COM2", "COM1", "COM4", "COM3", "COM03", "COM300"}), lookup_.Fn());
    QComboBox* com = Combo(d, "comPort");
    ASSERT_EQ(com->count(), 256);
    QStringList marked;
    for (int i = 0; i < com->count(); ++i)
        if (com->itemText(i).contains('('))
            marked << com->itemText(i);
    EXPECT_EQ(marked, Names({"COM1(In Use)", "COM2(In Use)", "COM3(In Use)", "COM4(In Use)"}));
    EXPECT_EQ(com->itemText(255), "COM256");
    EXPECT_EQ(com->currentIndex(), 4);
    // A name in use can still be chosen: Add checks nothing.
    com->setCurrentIndex(2);
    d.OnOK();
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_EQ(d.Fields().comNumber, 3);
    EXPECT_TRUE(lookup_.asked.empty());

    // Property: its own name is "(Current)", and COM1 is item COM1, not
    // one of COM10 to COM19 that also begin with its name.
    MakeRecord(1);
    CAddREdiDlg p(nullptr, &record_, Names({"COM10", "COM1"}), lookup_.Fn());
    EXPECT_EQ(Combo(p, "comPort")->itemText(0), "COM1(Current)");
    EXPECT_EQ(Combo(p, "comPort")->itemText(9), "COM10(In Use)");
    EXPECT_EQ(Combo(p, "comPort")->currentIndex(), 0);
    EXPECT_EQ(Edit(p, "remotePort")->text(), "5000");
    EXPECT_EQ(Combo(p, "workMode")->currentIndex(), 2);
    EXPECT_EQ(Edit(p, "deviceName")->text(), "meter-7");

    // Every name in use: nothing chosen, and typed text is no choice.
    QStringList all;
    for (int i = 256; i >= 1; --i)
        all << QStringLiteral("COM%1").arg(i);
    CAddREdiDlg full(nullptr, all, lookup_.Fn());
    EXPECT_EQ(Combo(full, "comPort")->currentIndex(), -1);
    Combo(full, "comPort")->setEditText("COM9");
    full.OnOK();
    EXPECT_NE(full.result(), QDialog::Accepted);
    EXPECT_EQ(seam_.messages, std::vector<QString>{"No Port Number is available"});
}

TEST_F(AddREdiDialogTest, PropertyRefusesANewNameThatAnotherDeviceHolds)
{
    MakeRecord(5);
    lookup_.answer = 1;
    lookup_.target = "/dev/pts/9";
    {
        // Keeping its own name asks nothing, though the name exists.
        CAddREdiDlg d(nullptr, &record_, Names({"COM5"}), lookup_.Fn());
        d.OnOK();
        EXPECT_EQ(d.result(), QDialog::Accepted);
        EXPECT_TRUE(lookup_.asked.empty());
    }
    CAddREdiDlg d(nullptr, &record_, Names({"COM5", "COM7"}), lookup_.Fn());
    Combo(d, "comPort")->setCurrentIndex(6);
    d.OnOK();
    EXPECT_NE(d.result(), QDialog::Accepted);
    ASSERT_EQ(lookup_.asked.size(), 1u);
    EXPECT_EQ(lookup_.asked[0], std::make_pair(std::string("COM7"), size_t{80}));

    lookup_.answer = 2;  // the device's target does not fit
    d.OnOK();
    EXPECT_NE(d.result(), QDialog::Accepted);

    lookup_.answer = 0;
    d.OnOK();
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_EQ(d.Fields().comNumber, 7);
    EXPECT_EQ(seam_.messages, (std::vector<QString>{
                                  "The port name COM7 is already used for other device /dev/pts/9",
                                  "The port name COM7 is already used for other device .",
                              }));
}

TEST_F(AddREdiDialogTest, ATimeOutThatIsNoUnsignedNumberKeepsTheDialogOpen)
{
    CAddREdiDlg d(nullptr, QStringList(), lookup_.Fn());
    for (const char* bad : {"abc", "-1", "4294967296", "", "1.5"}) {
        Edit(d, "keepalive")->setText(QString::fromLatin1(bad));
        d.OnOK();
        EXPECT_NE(d.result(), QDialog::Accepted) << bad;
    }
    Edit(d, "keepalive")->setText("30");
    Edit(d, "idle")->setText("x");
    d.OnOK();
    EXPECT_NE(d.result(), QDialog::Accepted);
    EXPECT_EQ(seam_.messages, std::vector<QString>(6, "Please enter a positive integer."));

    Edit(d, "idle")->setText(" 4294967295 ");
    d.OnOK();
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_EQ(d.Fields().keepAlive, 30u);
    EXPECT_EQ(d.Fields().idleTime, 4294967295u);
}

TEST_F(AddREdiDialogTest, EveryOkLeavesItsValuesForTheNextAdd)
{
    MakeRecord(5);
    {
        CAddREdiDlg d(nullptr, &record_, Names({"COM5"}), lookup_.Fn());
        Edit(d, "remotePort")->setText("5001");
        Check(d, "detectDtr")->setChecked(true);
        // A record keeps 31 characters of the name; the field takes no more.
        Edit(d, "deviceName")->setText(QString(40, QLatin1Char('n')));
        d.OnOK();
        ASSERT_EQ(d.result(), QDialog::Accepted);
    }
    {
        CAddREdiDlg d(nullptr, Names({"COM1"}), lookup_.Fn());
        EXPECT_EQ(Edit(d, "remotePort")->text(), "5001");
        EXPECT_EQ(Edit(d, "remoteHost")->text(), "10.0.0.2");
        EXPECT_EQ(Combo(d, "workMode")->currentIndex(), 2);
        EXPECT_EQ(Edit(d, "deviceName")->text(), QString(31, QLatin1Char('n')));
        EXPECT_TRUE(Check(d, "detectDtr")->isChecked());
        // The name is chosen afresh, not carried from the Property dialog.
        EXPECT_EQ(Combo(d, "comPort")->currentIndex(), 1);

        // Values are kept even when OK is then refused.
        Edit(d, "remoteHost")->setText("10.9.9.9");
        Combo(d, "comPort")->setCurrentIndex(-1);
        d.OnOK();
        EXPECT_NE(d.result(), QDialog::Accepted);
    }
    CAddREdiDlg d(nullptr, QStringList(), lookup_.Fn());
    EXPECT_EQ(Edit(d, "remoteHost")->text(), "10.9.9.9");
    EXPECT_EQ(Combo(d, "comPort")->currentIndex(), 0);
}

}  // namespace
