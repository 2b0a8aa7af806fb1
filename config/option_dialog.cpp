// The Option command: start-up flags and logon autorun.
#include "config/option_dialog.h"

#include "config/autorun.h"
#include "shell/dialog_seam.h"
#include "shell/main_window.h"
#include "ui_option_dialog.h"

COptionDlg::COptionDlg(int32_t addNew, int32_t startup, int32_t detectDsr, int32_t autoRun,
                       QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::COptionDlg>())
{
    flags_.addNew = addNew;
    flags_.startup = startup;
    flags_.detectDsr = detectDsr;
    flags_.autoRun = autoRun;
    ui_->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    connect(ui_->okButton, &QPushButton::clicked, this, &COptionDlg::OnOK);
    DoDataExchange(false);
}

COptionDlg::~COptionDlg() = default;

void COptionDlg::DoDataExchange(bool save)
{
    struct Binding {
        QCheckBox* box;
        int32_t* flag;
    };
    const Binding bindings[] = {
        {ui_->startupCheck, &flags_.startup},
        {ui_->addNewCheck, &flags_.addNew},
        {ui_->autoRunCheck, &flags_.autoRun},
    };
    for (const Binding& b : bindings) {
        if (save)
            *b.flag = b.box->isChecked() ? 1 : 0;
        else
            b.box->setChecked(*b.flag != 0);
    }
}

void COptionDlg::OnOK()
{
    DoDataExchange(true);
    accept();
}

void CPontuDlg::OnOption()
{
    // The file wins over memory; without a file the flags stay as they are.
    LoadOptionsIn(options_, programDir_.c_str());
    StartupSettings& s = options_.settings;
    COptionDlg dlg(s.addNew, s.startup, s.detectDsr, s.autoRun, this);
    if (Seam().RunModal(&dlg) != QDialog::Accepted)
        return;
    s = dlg.Flags();
    // Brought into line at every OK, whether or not the flag changed.
    SetLogonAutorun(s.autoRun != 0);
    // With the startup flag on, this save starts every port's bridge. A
    // failed save is said: the choice would not survive a restart.
    SaveOptionsOrSay();
}
