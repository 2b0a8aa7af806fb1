// The main window: the port list, the menu bar, the command routing, the
// start-up and shutdown of the program's parts.
#pragma once

#include <QMainWindow>
#include <memory>
#include <string>

#include "config/options_file.h"
#include "engine/port_table.h"
#include "ports/port_commands.h"
#include "shell/command_target.h"
#include "shell/tray_icon.h"

namespace Ui {
class MainWindow;
}
class QAction;
class QTimer;
class QMenu;
class QTreeWidget;
class QTreeWidgetItem;

class MainWindow : public QMainWindow,
                  public PortStateTarget,
                  public CommandTarget,
                  private CommandUi,
                  private PortListView {
    Q_OBJECT
public:
    // programDir: where the options, the pairs and their links live.
    // clock: the time of the commands' waits.
    explicit MainWindow(const std::string& programDir, QWidget* parent = nullptr,
                       WaitClock& clock = SteadyWaitClock());
    ~MainWindow() override;

    // Start-up: options, port table, columns, discovery, tray. Call once.
    bool OnInitDialog();
    // Shutdown: every bridge stopped, then the options written. Runs once.
    void OnDestroy();

    // The routing table: every command id reaches its handler here.
    void OnCommand(int id);
    void PostCommand(int id) override;
    void PostPortStateMessage(PortRecord* record, int32_t state) override;
    int OnPortState(PortRecord* record, int32_t state);

    QTreeWidget* PortList() const;
    TrayIcon& Tray() { return tray_; }
    bool HasEnded() const { return destroyed_; }
    OptionsState& Options() { return options_; }
    // The port list as commands from elsewhere (the command line) change it.
    PortListView& ListView() { return *this; }

    // Command handlers: each hands the selection to its command.
    void OnAdd();
    void OnDelete();
    void OnStart();
    void OnStop();
    void OnApply();
    void OnProperty();
    void OnAbout();
    void OnOption();
    void OnExit();
    // "Exit" asked for by SIGTERM, SIGINT or SIGHUP: nobody may be there to
    // answer a message box, so a failed save is told on standard error.
    void OnSignalExit();
    void OnTools();
    void OnShowMainWindow();
    // A single click on the tray icon: shows a hidden or minimised window,
    // sends a shown one to the tray.
    void OnTrayToggle();
    void OnUninstall();
    // The device path of the selected row, onto the clipboard.
    void OnCopyDevicePath();
    QMenu* ListMenu() const { return listMenu_; }
    // The "Information" column, touching only the rows whose text changed;
    // it reads the records and never wakes a bridge. Once a second while
    // the window is shown.
    void RefreshInformation();
    void ImportPorts();
    void ExportPorts();
    void OnSysCommand(int command);
    void OnListKeyDown(int key);
    void OnListDblClk();

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
    // Runs the Information refresh only while someone can see the list: a
    // program in the tray or without a display wakes for nothing.
    void UpdateInformationTimer();
    void BuildListMenu();
    void UpdateActions();
    void SendToTray();
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
    std::string programDir_;
    OptionsState options_;
    PortCommands commands_;
    TrayIcon tray_;
    bool destroyed_ = false;
    bool unattended_ = false;  // the shutdown must not wait for a person
    QMenu* listMenu_ = nullptr;  // the port list's context menu
    QTimer* infoTimer_ = nullptr;
    QAction* copyPath_ = nullptr;
};
