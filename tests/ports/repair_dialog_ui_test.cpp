#include <gtest/gtest.h>

#include <QComboBox>
#include <QPushButton>

#include "ports/pair_setup.h"
#include "ports/repair_dialog.h"
#include "../test_folder.h"

namespace {

bool Claimed(const char* name)
{
    int inUse = 0;
    ComDbGetInUse(name, &inUse);
    return inUse != 0;
}

TEST(ToolsDialog, StaleClaimsAreListedAndReleasedOneAtATime)
{
    uitest::TempFolder folder;
    ASSERT_TRUE(OpenPairSetup(folder.Path()));
    for (int n : {256, 4})
        ASSERT_EQ(ClaimReleasePort(n, 1), 1);
    // A port that exists keeps its claim out of the list.
    ASSERT_EQ(InstallREdi("PortName=COM5", "-", 3), 1);
    QStringList said;
    RepairDialog d(nullptr, [&](const QString& t) { said << t; });
    auto* list = d.findChild<QComboBox*>("repairList");
    auto* repair = d.findChild<QPushButton*>("repairButton");
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->itemText(1), "COM256");
    repair->click();
    EXPECT_FALSE(Claimed("COM4"));
    // Nothing is picked after a repair: a second press releases nothing.
    repair->click();
    EXPECT_EQ(said, QStringList{"No item is selected"});
    EXPECT_TRUE(Claimed("COM256"));
    list->setCurrentIndex(0);
    repair->click();
    EXPECT_FALSE(Claimed("COM256"));
    EXPECT_TRUE(Claimed("COM5"));
    EXPECT_FALSE(repair->isEnabled());
    ClosePairSetup();
}

}  // namespace
