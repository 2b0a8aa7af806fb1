// Shared by the widget tests: a dialog seam that answers by itself, and a
// temporary program folder.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QString>
#include <functional>
#include <string>
#include <vector>

#include "shell/dialog_seam.h"
#include "test_folder.h"

namespace uitest {

class RecordingSeam : public DialogSeam {
public:
    RecordingSeam() { SetDialogSeam(this); }
    ~RecordingSeam() override { SetDialogSeam(nullptr); }
    RecordingSeam(const RecordingSeam&) = delete;
    RecordingSeam& operator=(const RecordingSeam&) = delete;

    void MessageBox(QWidget*, const QString& text) override { messages.push_back(text); }
    int RunModal(QDialog* dialog) override
    {
        ++modalRuns;
        modals.push_back(QString::fromLatin1(dialog->metaObject()->className()));
        return onModal ? onModal(dialog) : QDialog::Rejected;
    }
    QString GetSaveFileName(QWidget*, const QString&, const QString&) override
    {
        fileDialogs.push_back(QStringLiteral("save"));
        return saveName;
    }
    QString GetOpenFileName(QWidget*, const QString&, const QString&) override
    {
        fileDialogs.push_back(QStringLiteral("open"));
        return openName;
    }
    void BeginWaitCursor() override
    {
        ++cursorShown;
        ++cursorDepth;
        if (onWaitCursor)
            onWaitCursor();
    }
    void EndWaitCursor() override { --cursorDepth; }
    void ProcessEvents() override
    {
        ++eventPasses;
        DialogSeam::ProcessEvents();
    }

    std::vector<QString> messages;
    std::vector<QString> modals;           // class names of the dialogs run
    std::vector<QString> fileDialogs;      // "save" or "open", in order
    std::function<int(QDialog*)> onModal;  // nullptr: every dialog is cancelled
    std::function<void()> onWaitCursor;
    QString saveName;                      // what the file dialogs answer
    QString openName;
    int modalRuns = 0;
    int cursorShown = 0;
    int cursorDepth = 0;
    int eventPasses = 0;
};

// Lets queued calls run until the condition holds or the time is up.
inline bool ProcessUntil(const std::function<bool()>& done, int timeoutMs = 5000)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

}  // namespace uitest
