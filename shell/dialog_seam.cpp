#include "shell/dialog_seam.h"

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>

#include "res/resource.h"

namespace {
DialogSeam g_real;
DialogSeam* g_current = &g_real;
}  // namespace

DialogSeam& Seam() { return *g_current; }

void SetDialogSeam(DialogSeam* seam) { g_current = seam ? seam : &g_real; }

void DialogSeam::MessageBox(QWidget* parent, const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(IDS_APP_NAME), text, QMessageBox::Ok,
                    parent);
    box.exec();
}

bool DialogSeam::Question(QWidget* parent, const QString& text)
{
    QMessageBox box(QMessageBox::Question, QString::fromLatin1(IDS_APP_NAME), text,
                    QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

int DialogSeam::RunModal(QDialog* dialog) { return dialog->exec(); }

QString DialogSeam::GetSaveFileName(QWidget* parent, const QString& caption, const QString& filter)
{
    // Qt's own dialog asks before overwriting an existing file.
    return QFileDialog::getSaveFileName(parent, caption, QString(), filter);
}

QString DialogSeam::GetOpenFileName(QWidget* parent, const QString& caption, const QString& filter)
{
    return QFileDialog::getOpenFileName(parent, caption, QString(), filter);
}

void DialogSeam::BeginWaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }

void DialogSeam::EndWaitCursor() { QApplication::restoreOverrideCursor(); }

void DialogSeam::ProcessEvents() { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); }
