#include "engine/resolver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <limits.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "engine/serial_side.h"
#include "engine/stop_event.h"
#include "engine/unique_fd.h"

extern char** environ;

namespace {

std::mutex g_helperMutex;
std::string g_helper;  // "" until first needed or after a reset

// Beside the running program (a build tree), else in the library-executables
// folder of the prefix it is installed under (bin/../libexec/velkaro_redi).
std::string DefaultHelper()
{
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe);
    if (n <= 0 || n >= static_cast<ssize_t>(sizeof exe))
        return kLookupHelperName;
    std::string folder(exe, static_cast<size_t>(n));
    folder.erase(folder.rfind('/') + 1);
    const std::string beside = folder + kLookupHelperName;
    return access(beside.c_str(), X_OK) == 0 ? beside : folder + "../libexec/velkaro_redi/" + kLookupHelperName;
}

std::string Helper()
{
    std::lock_guard<std::mutex> hold(g_helperMutex);
    if (g_helper.empty())
        g_helper = DefaultHelper();
    return g_helper;
}

std::string ErrorText(int rc, int err)
{
    if (rc != EAI_SYSTEM)
        return gai_strerror(rc);
    char buf[256];
    return strerror_r(err, buf, sizeof buf);
}

// One running helper. Going out of scope kills and reaps it, so a stop never
// leaves a lookup behind.
class LookupProcess {
public:
    ~LookupProcess()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            Reap();
        }
    }

    // False with *error when the helper cannot be run.
    bool Start(const std::string& helper, const std::string& host, std::string* error)
    {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            *error = ErrorText(EAI_SYSTEM, errno);
            return false;
        }
        out_ = UniqueFd(ends[0]);
        UniqueFd in(ends[1]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in.Get(), STDOUT_FILENO);
        char* argv[] = {const_cast<char*>(helper.c_str()), const_cast<char*>(host.c_str()), nullptr};
        const int rc = posix_spawn(&pid_, helper.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            pid_ = -1;
            *error = helper + ": " + ErrorText(EAI_SYSTEM, rc);
            return false;
        }
        return true;
    }

    int Fd() const { return out_.Get(); }

    // The helper has written or ended: its answer, or why there is none.
    bool Answer(in_addr* address, std::string* error)
    {
        char line[128] = {};
        ssize_t n;
        do {
            n = read(out_.Get(), line, sizeof line - 1);
        } while (n < 0 && errno == EINTR);
        const int status = Reap();
        char text[INET_ADDRSTRLEN + 1] = {};
        int rc = 0, err = 0;
        if (n > 0 && sscanf(line, "OK %16s", text) == 1 && inet_pton(AF_INET, text, address) == 1)
            return true;
        if (n > 0 && sscanf(line, "ERR %d %d", &rc, &err) == 2 && rc != 0)
            *error = ErrorText(rc, err);
        else
            *error = "the lookup helper ended without an answer (status " + std::to_string(status) + ")";
        return false;
    }

private:
    int Reap()
    {
        int status = -1;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return status;
    }

    pid_t pid_ = -1;
    UniqueFd out_;
};

}  // namespace

void SetLookupHelper(const std::string& path)
{
    std::lock_guard<std::mutex> hold(g_helperMutex);
    g_helper = path;
}

bool LookUp(const std::string& host, const StopEvent& stop, UserSideKeeper& keeper,
            in_addr* address, std::string* error)
{
    LookupProcess lookup;
    if (!lookup.Start(Helper(), host, error))
        return false;
    pollfd fds[2] = {{stop.Fd(), POLLIN, 0}, {lookup.Fd(), POLLIN, 0}};
    if (keeper.Poll(fds, 2, kNoDeadline) < 0) {
        *error = ErrorText(EAI_SYSTEM, errno);
        return false;
    }
    if (fds[0].revents) {
        error->clear();
        return false;
    }
    return lookup.Answer(address, error);
}
