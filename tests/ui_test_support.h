// Shared by the widget tests: a dialog seam that answers by itself, and a
// main window on a program folder of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QString>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ports/add_redi_dialog.h"
#include "shell/dialog_seam.h"
#include "shell/main_window.h"
#include "test_folder.h"

namespace uitest {

namespace fs = std::filesystem;

// Records what the program asks; a file dialog, like a real one, may leave
// the process in the folder it browsed.
class RecordingSeam : public DialogSeam {
public:
    RecordingSeam() { SetDialogSeam(this); }
    ~RecordingSeam() override { SetDialogSeam(nullptr); }
    RecordingSeam(const RecordingSeam&) = delete;
    RecordingSeam& operator=(const RecordingSeam&) = delete;

    void MessageBox(QWidget*, const QString& text) override { messages.push_back(text); }
    int RunModal(QDialog* dialog) override
    {
        modals.push_back(QString::fromLatin1(dialog->metaObject()->className()));
        return onModal ? onModal(dialog) : QDialog::Rejected;
    }
    QString GetSaveFileName(QWidget*, const QString&, const QString&) override { return Ask("save", saveName); }
    QString GetOpenFileName(QWidget*, const QString&, const QString&) override { return Ask("open", openName); }
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
    // The script acts on the dialog as a person would; what its buttons did
    // decides the result.
    void Script(std::function<void(QDialog*)> script)
    {
        onModal = [script = std::move(script)](QDialog* d) {
            d->setResult(QDialog::Rejected);
            script(d);
            return d->result();
        };
    }
    long Asked(const char* kind) const
    {
        return std::count(fileDialogs.begin(), fileDialogs.end(), QString::fromLatin1(kind));
    }

    std::vector<QString> messages;
    std::vector<QString> modals;           // class names of the dialogs run
    std::vector<QString> fileDialogs;      // "save" or "open", in order
    std::function<int(QDialog*)> onModal;  // nullptr: every dialog is cancelled
    std::function<void()> onWaitCursor;
    QString saveName;                      // what the file dialogs answer
    QString openName;
    std::string wanderTo;                  // where a file dialog leaves the process
    int cursorShown = 0;
    int cursorDepth = 0;
    int eventPasses = 0;

private:
    QString Ask(const char* kind, const QString& answer)
    {
        fileDialogs.push_back(QString::fromLatin1(kind));
        if (!wanderTo.empty()) {
            EXPECT_EQ(chdir(wanderTo.c_str()), 0);
        }
        return answer;
    }
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

// A control of a dialog by its name in the form; fails the test when missing.
template <class W>
W* Child(QObject& parent, const char* name)
{
    W* w = parent.findChild<W*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << "no control " << name;
    return w;
}

inline std::string ReadFile(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const fs::path& p, const std::string& bytes)
{
    std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string CurrentDirectory()
{
    char buf[PATH_MAX];
    return getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}

// Program directories and the configuration home under one root folder of
// the test's own; the current directory and XDG_CONFIG_HOME come back after.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        oldCwd_ = CurrentDirectory();
        if (const char* xdg = getenv("XDG_CONFIG_HOME"))
            oldXdg_ = xdg;
        root_ = folder_.Path();
        setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
        CAddREdiDlg::ResetLastUsed();
    }
    void TearDown() override
    {
        Close();
        CAddREdiDlg::ResetLastUsed();
        if (oldXdg_)
            setenv("XDG_CONFIG_HOME", oldXdg_->c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        // Out of the folder about to go; an earlier test may have left the
        // process in a folder that is gone already.
        if (oldCwd_.empty() || chdir(oldCwd_.c_str()) != 0) {
            EXPECT_EQ(chdir("/"), 0);
        }
    }

    fs::path ProgramDir(const std::string& name = "prog")
    {
        fs::path dir = root_ / name;
        fs::create_directories(dir);
        return dir;
    }

    // Starts the main window on a program directory, as the program does.
    CPontuDlg& Open(const fs::path& dir)
    {
        Close();
        dlg_ = std::make_unique<CPontuDlg>(dir.string());
        dlg_->OnInitDialog();
        return *dlg_;
    }
    void Close()
    {
        if (dlg_) {
            dlg_->OnDestroy();
            dlg_.reset();
        }
    }

    TempFolder folder_;
    fs::path root_;
    RecordingSeam seam_;  // outlives the window
    std::unique_ptr<CPontuDlg> dlg_;

private:
    std::string oldCwd_;
    std::optional<std::string> oldXdg_;
};

}  // namespace uitest
