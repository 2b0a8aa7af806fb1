#include <gtest/gtest.h>

#include <QComboBox>
#include <QPushButton>

#include "ports/pair_setup.h"
#include "ports/repair_dialog.h"
#include "../test_folder.h"

TEST(ToolsDialog, StaleClaimsAreListedAndReleasedOneAtATime)
{
    uitest::TempFolder folder;
    auto pairs = PairSetup::Open(folder.Path());
    for (int n : {256, 4})
        ASSERT_TRUE(pairs->SetComClaim(n, true));
    // A port that exists keeps its claim out of the list.
    ASSERT_TRUE(pairs->Install(3, "PortName=COM5"));
    QStringList said;
    RepairDialog d(nullptr, *pairs, [&](const QString& t) { said << t; });
    auto* list = d.findChild<QComboBox*>("repairList");
    auto* repair = d.findChild<QPushButton*>("repairButton");
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->itemText(1), "COM256");
    repair->click();
    EXPECT_FALSE(pairs->ComClaimed(4));
    // Nothing is picked after a repair: a second press releases nothing.
    repair->click();
    EXPECT_EQ(said, QStringList{"No item is selected"});
    EXPECT_TRUE(pairs->ComClaimed(256));
    list->setCurrentIndex(0);
    repair->click();
    EXPECT_FALSE(pairs->ComClaimed(256));
    EXPECT_TRUE(pairs->ComClaimed(5));
    EXPECT_FALSE(repair->isEnabled());
}
