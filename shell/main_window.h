// The main window: the port list, the menu bar and the tray icon, showing
// the program core and handing what the person picks to the port commands.
#pragma once

#include <QMainWindow>
#include <memory>
#include <string>

#include "engine/port_table.h"
#include "ports/port_commands.h"
#include "shell/tray_icon.h"

namespace Ui {
class MainWindow;
}
class Program;
class QAction;
class QTimer;
class QMenu;
class QTreeWidget;
class QTreeWidgetItem;

class MainWindow : public QMainWindow, public PortStateTarget, private CommandUi, private PortListView {
    Q_OBJECT
public:
    // clock: the time of the commands' waits.
    explicit MainWindow(Program& program, QWidget* parent = nullptr, WaitClock& clock = SteadyWaitClock());
    // Ends the program as Shutdown does: its bridges report to this window.
    ~MainWindow() override;

    // The rows of the ports the program discovered, the tray icon, and the
    // window shown (or in the tray with autorun on). Call once.
    void ShowPorts();
    // The program ends: every bridge stopped, the options written, a failed
    // save told. Runs once.
    void Shutdown();

    void PostPortStateMessage(PortRecord* record, int32_t state) override;

    QTreeWidget* PortList() const;
    TrayIcon& Tray() { return tray_; }
    bool HasEnded() const { return ended_; }
    // The port list as commands from elsewhere (the command line) change it.
    PortListView& ListView() { return *this; }
    QMenu* ListMenu() const { return listMenu_; }

    // "Exit": Shutdown, then ended().
    void OnExit();
    // "Exit" asked for by SIGTERM, SIGINT or SIGHUP: nobody may be there to
    // answer a message box, so a failed save is told on standard error.
    void OnSignalExit();
    // Back from the tray or from minimised, in front.
    void OnShowWindow();
    // The "Information" column, touching only the rows whose text changed;
    // it reads the records and never wakes a bridge. Once a second while
    // the window is shown.
    void RefreshInformation();

signals:
    // The program is to end: the shutdown has run.
    void ended();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BindActions();
    void BindTray();
    // Runs the Information refresh only while someone can see the list: a
    // program in the tray or without a display wakes for nothing.
    void UpdateInformationTimer();
    void BuildListMenu();
    void UpdateActions();
    void SendToTray();
    // A single click on the tray icon: shows a hidden or minimised window,
    // sends a shown one to the tray.
    void OnTrayToggle();
    void OnAbout();
    void OnTools();
    // The device path of the selected row, onto the clipboard.
    void OnCopyDevicePath();
    void OnTraceToFile();
    // Pair numbers of the selected rows, from the top.
    PortCommands::Selection Selection() const;

    // CommandUi: through the dialog seam.
    void Message(const std::string& text) override;
    bool Ask(const std::string& text) override;
    bool EditPort(PortSettings* settings, const PortRecord* record) override;
    bool EditOptions(StartupSettings* flags) override;
    std::string ChooseSaveFile() override;
    std::string ChooseOpenFile() override;
    void BeginWait() override;
    void EndWait() override;
    void KeepResponsive() override;

    // PortListView: rows found by the pair number in column 0.
    void PortAdded(const PortRecord& record) override;
    void PortRemoved(int number) override;
    void PortChanged(const PortRecord& record) override;

    std::unique_ptr<Ui::MainWindow> ui_;
    Program& program_;
    PortCommands commands_;
    TrayIcon tray_;
    bool ended_ = false;
    bool unattended_ = false;  // the shutdown must not wait for a person
    QMenu* listMenu_ = nullptr;  // the port list's context menu
    QTimer* infoTimer_ = nullptr;
    QAction* copyPath_ = nullptr;
    QAction* traceTo_ = nullptr;
    QAction* stopTrace_ = nullptr;
};
