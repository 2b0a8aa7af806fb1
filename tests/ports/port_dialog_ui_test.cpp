#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>

#include "engine/port_table.h"
#include "ports/port_dialog.h"

namespace {

class AddREdiDialogTest : public ::testing::Test {
protected:
    void SetUp() override { LastUsedPortSettings() = DefaultPortSettings(); }

    std::unique_ptr<PortDialog> Open(QStringList names, const PortRecord* record = nullptr)
    {
        PortSettings s = record ? SettingsOfRecord(*record) : LastUsedPortSettings();
        if (!record)
            s.comNumber = -1;
        auto lookup = [this](const char* name, size_t, std::string* target) {
            asked.push_back(name);
            *target = "/dev/pts/9";
            return answer;
        };
        return std::make_unique<PortDialog>(nullptr, s, record, names, lookup,
                                             [this](const QString& t) { said << t; });
    }
    static QComboBox* Com(PortDialog& d) { return d.findChild<QComboBox*>("comPort"); }
    static QLineEdit* Edit(PortDialog& d, const char* name) { return d.findChild<QLineEdit*>(name); }

    QStringList said;
    std::vector<std::string> asked;
    int answer = 0;  // the device lookup: 0 free, 1 exists, 2 target too long
};

TEST_F(AddREdiDialogTest, ComListMarksNamesInUseAndPropertyRefusesANameAnotherDeviceHolds)
{
    // Only the exact text marks: COM03 is not COM3.
    auto d = Open({"COM2", "COM1", "COM3", "COM03"});
    ASSERT_EQ(Com(*d)->count(), 256);
    EXPECT_EQ(Com(*d)->itemText(2), "COM3(In Use)");
    EXPECT_EQ(Com(*d)->currentIndex(), 3);
    d->OnOK();
    EXPECT_EQ(d->Fields().comNumber, 4);

    // Property: COM1 is item COM1(Current), not one of COM10 to COM19.
    PortRecord r;
    r.number = 3;
    strcpy(r.name, "COM1");
    auto p = Open({"COM10", "COM1"}, &r);
    EXPECT_EQ(Com(*p)->currentIndex(), 0);
    EXPECT_EQ(Com(*p)->itemText(0), "COM1(Current)");
    Com(*p)->setCurrentIndex(6);
    for (int a : {1, 2, 0}) {
        answer = a;
        p->OnOK();
    }
    EXPECT_EQ(p->result(), QDialog::Accepted);
    EXPECT_EQ(p->Fields().comNumber, 7);
    EXPECT_EQ(asked, std::vector<std::string>(3, "COM7"));
    EXPECT_EQ(said, QStringList({"The port name COM7 is already used for other device /dev/pts/9",
                                 "The port name COM7 is already used for other device ."}));
}

TEST_F(AddREdiDialogTest, OkRefusesWhatTheCommandLineRefusesAndLeavesItsValuesForTheNextAdd)
{
    auto d = Open({});
    QLineEdit* deadPeer = Edit(*d, "deadPeer");
    QComboBox* mode = d->findChild<QComboBox*>("workMode");
    EXPECT_EQ(deadPeer->text(), "60");
    mode->setCurrentIndex(MODE_UDP);  // dead-peer seconds are for TCP only
    EXPECT_FALSE(deadPeer->isEnabled());
    mode->setCurrentIndex(MODE_TCPSERVER);
    EXPECT_TRUE(deadPeer->isEnabled());
    QCheckBox* rfc2217 = d->findChild<QCheckBox*>("rfc2217");
    EXPECT_FALSE(rfc2217->isEnabled());
    const std::pair<const char*, const char*> kBad[] = {{"keepalive", "abc"}, {"keepalive", "-1"},
        {"keepalive", "4294967296"}, {"keepalive", ""}, {"remotePort", "70000"}, {"deadPeer", "4"}, {"line", "9600,8,Q,1"}};
    for (const auto& [field, bad] : kBad) {
        const QString good = Edit(*d, field)->text();
        Edit(*d, field)->setText(bad);
        d->OnOK();
        EXPECT_NE(d->result(), QDialog::Accepted) << field << " " << bad;
        Edit(*d, field)->setText(good);
    }
    EXPECT_EQ(said, QStringList(4, "Please enter a positive integer.") +
                        QStringList({"Remote port 70000 is not a port number (0 to 65535).",
                                     "Dead-peer seconds 4 is not 0 (off) or 5 to 3600.",
                                     "Line 9600,8,Q,1 is wrong: parity must be N, E, O, M or S."}));
    mode->setCurrentIndex(MODE_TCPCLIENT);
    rfc2217->setChecked(true);
    Edit(*d, "line")->setText("2400,7,E,1");
    deadPeer->setText(" 0 ");
    Edit(*d, "remotePort")->setText(" 80 ");
    Edit(*d, "keepalive")->setText(" 4294967295 ");
    Edit(*d, "remoteHost")->setText("10.9.9.9");
    Edit(*d, "deviceName")->setText(QString(40, 'n'));
    d->OnOK();
    EXPECT_EQ(d->result(), QDialog::Accepted);
    const PortSettings& f = d->Fields();
    EXPECT_EQ(std::tuple(f.deadPeer, f.remotePort, f.keepAlive, f.rfc2217, f.line),
              std::tuple(0u, std::string("80"), 4294967295u, 1, std::string("2400,7,E,1")));

    auto next = Open({});
    EXPECT_EQ(Edit(*next, "remoteHost")->text(), "10.9.9.9");
    EXPECT_EQ(Edit(*next, "deviceName")->text(), QString(31, 'n'));  // what a record keeps
}

}  // namespace
