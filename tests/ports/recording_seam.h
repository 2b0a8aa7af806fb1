// A dialog seam for widget tests: records every message, answers every modal
// run through a callback, and counts the wait cursor and the event passes.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <vector>

#include "shell/dialog_seam.h"

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
        return onModal ? onModal(dialog) : QDialog::Rejected;
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
    std::function<int(QDialog*)> onModal;  // nullptr: every dialog is cancelled
    std::function<void()> onWaitCursor;
    int modalRuns = 0;
    int cursorShown = 0;
    int cursorDepth = 0;
    int eventPasses = 0;
};
