#include "shell/control_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <chrono>
#include <cstring>

#include "engine/diagnostics.h"
#include "engine/seconds_clock.h"
#include "shell/command_line.h"
#include "shell/main_window.h"

namespace {

constexpr size_t kRequestMax = 64 * 1024;
constexpr int kRequestWaitMs = 2000;

// The client's arguments, each ended by a zero byte, up to its shutdown.
bool ReadRequest(int fd, std::vector<std::string>* args)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestWaitMs);
    std::string data;
    for (;;) {
        if (!WaitReady(fd, POLLIN, end))
            return false;
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0)
            break;
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        data.append(buf, n > 0 ? static_cast<size_t>(n) : 0);
        if (data.size() > kRequestMax)
            return false;
    }
    if (data.empty() || data.back() != '\0')
        return false;
    for (size_t at = 0; at < data.size();) {
        size_t zero = data.find('\0', at);
        args->push_back(data.substr(at, zero - at));
        at = zero + 1;
    }
    return true;
}

void SendAll(int fd, const std::string& text)
{
    for (size_t sent = 0; sent < text.size();) {
        ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0 && errno != EINTR)
            return;  // the client is gone or stuck past the send time-out
        sent += n > 0 ? static_cast<size_t>(n) : 0;
    }
}

}  // namespace

bool WaitReady(int fd, short events, std::chrono::steady_clock::time_point end)
{
    for (;;) {
        pollfd p{fd, events, 0};
        int n = poll(&p, 1, MsUntil(end));
        if (n > 0)
            return true;
        if (n == 0 || errno != EINTR)
            return false;
    }
}

bool PeerIsOwnUser(int fd, uid_t* uid)
{
    ucred cred{};
    socklen_t len = sizeof cred;
    const bool known = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0;
    *uid = cred.uid;
    return known && cred.uid == geteuid();
}

sockaddr_un ControlAddress(const std::string& dir, bool* relative)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::string path = dir + "/" + kControlSocketName;
    *relative = path.size() >= sizeof a.sun_path;
    if (*relative)
        path = kControlSocketName;
    memcpy(a.sun_path, path.c_str(), path.size() + 1);
    return a;
}

ControlSocket::ControlSocket(MainWindow& window, std::string dir) : window_(window), dir_(std::move(dir))
{
    bool relative = false;
    sockaddr_un a = ControlAddress(dir_, &relative);
    // A bare name holds in the program's folder, its working directory.
    char cwd[4096];
    if (relative && (!getcwd(cwd, sizeof cwd) || dir_ != cwd)) {
        LogNote("No control socket: the folder's path %s is too long\n", dir_.c_str());
        return;
    }
    // Only the folder's owner listens here: a socket left behind is stale.
    unlink(a.sun_path);
    UniqueFd s(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    mode_t mask = umask(0177);
    bool bound = s.IsValid() && bind(s.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    umask(mask);
    if (!bound || chmod(a.sun_path, 0600) != 0 || listen(s.Get(), 8) != 0) {
        LogNote("No control socket %s/%s: %s\n", dir_.c_str(), kControlSocketName, strerror(errno));
        if (bound)
            unlink(a.sun_path);
        return;
    }
    path_ = dir_ + "/" + kControlSocketName;
    listen_ = std::move(s);
    notifier_ = std::make_unique<QSocketNotifier>(listen_.Get(), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] { Serve(); });
}

ControlSocket::~ControlSocket()
{
    notifier_.reset();
    if (listen_.IsValid())
        unlink(path_.c_str());
}

void ControlSocket::Serve()
{
    UniqueFd c(accept4(listen_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!c.IsValid())
        return;
    uid_t uid = 0;
    if (!PeerIsOwnUser(c.Get(), &uid)) {
        LogNote("Control socket: refused a client of user %u\n", static_cast<unsigned>(uid));
        return;
    }
    std::vector<std::string> args;
    if (!ReadRequest(c.Get(), &args))
        return;
    // A client that stops reading never holds the program.
    timeval limit{2, 0};
    setsockopt(c.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    SendAll(c.Get(), "+");

    CommandRequest request;
    std::string out, err;
    int rc = kExitFailed;
    if (!ParseCommandLine(args, &request, &err)) {
        rc = kExitUsage;
    } else if (window_.HasEnded()) {
        err = "the program is ending";
    } else if (busy_ || QApplication::activeModalWidget() || QApplication::overrideCursor()) {
        // A dialog or a wait of the window holds ports the command might change.
        err = "the program's window is busy with a dialog or a command; try again when it is done";
    } else {
        busy_ = true;
        CommandPlace place{dir_, &window_.Options(), &window_.ListView(), true,
                           [] {
                               // The port states come in; the next command
                               // and a signal wait until this one is done.
                               QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                                               QEventLoop::ExcludeSocketNotifiers);
                           },
                           [this] { return window_.HasEnded(); }};
        rc = CarryOut(request, place, &out, &err);
        busy_ = false;
    }
    SendAll(c.Get(), std::to_string(rc) + "\n" + (rc == 0 ? out : err));
}
