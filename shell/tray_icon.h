// The program's icon in the notification area, its menu, and the moves of a
// window into and out of the tray.
#pragma once

#include <QIcon>
#include <QObject>
#include <QString>
#include <memory>

class QMenu;
class QTimer;
class QSystemTrayIcon;
class QWidget;
class CommandTarget;

// Notification codes of the icon, as the tray reports them.
constexpr unsigned TRAY_EVENT_RBUTTONUP = 0x0205;
constexpr unsigned TRAY_EVENT_LBUTTONDBLCLK = 0x0203;
constexpr unsigned TRAY_EVENT_LBUTTONUP = 0x0202;

class TrayIcon : public QObject {
    Q_OBJECT
public:
    TrayIcon();
    ~TrayIcon() override;

    // Adds the icon; non-zero when it is shown. Without a tray host the icon
    // is not added, the caller keeps the window reachable instead, and the
    // icon watches for a tray and is added when one appears.
    int Create(QWidget* parent, const QString& tooltip, const QIcon& icon, unsigned iconId);
    // Qt itself adds a shown icon again when the tray host restarts.
    int DeleteIcon();

    int SetNotifyTarget(CommandTarget* target);
    CommandTarget* GetNotifyTarget() const { return target_; }

    // first: the icon id; second: the event. 1 when served, 0 otherwise.
    virtual int HandleNotification(unsigned first, unsigned second);
    virtual void PrepareMenu(QMenu* menu);

    QMenu* Menu() const { return menu_.get(); }
    QString ToolTip() const { return tooltip_; }
    bool Enabled() const { return enabled_; }
    bool Hidden() const { return hidden_; }

    // Whether the icon waits for a tray to appear.
    bool Watching() const;

    static void MoveWindowToTray(QWidget* window, bool force);
    static void BringWindowFromTray(QWidget* window, bool force);

private:
    void BuildMenu();

    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> icon_;
    std::unique_ptr<QTimer> watch_;
    QWidget* parent_ = nullptr;
    QIcon iconImage_;
    CommandTarget* target_ = nullptr;
    QString tooltip_;
    unsigned iconId_ = 0;
    bool enabled_ = false;
    bool hidden_ = true;
};
