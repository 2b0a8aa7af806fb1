// The main window: the port list, the menu bar, the command routing, the
// start-up and shutdown of the program's parts.
#pragma once

#include <QMainWindow>
#include <memory>
#include <string>

#include "config/options_file.h"
#include "ports/add_redi_dialog.h"

#include "engine/port_table.h"
#include "shell/command_target.h"
#include "shell/tray_icon.h"

namespace Ui {
class CPontuDlg;
}
class QTreeWidget;
class QTreeWidgetItem;

class CPontuDlg : public QMainWindow, public PortStateTarget, public CommandTarget {
    Q_OBJECT
public:
    // programDir: where the options, the pairs and their links live.
    explicit CPontuDlg(const std::string& programDir, QWidget* parent = nullptr);
    ~CPontuDlg() override;

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
    CTrayIcon& TrayIcon() { return tray_; }
    bool HasEnded() const { return destroyed_; }
    OptionsState& Options() { return options_; }

    // Port commands (ports/port_commands.cpp).
    // Gives the row's port its COM name and stores the row's settings; 1 on
    // success, 0 when the port runs or the name was refused (with a message).
    int ApplyPortRow(int row);
    // Makes a new pair in the lowest free slot from the settings and appends
    // its row; on failure gives up row, pair and slot with a message.
    void AddPortPair(const PortSettings& settings);
    // Waits up to limitMs for the pair's bridge side to exist, the window
    // painting meanwhile. False when it did not appear in time.
    bool WaitForBridgeSide(int pair, int limitMs, size_t targetSize);

    // Command handlers.
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
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BindActions();
    // Each row's tooltip: the path a serial program opens for its port.
    void UpdateRowTooltips();
    void SendToTray();
    // options.dat in the program directory.
    std::string OptionsPath() const;
    // Saves the options; a file that cannot be written is said, not hidden.
    void SaveOptionsOrSay();

    std::unique_ptr<Ui::CPontuDlg> ui_;
    std::string programDir_;
    OptionsState options_;
    CTrayIcon tray_;
    bool destroyed_ = false;
    bool unattended_ = false;  // the shutdown must not wait for a person
};
