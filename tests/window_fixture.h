// Widget tests of the main window's commands: a seam that answers every
// dialog by itself, and a program directory of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <QDialog>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ports/add_redi_dialog.h"
#include "shell/dialog_seam.h"
#include "shell/main_window.h"

namespace test_window {

namespace fs = std::filesystem;

class ScriptedSeam : public DialogSeam {
public:
    void MessageBox(QWidget*, const QString& text) override { messages.push_back(text.toStdString()); }
    // The script acts on the dialog as a person would (ticks boxes, presses
    // buttons); whatever the dialog's buttons did decides the result.
    int RunModal(QDialog* dialog) override
    {
        ++modalRuns;
        dialog->setResult(QDialog::Rejected);
        if (onModal)
            onModal(dialog);
        return dialog->result();
    }
    QString GetSaveFileName(QWidget*, const QString&, const QString&) override
    {
        ++saveAsks;
        Wander();
        return saveName;
    }
    QString GetOpenFileName(QWidget*, const QString&, const QString&) override
    {
        ++openAsks;
        Wander();
        return openName;
    }
    void BeginWaitCursor() override {}
    void EndWaitCursor() override {}

    std::vector<std::string> messages;
    std::function<void(QDialog*)> onModal;
    int modalRuns = 0;
    QString saveName, openName;
    int saveAsks = 0, openAsks = 0;
    // A file dialog may leave the process in the folder it browsed.
    std::string wanderTo;

private:
    void Wander()
    {
        if (!wanderTo.empty()) {
            EXPECT_EQ(chdir(wanderTo.c_str()), 0);
        }
    }
};

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
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
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

// Each test has a root folder of its own with program directories in it
// and the configuration home; the seam answers every dialog.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        oldCwd_ = CurrentDirectory();
        const char* xdg = getenv("XDG_CONFIG_HOME");
        if (xdg)
            oldXdg_ = xdg;
        char tmpl[] = "/tmp/vr_window_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
        SetDialogSeam(&seam_);
        CAddREdiDlg::ResetLastUsed();
    }
    void TearDown() override
    {
        Close();
        SetDialogSeam(nullptr);
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
        fs::remove_all(root_);
    }

    // A program directory under the root, made when missing.
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

    fs::path root_;
    ScriptedSeam seam_;
    std::unique_ptr<CPontuDlg> dlg_;

private:
    std::string oldCwd_;
    std::optional<std::string> oldXdg_;
};

}  // namespace test_window
