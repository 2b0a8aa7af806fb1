#include "shell/about_dialog.h"

#include "config/version.h"
#include "ui_about_dialog.h"

#include <QLabel>

AboutDialog::AboutDialog(QWidget* parent, const QString& backendNote) : QDialog(parent), ui_(std::make_unique<Ui::AboutDialog>())
{
    ui_->setupUi(this);
    // The same text as --version; the trailing blank is the line's own.
    ui_->versionLine->setText(QString::fromUtf8(kVersionText) + u' ');
    if (!backendNote.isEmpty())
        ui_->textLayout->addWidget(new QLabel(backendNote, this));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
}

AboutDialog::~AboutDialog() = default;
