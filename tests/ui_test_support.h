// Shared by the widget tests: a dialog seam that answers by itself.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <vector>

#include "shell/dialog_seam.h"
#include "test_folder.h"

namespace uitest {

// Records what the program asks; every dialog is cancelled but a save
// dialog given an answer.
class RecordingSeam : public DialogSeam {
public:
    RecordingSeam() { SetDialogSeam(this); }
    ~RecordingSeam() override { SetDialogSeam(nullptr); }
    RecordingSeam(const RecordingSeam&) = delete;
    RecordingSeam& operator=(const RecordingSeam&) = delete;

    void MessageBox(QWidget*, const QString& text) override { messages.push_back(text); }
    bool Question(QWidget*, const QString& text) override
    {
        messages.push_back("?" + text);
        return yes;
    }
    int RunModal(QDialog* dialog) override
    {
        modals.push_back(QString::fromLatin1(dialog->metaObject()->className()));
        return QDialog::Rejected;
    }
    QString GetSaveFileName(QWidget*, const QString&, const QString&) override { return fileDialogs.push_back("save"), saveAnswer; }
    QString GetOpenFileName(QWidget*, const QString&, const QString&) override { return fileDialogs.push_back("open"), ""; }
    void BeginWaitCursor() override {}
    void EndWaitCursor() override {}

    std::vector<QString> messages;    // questions start with "?"
    std::vector<QString> modals;      // class names of the dialogs run
    std::vector<QString> fileDialogs;  // "save" or "open", in order
    bool yes = true;
    QString saveAnswer;  // a save dialog's answer; empty: cancelled
};

}  // namespace uitest
