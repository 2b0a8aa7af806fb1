#include "shell/tray_icon.h"

#include <QAction>
#include <QGuiApplication>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

#include "res/resource.h"

namespace {

constexpr int kTooltipMax = 127;
constexpr int kTrayWatchMs = 2000;

}  // namespace

TrayIcon::TrayIcon() { BuildMenu(); }

TrayIcon::~TrayIcon() { DeleteIcon(); }

bool TrayIcon::Watching() const { return watch_ && watch_->isActive(); }

void TrayIcon::BuildMenu()
{
    // "Show Window" is the default item, shown bold.
    const std::pair<const char*, void (TrayIcon::*)()> items[] = {
        {"Show Window", &TrayIcon::showWindowRequested},
        {"Option", &TrayIcon::optionRequested},
        {"About", &TrayIcon::aboutRequested},
        {"Uninstall", &TrayIcon::uninstallRequested},
        {"Exit", &TrayIcon::exitRequested},
    };
    menu_ = std::make_unique<QMenu>();
    for (const auto& [text, signal] : items) {
        QAction* a = menu_->addAction(QString::fromLatin1(text));
        if (signal == &TrayIcon::uninstallRequested)
            a->setStatusTip(QString::fromLatin1(IDS_UNINSTALL_PROMPT));
        connect(a, &QAction::triggered, this, signal);
    }
    menu_->setDefaultAction(menu_->actions().value(0));
}

bool TrayIcon::Create(QWidget* parent, const QString& tooltip, const QIcon& icon)
{
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
                Create(parent_, tooltip_, iconImage_);
            });
        }
        watch_->start(kTrayWatchMs);
    }
    if (!enabled_)
        return false;

    icon_ = std::make_unique<QSystemTrayIcon>(icon, parent);
    icon_->setToolTip(tooltip_);
    icon_->setContextMenu(menu_.get());
    connect(icon_.get(), &QSystemTrayIcon::activated, this, &TrayIcon::Activate);
    icon_->show();
    hidden_ = !icon_->isVisible();
    return !hidden_;
}

void TrayIcon::DeleteIcon()
{
    if (watch_)
        watch_->stop();
    if (icon_ && !hidden_)
        icon_->hide();
    hidden_ = true;
}

void TrayIcon::Activate(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::DoubleClick:
        menu_->defaultAction()->trigger();
        break;
    case QSystemTrayIcon::Trigger:
        // Many trays report nothing but a single click.
        emit toggleWindowRequested();
        break;
    default:
        break;  // the context menu: Qt shows it itself
    }
}

void TrayIcon::MoveWindowToTray(QWidget* window)
{
    // Hidden windows have no taskbar entry: that is the tray.
    window->hide();
}

void TrayIcon::BringWindowFromTray(QWidget* window)
{
    // Back in its normal state and in front: a window that came back
    // minimised looks, on many desktops, as if nothing happened.
    window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    window->showNormal();
    window->raise();
    window->activateWindow();
}
