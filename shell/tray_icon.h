// The program's icon in the notification area, its menu, and the moves of a
// window into and out of the tray. What the person picks is told through
// the signals; the icon itself decides nothing.
#pragma once

#include <QIcon>
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>
#include <memory>

class QMenu;
class QTimer;
class QWidget;

class TrayIcon : public QObject {
    Q_OBJECT
public:
    TrayIcon();
    ~TrayIcon() override;

    // Adds the icon; true when it is shown. Without a tray host the icon is
    // not added, the caller keeps the window reachable instead, and the icon
    // watches for a tray and is added when one appears.
    bool Create(QWidget* parent, const QString& tooltip, const QIcon& icon);
    // Qt itself adds a shown icon again when the tray host restarts.
    void DeleteIcon();

    // What the tray reports of a click on the icon: a single click toggles
    // the window, a double click runs the menu's default item ("Show
    // Window"); Qt shows the menu on a context click itself.
    void Activate(QSystemTrayIcon::ActivationReason reason);

    QMenu* Menu() const { return menu_.get(); }
    QString ToolTip() const { return tooltip_; }
    bool Enabled() const { return enabled_; }
    bool Hidden() const { return hidden_; }

    // Whether the icon waits for a tray to appear.
    bool Watching() const;

    static void MoveWindowToTray(QWidget* window);
    static void BringWindowFromTray(QWidget* window);

signals:
    void showWindowRequested();
    void toggleWindowRequested();
    void optionRequested();
    void aboutRequested();
    void uninstallRequested();
    void exitRequested();

private:
    void BuildMenu();

    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> icon_;
    std::unique_ptr<QTimer> watch_;
    QWidget* parent_ = nullptr;
    QIcon iconImage_;
    QString tooltip_;
    bool enabled_ = false;
    bool hidden_ = true;
};
