// The tray icon's menu and notifications, without a tray host.
#include <gtest/gtest.h>

#include <QAction>
#include <QFont>
#include <QMenu>

#include "res/resource.h"
#include "shell/command_target.h"
#include "shell/tray_icon.h"

namespace {

struct RecordingTarget : CommandTarget {
    void PostCommand(int id) override { posted.push_back(id); }
    std::vector<int> posted;
};

TEST(TrayIcon, MenuHoldsItsFiveCommandsWithShowWindowAsDefault)
{
    CTrayIcon tray;
    QList<QAction*> items = tray.Menu()->actions();
    ASSERT_EQ(items.size(), 5);
    const std::pair<const char*, int> expected[] = {{"Show Window", ID_TRAY_SHOWWINDOW},
                                                    {"Option", ID_SYSTEM_OPTION},
                                                    {"About", ID_HELP_ABOUT},
                                                    {"Uninstall", ID_TRAY_UNINSTALL},
                                                    {"Exit", ID_SYSTEM_EXIT}};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(items[i]->text(), QString::fromLatin1(expected[i].first));
        EXPECT_EQ(items[i]->data().toInt(), expected[i].second);
    }
    EXPECT_EQ(tray.Menu()->defaultAction(), items[0]);

    RecordingTarget target;
    tray.SetNotifyTarget(&target);
    items[4]->trigger();
    EXPECT_EQ(target.posted, (std::vector<int>{ID_SYSTEM_EXIT}));
}

TEST(TrayIcon, DoubleClickPostsShowWindowAndOtherNotificationsDoNothing)
{
    CTrayIcon tray;
    RecordingTarget target;
    // Without a tray host the icon is not added, and says so.
    EXPECT_EQ(tray.Create(nullptr, QString(200, QChar('x')), QIcon(), IDR_TRAYMENU), 0);
    EXPECT_TRUE(tray.Hidden());
    EXPECT_LE(tray.ToolTip().toUtf8().size(), 127);

    EXPECT_EQ(tray.HandleNotification(IDR_TRAYMENU, TRAY_EVENT_LBUTTONDBLCLK), 0);  // no target yet
    tray.SetNotifyTarget(&target);
    EXPECT_EQ(tray.HandleNotification(IDR_TRAYMENU + 1, TRAY_EVENT_LBUTTONDBLCLK), 0);
    EXPECT_EQ(tray.HandleNotification(IDR_TRAYMENU, TRAY_EVENT_LBUTTONUP), 1);
    EXPECT_TRUE(target.posted.empty());
    EXPECT_EQ(tray.HandleNotification(IDR_TRAYMENU, TRAY_EVENT_LBUTTONDBLCLK), 1);
    EXPECT_EQ(target.posted, (std::vector<int>{ID_TRAY_SHOWWINDOW}));
}

}  // namespace
