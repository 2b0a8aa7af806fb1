#include "config/option_dialog.h"

#include "ui_option_dialog.h"

OptionDialog::OptionDialog(int32_t addNew, int32_t startup, int32_t detectDsr, int32_t autoRun,
                       QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::OptionDialog>())
{
    flags_.addNew = addNew;
    flags_.startup = startup;
    flags_.detectDsr = detectDsr;
    flags_.autoRun = autoRun;
    ui_->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    connect(ui_->okButton, &QPushButton::clicked, this, &OptionDialog::OnOK);
    DoDataExchange(false);
}

OptionDialog::~OptionDialog() = default;

void OptionDialog::DoDataExchange(bool save)
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

void OptionDialog::OnOK()
{
    DoDataExchange(true);
    accept();
}
