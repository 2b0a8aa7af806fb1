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
#include "config/options_file.h"
#include "engine/bridge.h"
#include "engine/diagnostics.h"
#include "engine/port_table.h"
#include "engine/stop_event.h"
#include "ports/port_dialog.h"
#include "ports/pair_setup.h"
#include "ports/port_info.h"
#include "ports/port_list.h"
#include "ports/repair_dialog.h"
#include "res/resource.h"
#include "shell/about_dialog.h"
#include "shell/dmlib.h"
#include "shell/dialog_seam.h"
#include "ui_main_window.h"

namespace {

using Handler = void (MainWindow::*)();

struct Route {
    int id;
    Handler handler;  // nullptr: the command does nothing
};

// Every command of the menu bar, the tray menu and the tray icon.
constexpr Route kCommandTable[] = {
    {ID_VCOM_ADD, &MainWindow::OnAdd},
    {ID_VCOM_DELETE, &MainWindow::OnDelete},
    {ID_VCOM_START, &MainWindow::OnStart},
    {ID_VCOM_STOP, &MainWindow::OnStop},
    {ID_HELP_ABOUT, &MainWindow::OnAbout},
    {ID_SYSTEM_OPTION, &MainWindow::OnOption},
    {ID_SYSTEM_EXIT, &MainWindow::OnExit},
    {ID_VCOM_PROPERTY, &MainWindow::OnProperty},
    {ID_TRAY_UNINSTALL, &MainWindow::OnUninstall},
    {ID_TRAY_TOGGLEWINDOW, &MainWindow::OnTrayToggle},
    {ID_VCOM_COPYPATH, &MainWindow::OnCopyDevicePath},
    {ID_TRAY_SHOWWINDOW, &MainWindow::OnShowMainWindow},
    {ID_VCOM_APPLY, &MainWindow::OnApply},
    {ID_SYSTEM_TOOLS, &MainWindow::OnTools},
    {ID_SYSTEM_IMPORT, &MainWindow::ImportPorts},
    {ID_SYSTEM_EXPORT, &MainWindow::ExportPorts},
};

constexpr int kSysCommandClose = 0xF060;
constexpr int kInformationRefreshMs = 1000;
constexpr int kInformationExtraWidth = 180;

}  // namespace

MainWindow::MainWindow(const std::string& programDir, QWidget* parent, WaitClock& clock)
    : QMainWindow(parent), ui_(std::make_unique<Ui::MainWindow>()), programDir_(programDir),
      commands_(programDir, options_, *this, *this, clock)
{
    ui_->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral(":/icons/app.png")));
    // The designed size is the smallest; wider, the "Information" column
    // has room for a peer and its byte counts.
    setMinimumSize(size());
    BindActions();
    BuildListMenu();
    ui_->portList->installEventFilter(this);
    ui_->portList->viewport()->installEventFilter(this);
    connect(ui_->portList, &QTreeWidget::itemSelectionChanged, this, &MainWindow::UpdateActions);
    infoTimer_ = new QTimer(this);
    infoTimer_->setInterval(kInformationRefreshMs);
    connect(infoTimer_, &QTimer::timeout, this, &MainWindow::RefreshInformation);
    UpdateActions();
}

MainWindow::~MainWindow() { OnDestroy(); }

QTreeWidget* MainWindow::PortList() const { return ui_->portList; }

void MainWindow::BindActions()
{
    const std::pair<QAction*, int> actions[] = {
        {ui_->actionOption, ID_SYSTEM_OPTION},   {ui_->actionTools, ID_SYSTEM_TOOLS},
        {ui_->actionExportPorts, ID_SYSTEM_EXPORT}, {ui_->actionImportPorts, ID_SYSTEM_IMPORT},
        {ui_->actionExit, ID_SYSTEM_EXIT},       {ui_->actionAdd, ID_VCOM_ADD},
        {ui_->actionDelete, ID_VCOM_DELETE},     {ui_->actionStart, ID_VCOM_START},
        {ui_->actionStop, ID_VCOM_STOP},         {ui_->actionApply, ID_VCOM_APPLY},
        {ui_->actionProperty, ID_VCOM_PROPERTY}, {ui_->actionAbout, ID_HELP_ABOUT},
    };
    for (const auto& [action, id] : actions) {
        action->setData(id);
        connect(action, &QAction::triggered, this, [this, id = id] { OnCommand(id); });
    }
}

void MainWindow::BuildListMenu()
{
    listMenu_ = new QMenu(this);
    for (QAction* action : {ui_->actionStart, ui_->actionStop, ui_->actionProperty, ui_->actionDelete})
        listMenu_->addAction(action);
    listMenu_->addSeparator();
    copyPath_ = listMenu_->addAction(QStringLiteral("Copy device path"));
    copyPath_->setData(ID_VCOM_COPYPATH);
    connect(copyPath_, &QAction::triggered, this, [this] { OnCommand(ID_VCOM_COPYPATH); });
    ui_->portList->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui_->portList, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        // A right click on a row acts on that row, as in any file manager.
        if (QTreeWidgetItem* item = ui_->portList->itemAt(at); item && !item->isSelected()) {
            ui_->portList->clearSelection();
            item->setSelected(true);
        }
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
                       ui_->actionProperty, copyPath_})
        a->setEnabled(any);
}

void MainWindow::OnCommand(int id)
{
    if (id == IDM_ABOUTBOX) {
        OnSysCommand(id);
        return;
    }
    for (const Route& r : kCommandTable) {
        if (r.id == id) {
            if (r.handler)
                (this->*r.handler)();
            return;
        }
    }
}

void MainWindow::PostCommand(int id)
{
    QMetaObject::invokeMethod(this, [this, id] { OnCommand(id); }, Qt::QueuedConnection);
}

void MainWindow::PostPortStateMessage(PortRecord* record, int32_t state)
{
    // Called on a bridge thread: hand over to the user-interface thread, in
    // posting order. A call queued after the window is gone is dropped.
    QMetaObject::invokeMethod(this, [this, record, state] { OnPortState(record, state); },
                              Qt::QueuedConnection);
}

int MainWindow::OnPortState(PortRecord* record, int32_t)
{
    RefreshPortRows(ui_->portList, record);
    return 1;
}

void MainWindow::OnSysCommand(int command)
{
    if ((command & 0xFFF0) == IDM_ABOUTBOX) {
        OnAbout();
    } else if (command == kSysCommandClose) {
        SendToTray();
    }
}

void MainWindow::SendToTray()
{
    // Without a tray host a hidden window could never come back.
    if (tray_.Enabled() && !tray_.Hidden())
        TrayIcon::MoveWindowToTray(this, false);
    showMinimized();
    if (tray_.Enabled() && !tray_.Hidden())
        hide();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (destroyed_) {
        event->accept();
        return;
    }
    event->ignore();
    OnSysCommand(kSysCommandClose);
}

void MainWindow::keyPressEvent(QKeyEvent* event)
{
    // One stray key must not end every bridge: Esc does what the close box
    // does, Enter what a double click does; "Exit" ends the program.
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (!ui_->portList->selectedItems().isEmpty())
            OnProperty();
        return;
    case Qt::Key_Escape:
        OnSysCommand(kSysCommandClose);
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
            OnListKeyDown(key->key());
            return true;
        }
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter || key->key() == Qt::Key_Escape) {
            keyPressEvent(key);
            return true;
        }
    }
    if (watched == ui_->portList->viewport() && event->type() == QEvent::MouseButtonDblClick) {
        OnListDblClk();
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::OnListKeyDown(int key)
{
    if (key == Qt::Key_Delete)
        OnDelete();
}

void MainWindow::OnListDblClk() { OnProperty(); }

void MainWindow::OnAbout()
{
    AboutDialog about(this);
    Seam().RunModal(&about);
}

void MainWindow::OnShowMainWindow() { TrayIcon::BringWindowFromTray(this, false); }

void MainWindow::OnTrayToggle()
{
    if (isMinimized() || !isVisible())
        OnShowMainWindow();
    else
        SendToTray();
}

void MainWindow::OnUninstall() { commands_.Uninstall(); }

void MainWindow::OnCopyDevicePath()
{
    const QList<QTreeWidgetItem*> rows = ui_->portList->selectedItems();
    if (!rows.isEmpty())
        QGuiApplication::clipboard()->setText(rows.front()->toolTip(0));
}

void MainWindow::OnExit()
{
    OnDestroy();
    emit ended();
}

void MainWindow::OnSignalExit()
{
    unattended_ = true;
    OnExit();
}

bool MainWindow::OnInitDialog()
{
    // Without a readable file the flags stay off and the text empty.
    LoadOptions(options_, programDir_.c_str());
    InitPortTable(this);
    // The columns share the list's width, and the list fills the window,
    // which is not laid out before it is first shown.
    ui_->portList->resize(width(), ui_->portList->height());
    InitPortColumns(ui_->portList);
    resize(width() + kInformationExtraWidth, height());
    OpenPairSetup(programDir_);
    DiscoverPorts(ui_->portList, options_.optionsText.c_str(), options_.settings.startup != 0);
    for (const PortRecord& r : PortTable)
        if (r.number != -1)
            PortChanged(r);
    DM_Init(0, 0);
    tray_.Create(this, QStringLiteral(IDS_TRAY_TOOLTIP), windowIcon(), IDR_TRAYMENU);
    tray_.SetNotifyTarget(this);
    if (options_.settings.autoRun)
        SendToTray();
    else
        show();
    return true;
}

void MainWindow::OnDestroy()
{
    if (destroyed_)
        return;
    destroyed_ = true;
    commands_.MarkEnded();
    // Every bridge is asked first, so that pauses they cannot cut short
    // run side by side rather than one after another.
    for (PortRecord& r : PortTable) {
        if (r.number != -1 && r.stopEvent)
            r.stopEvent->Signal();
    }
    for (PortRecord& r : PortTable) {
        if (r.number == -1)
            continue;
        StopBridge(&r);
        delete ui_->portList->topLevelItem(0);
    }
    // A bridge that outlived its stop must end before its pair goes away.
    JoinAllBridges();
    DM_DeInit();
    if (!SaveOptions(options_, OptionsPath(programDir_).c_str(), false)) {
        // A box that nobody answers (a service stop, a headless run) would
        // keep the program from ending at all.
        if (unattended_)
            LogNote("%s\n", kMsgSaveFail);
        else
            Seam().MessageBox(this, QString::fromLatin1(kMsgSaveFail));
    }
    ClosePairSetup();
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

void MainWindow::OnAdd() { commands_.Add(); }
void MainWindow::OnDelete() { commands_.Delete(Selection()); }
void MainWindow::OnStart() { commands_.Start(Selection()); }
void MainWindow::OnStop() { commands_.Stop(Selection()); }
void MainWindow::OnApply() { commands_.Apply(Selection()); }
void MainWindow::OnProperty() { commands_.Property(Selection()); }
void MainWindow::OnOption() { commands_.Option(); }
void MainWindow::ExportPorts() { commands_.Export(); }
void MainWindow::ImportPorts() { commands_.Import(); }

void MainWindow::OnTools()
{
    RepairDialog dlg(this, [this](const QString& text) { Seam().MessageBox(this, text); });
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
    for (const std::string& n : SerialCommNames())
        names << QString::fromStdString(n);
    PortDialog dialog(this, *settings, record, names, LookUpDevice,
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
        if (record.name[0])
            SetRowDevicePath(list->topLevelItem(i), PairDevicePath(record.name).c_str());
    }
}
