#include "shell/tray_icon.h"

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QWidget>

#include "res/resource.h"
#include "shell/command_target.h"

namespace {

struct TrayItem {
    const char* text;
    int id;
};

// Menu 103: "Show Window" is the default item, shown bold.
constexpr TrayItem kTrayMenu[] = {
    {"Show Window", ID_TRAY_SHOWWINDOW},
    {"Option", ID_SYSTEM_OPTION},
    {"About", ID_HELP_ABOUT},
    {"Uninstall", ID_TRAY_UNINSTALL},
    {"Exit", ID_SYSTEM_EXIT},
};

constexpr int kTooltipMax = 127;

}  // namespace

CTrayIcon::CTrayIcon() { BuildMenu(); }

CTrayIcon::~CTrayIcon() { DeleteIcon(); }

void CTrayIcon::BuildMenu()
{
    menu_ = std::make_unique<QMenu>();
    for (const TrayItem& item : kTrayMenu) {
        QAction* a = menu_->addAction(QString::fromLatin1(item.text));
        a->setData(item.id);
        if (item.id == ID_TRAY_UNINSTALL)
            a->setStatusTip(QString::fromLatin1(IDS_UNINSTALL_PROMPT));
        connect(a, &QAction::triggered, this, [this, id = item.id] {
            if (CommandTarget* t = GetNotifyTarget())
                t->PostCommand(id);
        });
    }
    menu_->setDefaultAction(menu_->actions().value(0));
}

int CTrayIcon::Create(QWidget* parent, const QString& tooltip, const QIcon& icon, unsigned iconId)
{
    iconId_ = iconId;
    // The tooltip keeps at most 127 bytes.
    tooltip_ = tooltip;
    while (tooltip_.toUtf8().size() > kTooltipMax)
        tooltip_.chop(1);
    enabled_ = QSystemTrayIcon::isSystemTrayAvailable();
    if (!enabled_)
        return 0;

    icon_ = std::make_unique<QSystemTrayIcon>(icon, parent);
    icon_->setToolTip(tooltip_);
    PrepareMenu(menu_.get());
    icon_->setContextMenu(menu_.get());
    connect(icon_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::DoubleClick)
                    HandleNotification(iconId_, TRAY_EVENT_LBUTTONDBLCLK);
                else if (reason == QSystemTrayIcon::Trigger)
                    HandleNotification(iconId_, TRAY_EVENT_LBUTTONUP);
            });
    icon_->show();
    hidden_ = !icon_->isVisible();
    return hidden_ ? 0 : 1;
}

int CTrayIcon::DeleteIcon()
{
    if (icon_ && !hidden_)
        icon_->hide();
    hidden_ = true;
    return 1;
}

int CTrayIcon::SetNotifyTarget(CommandTarget* target)
{
    target_ = target;
    return 1;
}

int CTrayIcon::HandleNotification(unsigned first, unsigned second)
{
    if (first != iconId_)
        return 0;
    CommandTarget* target = GetNotifyTarget();
    if (!target)
        return 0;
    switch (second & 0xFFFF) {
    case TRAY_EVENT_RBUTTONUP:
        PrepareMenu(menu_.get());
        menu_->popup(QCursor::pos(), menu_->defaultAction());
        return 1;
    case TRAY_EVENT_LBUTTONDBLCLK:
        target->PostCommand(menu_->defaultAction()->data().toInt());
        return 1;
    default:
        return 1;
    }
}

void CTrayIcon::PrepareMenu(QMenu*) {}

void CTrayIcon::MoveWindowToTray(QWidget* window, bool)
{
    // Hidden windows have no taskbar entry: that is the tray.
    window->hide();
}

void CTrayIcon::BringWindowFromTray(QWidget* window, bool)
{
    // Back on the taskbar, activated, still minimised.
    window->setWindowState(window->windowState() | Qt::WindowMinimized);
    window->show();
    window->raise();
    window->activateWindow();
}
