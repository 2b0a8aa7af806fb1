// Everything that would stop and wait for a person goes through here: message
// boxes, modal dialogs, file dialogs, the wait cursor. The program uses the
// real ones; tests install a seam that answers by itself.
#pragma once

#include <QString>

class QDialog;
class QWidget;

class DialogSeam {
public:
    virtual ~DialogSeam() = default;
    // A message box with an OK button only and the application's name as title.
    virtual void MessageBox(QWidget* parent, const QString& text);
    // A question with Yes and No buttons; true for Yes.
    virtual bool Question(QWidget* parent, const QString& text);
    // Runs the dialog modally; gives QDialog::Accepted or Rejected.
    virtual int RunModal(QDialog* dialog);
    // Empty when the person cancelled.
    virtual QString GetSaveFileName(QWidget* parent, const QString& caption, const QString& filter);
    virtual QString GetOpenFileName(QWidget* parent, const QString& caption, const QString& filter);
    virtual void BeginWaitCursor();
    virtual void EndWaitCursor();
    // Keeps the window painting during a wait on the user-interface thread.
    virtual void ProcessEvents();
};

// The seam in use; never null. Set nullptr to return to the real one.
DialogSeam& Seam();
void SetDialogSeam(DialogSeam* seam);
