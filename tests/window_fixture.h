// Widget tests of the main window's commands that reach beyond its folder:
// file dialogs that wander off to other folders, and the configuration home
// where the autostart entry goes.
#pragma once

#include <gtest/gtest.h>

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "ports/add_redi_dialog.h"
#include "shell/main_window.h"
#include "ui_test_support.h"

namespace test_window {

namespace fs = std::filesystem;

// Counts the file dialogs and, like a real one, may leave the process in
// the folder it browsed.
class FileDialogSeam : public uitest::RecordingSeam {
public:
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

    int saveAsks = 0, openAsks = 0;
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

// Program directories and the configuration home under one root folder of
// the test's own.
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

    uitest::TempFolder folder_;
    fs::path root_;
    FileDialogSeam seam_;
    std::unique_ptr<CPontuDlg> dlg_;

private:
    std::string oldCwd_;
    std::optional<std::string> oldXdg_;
};

}  // namespace test_window
