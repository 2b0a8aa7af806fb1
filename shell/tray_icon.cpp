#include "shell/tray_icon.h"

#include <QAction>
#include <QGuiApplication>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
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
constexpr int kTrayWatchMs = 2000;

}  // namespace

TrayIcon::TrayIcon() { BuildMenu(); }

TrayIcon::~TrayIcon() { DeleteIcon(); }

bool TrayIcon::Watching() const { return watch_ && watch_->isActive(); }

void TrayIcon::BuildMenu()
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

int TrayIcon::Create(QWidget* parent, const QString& tooltip, const QIcon& icon, unsigned iconId)
{
    iconId_ = iconId;
    // The tooltip keeps at most 127 bytes.
    tooltip_ = tooltip;
    while (tooltip_.toUtf8().size() > kTooltipMax)
        tooltip_.chop(1);
    enabled_ = QSystemTrayIcon::isSystemTrayAvailable();
    // Without a display no tray can ever come: nothing to watch for.
    if (!enabled_ && QGuiApplication::platformName() != QStringLiteral("offscreen")) {
        // A panel usually starts after a program run at logon: watch for
        // its tray and add the icon when one appears.
        parent_ = parent;
        iconImage_ = icon;
        if (!watch_) {
            watch_ = std::make_unique<QTimer>();
            connect(watch_.get(), &QTimer::timeout, this, [this] {
                if (!QSystemTrayIcon::isSystemTrayAvailable())
                    return;
                watch_->stop();
                Create(parent_, tooltip_, iconImage_, iconId_);
            });
        }
        watch_->start(kTrayWatchMs);
    }
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

int TrayIcon::DeleteIcon()
{
    if (watch_)
        watch_->stop();
    if (icon_ && !hidden_)
        icon_->hide();
    hidden_ = true;
    return 1;
}

int TrayIcon::SetNotifyTarget(CommandTarget* target)
{
    target_ = target;
    return 1;
}

int TrayIcon::HandleNotification(unsigned first, unsigned second)
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
    case TRAY_EVENT_LBUTTONUP:
        // Many trays report nothing but a single click.
        target->PostCommand(ID_TRAY_TOGGLEWINDOW);
        return 1;
    default:
        return 1;
    }
}

void TrayIcon::PrepareMenu(QMenu*) {}

void TrayIcon::MoveWindowToTray(QWidget* window, bool)
{
    // Hidden windows have no taskbar entry: that is the tray.
    window->hide();
}

void TrayIcon::BringWindowFromTray(QWidget* window, bool)
{
    // Back in its normal state and in front: a window that came back
    // minimised looks, on many desktops, as if nothing happened.
    window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    window->showNormal();
    window->raise();
    window->activateWindow();
}
