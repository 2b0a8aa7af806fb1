#include "shell/main_window.h"

#include <QAction>
#include <QClipboard>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QTreeWidget>

#include "config/option_dialog.h"
#include "engine/diagnostics.h"
#include "engine/port_table.h"
#include "engine/stop_event.h"
#include "ports/port_dialog.h"
#include "ports/pair_setup.h"
#include "ports/port_dialog.h"
#include "ports/port_info.h"
#include "ports/port_list.h"
#include "ports/program.h"
#include "ports/repair_dialog.h"
#include "res/resource.h"
#include "shell/about_dialog.h"
#include "shell/dialog_seam.h"
#include "ui_main_window.h"

namespace {

constexpr int kInformationRefreshMs = 1000;
constexpr int kInformationExtraWidth = 180;

}  // namespace

MainWindow::MainWindow(Program& program, QWidget* parent, WaitClock& clock)
    : QMainWindow(parent), ui_(std::make_unique<Ui::MainWindow>()), program_(program),
      commands_(program, *this, *this, clock)
{
    ui_->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral(":/icons/app.png")));
    // The designed size is the smallest; wider, the "Information" column
    // has room for a peer and its byte counts.
    setMinimumSize(size());
    BindActions();
    BindTray();
    BuildListMenu();
    ui_->portList->installEventFilter(this);
    ui_->portList->viewport()->installEventFilter(this);
    connect(ui_->portList, &QTreeWidget::itemSelectionChanged, this, &MainWindow::UpdateActions);
    infoTimer_ = new QTimer(this);
    infoTimer_->setInterval(kInformationRefreshMs);
    connect(infoTimer_, &QTimer::timeout, this, &MainWindow::RefreshInformation);
    UpdateActions();
}

MainWindow::~MainWindow() { Shutdown(); }

QTreeWidget* MainWindow::PortList() const { return ui_->portList; }

void MainWindow::BindActions()
{
    // Once the program has ended (a failed save's message may still be up)
    // no command reaches its ports.
    auto on = [this](QAction* action, auto handler) {
        connect(action, &QAction::triggered, this, [this, handler] {
            if (!ended_)
                handler();
        });
    };
    on(ui_->actionOption, [this] { commands_.Option(); });
    on(ui_->actionTools, [this] { OnTools(); });
    on(ui_->actionExportPorts, [this] { commands_.Export(); });
    on(ui_->actionImportPorts, [this] { commands_.Import(); });
    on(ui_->actionExit, [this] { OnExit(); });
    on(ui_->actionAdd, [this] { commands_.Add(); });
    on(ui_->actionDelete, [this] { commands_.Delete(Selection()); });
    on(ui_->actionStart, [this] { commands_.Start(Selection()); });
    on(ui_->actionStop, [this] { commands_.Stop(Selection()); });
    on(ui_->actionApply, [this] { commands_.Apply(Selection()); });
    on(ui_->actionProperty, [this] { commands_.Property(Selection()); });
    on(ui_->actionAbout, [this] { OnAbout(); });
}

void MainWindow::BindTray()
{
    connect(&tray_, &TrayIcon::showWindowRequested, this, &MainWindow::OnShowWindow);
    connect(&tray_, &TrayIcon::toggleWindowRequested, this, &MainWindow::OnTrayToggle);
    connect(&tray_, &TrayIcon::optionRequested, this, [this] {
        if (!ended_)
            commands_.Option();
    });
    connect(&tray_, &TrayIcon::aboutRequested, this, &MainWindow::OnAbout);
    connect(&tray_, &TrayIcon::uninstallRequested, this, [this] {
        if (!ended_)
            commands_.Uninstall();
    });
    connect(&tray_, &TrayIcon::exitRequested, this, &MainWindow::OnExit);
}

void MainWindow::BuildListMenu()
{
    listMenu_ = new QMenu(this);
    for (QAction* action : {ui_->actionStart, ui_->actionStop, ui_->actionProperty, ui_->actionDelete})
        listMenu_->addAction(action);
    listMenu_->addSeparator();
    copyPath_ = listMenu_->addAction(QStringLiteral("Copy device path"));
    connect(copyPath_, &QAction::triggered, this, &MainWindow::OnCopyDevicePath);
    traceTo_ = listMenu_->addAction(QStringLiteral("Trace to file..."));
    stopTrace_ = listMenu_->addAction(QStringLiteral("Stop trace"));
    connect(traceTo_, &QAction::triggered, this, &MainWindow::OnTraceToFile);
    connect(stopTrace_, &QAction::triggered, this, [this] {
        for (int n : Selection())
            if (PortRecord* r = OccupiedPort(n))
                r->trace.StopFile();
        UpdateActions();
    });
    ui_->portList->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui_->portList, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        // A right click on a row acts on that row, as in any file manager.
        if (QTreeWidgetItem* item = ui_->portList->itemAt(at); item && !item->isSelected()) {
            ui_->portList->clearSelection();
            item->setSelected(true);
        }
        UpdateActions();  // a trace may have been started or stopped from the command line
        listMenu_->popup(ui_->portList->viewport()->mapToGlobal(at));
    });
}

void MainWindow::RefreshInformation()
{
    QTreeWidget* list = ui_->portList;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = list->topLevelItem(i);
        const PortRecord* r = OccupiedPort(RowPortNumber(item));
        if (!r)
            continue;
        const QString text = QString::fromStdString(PortInformationText(*r));
        if (item->text(COL_INFORMATION) != text)
            item->setText(COL_INFORMATION, text);
    }
}

void MainWindow::UpdateInformationTimer()
{
    const bool seen = isVisible() && !isMinimized() &&
                      QGuiApplication::platformName() != QStringLiteral("offscreen");
    if (seen && !infoTimer_->isActive()) {
        RefreshInformation();
        infoTimer_->start();
    } else if (!seen) {
        infoTimer_->stop();
    }
}

void MainWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    UpdateInformationTimer();
}

void MainWindow::hideEvent(QHideEvent* event)
{
    QMainWindow::hideEvent(event);
    UpdateInformationTimer();
}

void MainWindow::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        UpdateInformationTimer();
}

void MainWindow::UpdateActions()
{
    // Commands on the selection say so by being disabled, instead of
    // silently doing nothing.
    const bool any = !ui_->portList->selectedItems().isEmpty();
    for (QAction* a : {ui_->actionDelete, ui_->actionStart, ui_->actionStop, ui_->actionApply,
                       ui_->actionProperty, copyPath_, traceTo_})
        a->setEnabled(any);
    bool traced = false;
    for (int n : Selection())
        traced = traced || (OccupiedPort(n) && OccupiedPort(n)->trace.HasFile());
    stopTrace_->setEnabled(traced);
}

void MainWindow::PostPortStateMessage(PortRecord* record, int32_t)
{
    // Called on a bridge thread: hand over to the user-interface thread, in
    // posting order. A call queued after the window is gone is dropped.
    QMetaObject::invokeMethod(this, [this, record] { RefreshPortRows(ui_->portList, record); },
                              Qt::QueuedConnection);
}

void MainWindow::SendToTray()
{
    // Without a tray host a hidden window could never come back.
    if (tray_.Enabled() && !tray_.Hidden())
        TrayIcon::MoveWindowToTray(this);
    showMinimized();
    if (tray_.Enabled() && !tray_.Hidden())
        hide();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (ended_) {
        event->accept();
        return;
    }
    event->ignore();
    SendToTray();
}

void MainWindow::keyPressEvent(QKeyEvent* event)
{
    // One stray key must not end every bridge: Esc does what the close box
    // does, Enter what a double click does; "Exit" ends the program.
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (!ui_->portList->selectedItems().isEmpty())
            commands_.Property(Selection());
        return;
    case Qt::Key_Escape:
        SendToTray();
        return;
    default:
        QMainWindow::keyPressEvent(event);
    }
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ui_->portList && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Delete) {
            commands_.Delete(Selection());
            return true;
        }
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter || key->key() == Qt::Key_Escape) {
            keyPressEvent(key);
            return true;
        }
    }
    if (watched == ui_->portList->viewport() && event->type() == QEvent::MouseButtonDblClick) {
        commands_.Property(Selection());
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::OnAbout()
{
    AboutDialog about(this, QString::fromStdString(program_.BackendNote()));
    Seam().RunModal(&about);
}

void MainWindow::OnShowWindow() { TrayIcon::BringWindowFromTray(this); }

void MainWindow::OnTrayToggle()
{
    if (isMinimized() || !isVisible())
        OnShowWindow();
    else
        SendToTray();
}

void MainWindow::OnCopyDevicePath()
{
    const QList<QTreeWidgetItem*> rows = ui_->portList->selectedItems();
    if (!rows.isEmpty())
        QGuiApplication::clipboard()->setText(rows.front()->toolTip(0));
}

// The first selected port's bytes and events to a file, until "Stop trace".
void MainWindow::OnTraceToFile()
{
    const PortCommands::Selection rows = Selection();
    PortRecord* r = rows.empty() ? nullptr : OccupiedPort(rows.front());
    if (!r || ended_)
        return;
    const QString path = Seam().GetSaveFileName(this, QStringLiteral("Trace %1 to file").arg(QString::fromLatin1(r->name)),
                                                QStringLiteral("Trace files (*.log *.txt);;All files (*)"));
    std::string error;
    if (!path.isEmpty() && !r->trace.StartFile(path.toStdString(), TraceFile::kDefaultCap, &error))
        Seam().MessageBox(this, QString::fromStdString(error));
    UpdateActions();
}

void MainWindow::OnExit()
{
    Shutdown();
    emit ended();
}

void MainWindow::OnSignalExit()
{
    unattended_ = true;
    OnExit();
}

void MainWindow::ShowPorts()
{
    // The columns share the list's width, and the list fills the window,
    // which is not laid out before it is first shown.
    ui_->portList->resize(width(), ui_->portList->height());
    InitPortColumns(ui_->portList);
    resize(width() + kInformationExtraWidth, height());
    for (const PortRecord& r : PortTable)
        if (r.number != -1)
            PortAdded(r);
    tray_.Create(this, QStringLiteral(IDS_TRAY_TOOLTIP), windowIcon());
    if (program_.Options().settings.autoRun)
        SendToTray();
    else
        show();
}

void MainWindow::Shutdown()
{
    if (ended_)
        return;
    ended_ = true;
    commands_.MarkEnded();
    std::string error;
    const bool saved = program_.Stop(true, &error);
    ui_->portList->clear();
    if (!saved) {
        // A box that nobody answers (a service stop, a headless run) would
        // keep the program from ending at all.
        if (unattended_)
            LogNote("%s: %s\n", kMsgSaveFail, error.c_str());
        else
            Seam().MessageBox(this, QString::fromStdString(WithReason(kMsgSaveFail, error)));
    }
    tray_.DeleteIcon();
}

PortCommands::Selection MainWindow::Selection() const
{
    PortCommands::Selection numbers;
    for (int i = 0; i < ui_->portList->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = ui_->portList->topLevelItem(i);
        if (item->isSelected())
            numbers.push_back(RowPortNumber(item));
    }
    return numbers;
}

void MainWindow::OnTools()
{
    RepairDialog dlg(this, program_.Pairs(), [this](const QString& text) { Seam().MessageBox(this, text); });
    Seam().RunModal(&dlg);
}

void MainWindow::Message(const std::string& text)
{
    Seam().MessageBox(this, QString::fromStdString(text));
}

bool MainWindow::Ask(const std::string& text) { return Seam().Question(this, QString::fromStdString(text)); }

bool MainWindow::EditPort(PortSettings* settings, const PortRecord* record)
{
    QStringList names;
    for (const std::string& n : program_.Pairs().ComNamesInUse())
        names << QString::fromStdString(n);
    // 0: no such device; 1: its target in *target; 2: a target longer than size.
    auto lookUp = [this](const char* name, size_t size, std::string* target) {
        const std::string found = program_.Pairs().DeviceTarget(name ? name : "");
        if (found.empty() || found.size() >= size)
            return found.empty() ? 0 : 2;
        *target = found;
        return 1;
    };
    PortDialog dialog(this, *settings, record, names, lookUp,
                       [this](const QString& text) { Seam().MessageBox(this, text); });
    if (Seam().RunModal(&dialog) != QDialog::Accepted)
        return false;
    *settings = dialog.Fields();
    return true;
}

bool MainWindow::EditOptions(StartupSettings* flags)
{
    OptionDialog dlg(flags->addNew, flags->startup, flags->detectDsr, flags->autoRun, this);
    if (Seam().RunModal(&dlg) != QDialog::Accepted)
        return false;
    *flags = dlg.Flags();
    return true;
}

namespace {

// The path a file dialog gave, made absolute against the directory it was
// chosen in.
std::string ChosenPath(const QString& path)
{
    if (path.isEmpty())
        return {};
    return QFile::encodeName(QFileInfo(path).absoluteFilePath()).toStdString();
}

}  // namespace

std::string MainWindow::ChooseSaveFile() { return ChosenPath(Seam().GetSaveFileName(this, {}, {})); }
std::string MainWindow::ChooseOpenFile() { return ChosenPath(Seam().GetOpenFileName(this, {}, {})); }
void MainWindow::BeginWait() { Seam().BeginWaitCursor(); }
void MainWindow::EndWait() { Seam().EndWaitCursor(); }
void MainWindow::KeepResponsive() { Seam().ProcessEvents(); }

void MainWindow::PortAdded(const PortRecord& record)
{
    SetPortRow(ui_->portList, &record, true, 0);
    PortChanged(record);
}

void MainWindow::PortRemoved(int number)
{
    QTreeWidget* list = ui_->portList;
    for (int i = list->topLevelItemCount() - 1; i >= 0; --i)
        if (RowPortNumber(list->topLevelItem(i)) == number)
            delete list->topLevelItem(i);
}

void MainWindow::PortChanged(const PortRecord& record)
{
    QTreeWidget* list = ui_->portList;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        if (RowPortNumber(list->topLevelItem(i)) != record.number)
            continue;
        SetPortRow(list, &record, false, i);
        // The tooltip: the path a serial program opens for the port.
        if (record.name[0] && !ended_)
            SetRowDevicePath(list->topLevelItem(i), program_.Pairs().DevicePath(record.name).c_str());
    }
}
