#include "shell/about_dialog.h"

#include "config/version.h"
#include "ui_about_dialog.h"

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::AboutDialog>())
{
    ui_->setupUi(this);
    // The same text as --version; the trailing blank is the line's own.
    ui_->versionLine->setText(QString::fromUtf8(kVersionText) + u' ');
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
}

AboutDialog::~AboutDialog() = default;
