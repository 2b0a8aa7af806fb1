#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include "ports/pair_setup.h"
#include "ports/repair_dialog.h"
#include "res/resource.h"
#include "../ui_test_support.h"

using namespace uitest;

namespace {

QStringList Items(QComboBox* list)
{
    QStringList items;
    for (int i = 0; i < list->count(); ++i)
        items << list->itemText(i);
    return items;
}

bool Claimed(int n)
{
    int inUse = 0;
    ComDbGetInUse(("COM" + std::to_string(n)).c_str(), &inUse);
    return inUse != 0;
}

class ToolsCommand : public WindowTest {
protected:
    // Runs the Tools command; the script acts on the dialog.
    void RunTools(const std::function<void(QDialog&, QComboBox*, QPushButton*)>& script)
    {
        seam_.Script([&](QDialog* d) {
            ASSERT_NE(qobject_cast<CToolDlg*>(d), nullptr);
            auto* list = Child<QComboBox>(*d, "repairList");
            auto* repair = Child<QPushButton>(*d, "repairButton");
            ASSERT_TRUE(list && repair);
            script(*d, list, repair);
        });
        const size_t runs = seam_.modals.size();
        dlg_->OnCommand(ID_SYSTEM_TOOLS);
        EXPECT_EQ(seam_.modals.size(), runs + 1);
    }
};

}  // namespace

TEST_F(ToolsCommand, StaleClaimsAreListedAndReleasedOneAtATime)
{
    Open(ProgramDir());
    for (int n : {256, 4})
        ASSERT_EQ(ClaimReleasePort(n, 1), 1);
    // A port that exists keeps its claim out of the list.
    ASSERT_EQ(InstallREdi("PortName=COM5", "-", 3), 1);
    ASSERT_TRUE(Claimed(5));

    RunTools([&](QDialog& d, QComboBox* list, QPushButton* repair) {
        EXPECT_EQ(d.windowTitle(), "Tools");
        EXPECT_EQ(Child<QLabel>(d, "explanation")->text(),
                  "May be some ports are marked as in use but not exist, you can repair it here. "
                  "Make sure the com port is not used before repairing it!");
        EXPECT_EQ(Items(list), (QStringList{"COM4", "COM256"}));
        EXPECT_EQ(list->currentIndex(), 0);
        EXPECT_TRUE(repair->isEnabled());

        repair->click();
        EXPECT_FALSE(Claimed(4));
        EXPECT_EQ(Items(list), QStringList{"COM256"});
        EXPECT_TRUE(repair->isEnabled());
        // Nothing is picked after a repair: a second press releases nothing.
        EXPECT_EQ(list->currentIndex(), -1);
        repair->click();
        EXPECT_EQ(seam_.messages, std::vector<QString>{"No item is selected"});
        EXPECT_TRUE(Claimed(256));

        list->setCurrentIndex(0);
        repair->click();
        EXPECT_FALSE(Claimed(256));
        EXPECT_EQ(list->count(), 0);
        EXPECT_FALSE(repair->isEnabled());
        Child<QPushButton>(d, "okButton")->click();
        EXPECT_EQ(d.result(), QDialog::Accepted);
    });
    EXPECT_TRUE(Claimed(5));
    EXPECT_EQ(seam_.messages.size(), 1u);

    // Nothing stale left: the button is disabled from the start.
    RunTools([&](QDialog& d, QComboBox* list, QPushButton* repair) {
        EXPECT_EQ(list->count(), 0);
        EXPECT_EQ(list->currentIndex(), -1);
        EXPECT_FALSE(repair->isEnabled());
        Child<QPushButton>(d, "cancelButton")->click();
    });
    EXPECT_TRUE(Claimed(5));
    EXPECT_EQ(seam_.messages.size(), 1u);
}
