// The built program started in a folder of its own, as a user would: from
// another directory, without a display, its standard error kept.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

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
        runtime_ = logs_.File("runtime");
        mkdir(runtime_.c_str(), 0700);
    }
    ~ProgramRun()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    const TempFolder& Folder() const { return folder_; }

    void Start()
    {
        const std::string exe = folder_.File("velkaro_redi");
        const std::string err = logs_.File("stderr.txt");
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            if (chdir("/") != 0)
                _exit(126);
            int null = open("/dev/null", O_WRONLY);
            int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(null, STDOUT_FILENO);
            dup2(errFd, STDERR_FILENO);
            setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
            execl(exe.c_str(), exe.c_str(), "-platform", "offscreen", static_cast<char*>(nullptr));
            _exit(127);
        }
    }

    // Up means: the pair layer has made its lock and its links (the given
    // ones), and the process is still there a moment later.
    bool WaitUp(const std::vector<std::string>& links, int ms = 10000)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            bool ready = std::filesystem::exists(folder_.File("pairs.lock"));
            for (const std::string& l : links)
                ready = ready && IsLink(folder_.File("dev/" + l));
            if (ready) {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                return Alive();
            }
            if (!Alive())
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    bool Alive()
    {
        if (pid_ <= 0)
            return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = status;
            pid_ = -1;
            return false;
        }
        return true;
    }

    // SIGTERM, then the exit status; -1 when it did not end in time.
    int Stop(int ms = 10000)
    {
        if (pid_ <= 0)
            return status_ >= 0 && WIFEXITED(status_) ? WEXITSTATUS(status_) : -2;
        kill(pid_, SIGTERM);
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }

    std::string Stderr() const { return logs_.Read("stderr.txt"); }

private:
    TempFolder folder_;
    TempFolder logs_;
    std::string runtime_;
    pid_t pid_ = -1;
    int status_ = -1;
};

// A TCP port of the loopback address that was free a moment ago.
inline uint16_t FreeLoopbackPort()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

inline int ConnectWithin(uint16_t port, int ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
            return s;
        close(s);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
}

inline std::string ReadExactly(int fd, size_t n, int ms)
{
    std::string out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (out.size() < n && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char buf[4096];
        ssize_t r = read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (r <= 0)
            break;
        out.append(buf, static_cast<size_t>(r));
    }
    return out;
}

}  // namespace uitest
