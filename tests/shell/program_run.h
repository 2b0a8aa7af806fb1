// The built program started in a folder of its own, as a user would: from
// another directory, on a machine without a display, its standard error kept.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <vector>

#include "../net_helpers.h"
#include "../test_folder.h"

namespace uitest {

inline bool IsLink(const std::string& path)
{
    struct stat st{};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// One start of the program in a folder of its own: started, watched for a
// while, ended with SIGTERM.
class ProgramRun {
public:
    ProgramRun()
    {
        std::filesystem::copy_file(VR_EXECUTABLE, folder_.File("velkaro_redi"));
        mkdir(logs_.File("runtime").c_str(), 0700);
    }
    ~ProgramRun()
    {
        if (pid_ > 0 && kill(pid_, SIGKILL) == 0)
            waitpid(pid_, nullptr, 0);
    }
    const TempFolder& Folder() const { return folder_; }
    std::string Stderr() const { return logs_.Read("stderr.txt"); }

    void Start()
    {
        const std::string exe = folder_.File("velkaro_redi"), err = logs_.File("stderr.txt");
        ASSERT_GE(pid_ = fork(), 0);
        if (pid_ == 0) {
            int null = open("/dev/null", O_WRONLY), errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (chdir("/") != 0 || dup2(null, STDOUT_FILENO) < 0 || dup2(errFd, STDERR_FILENO) < 0)
                _exit(126);
            setenv("XDG_RUNTIME_DIR", logs_.File("runtime").c_str(), 1);  // private, as Qt wants it
            // A machine without a display: the program must see to it itself.
            for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
                unsetenv(name);
            execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    // Up: the pair layer has made its lock and the given links, and the
    // process is still there a moment later.
    bool WaitUp(const std::vector<std::string>& links, int ms = 10000)
    {
        for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
             Alive() && std::chrono::steady_clock::now() < end;) {
            bool ready = std::filesystem::exists(folder_.File("pairs.lock"));
            for (const std::string& l : links)
                ready = ready && IsLink(folder_.File("dev/" + l));
            std::this_thread::sleep_for(std::chrono::milliseconds(ready ? 300 : 20));
            if (ready)
                return Alive();
        }
        return false;
    }
    bool Alive()  // reaps it once it has ended, keeping its status
    {
        if (pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_)
            pid_ = -1;
        return pid_ > 0;
    }
    // SIGTERM, then the exit status; -1 when it did not end in time.
    int Stop(int ms = 10000)
    {
        if (Alive())
            kill(pid_, SIGTERM);
        testnet::Within(ms, [this] { return !Alive(); });
        return Alive() ? -1 : WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
    }

private:
    TempFolder folder_, logs_;
    pid_t pid_ = -1;
    int status_ = -1;
};

// A connection to a port a program may still be opening.
inline int ConnectWithin(uint16_t port, int ms)
{
    int s = -1;
    testnet::Within(ms, [&] { return (s = testnet::ConnectTo(port)) >= 0; });
    return s;
}

}  // namespace uitest
