#include "shell/control_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <vector>

#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "engine/diagnostics.h"
#include "engine/seconds_clock.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kUnknownStatus = -1;  // an answer that does not start with "+"

constexpr size_t kRequestMax = 64 * 1024;
constexpr int kClientWaitMs = 2000;  // for the whole request, and for the answer to be read
constexpr size_t kClientsMax = 64;
constexpr int kFollowMs = 100;  // how often a following client gets what came

// Waits until fd shows one of the events or the time is up. True when it is ready.
bool WaitReady(int fd, short events, Clock::time_point end)
{
    pollfd p{fd, events, 0};
    return PollUntil(&p, 1, end) > 0;
}

// Whether the other end of a connected control socket is this process's own
// user; *uid tells who it is. Both ends refuse anyone else.
bool PeerIsOwnUser(int fd, uid_t* uid)
{
    ucred cred{};
    socklen_t len = sizeof cred;
    const bool known = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0;
    *uid = cred.uid;
    return known && cred.uid == geteuid();
}

// Whether the peer belongs to group, as its primary or a supplementary group.
bool PeerInGroup(int fd, gid_t group)
{
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.gid == group)
        return true;
    std::vector<gid_t> groups(256);
    len = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len) != 0)
        return false;
    groups.resize(len / sizeof(gid_t));
    for (gid_t g : groups)
        if (g == group)
            return true;
    return false;
}

// The socket's address for a folder. A path too long for an address gives
// the bare name (*relative true), which holds in the folder only.
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

std::string FormatRequest(const std::vector<std::string>& args)
{
    std::string request;
    for (const std::string& arg : args)
        request.append(arg).push_back('\0');
    return request;
}

// The arguments of a whole request; false when it is not one.
bool ParseRequest(const std::string& data, std::vector<std::string>* args)
{
    if (data.empty() || data.back() != '\0')
        return false;
    for (size_t at = 0; at < data.size();) {
        size_t zero = data.find('\0', at);
        args->push_back(data.substr(at, zero - at));
        at = zero + 1;
    }
    return true;
}

std::string FormatAnswer(const ControlAnswer& a) { return std::to_string(a.status) + "\n" + a.text; }

// "+", then the status line and the text; false while incomplete.
bool ParseAnswer(const std::string& data, ControlAnswer* a)
{
    size_t eol = data.find('\n');
    if (data.size() < 2 || data[0] != '+' || eol == std::string::npos)
        return false;
    a->status = atoi(data.c_str() + 1);
    a->text = data.substr(eol + 1);
    return true;
}

bool SendRequest(int fd, const std::string& request, Clock::time_point end)
{
    for (size_t sent = 0; sent < request.size();) {
        if (!WaitReady(fd, POLLOUT, end))
            return false;
        ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        sent += n > 0 ? static_cast<size_t>(n) : 0;
    }
    return shutdown(fd, SHUT_WR) == 0;
}

// Reads until the program closes; gives false when the end passed first.
// The end moves to `answered` past the first byte.
bool ReadAnswer(int fd, Clock::time_point end, std::chrono::milliseconds answered, std::string* data)
{
    for (;;) {
        if (!WaitReady(fd, POLLIN, data->empty() ? end : Clock::now() + answered)) {
            // A "+" that came just as the time ran out still counts.
            char c;
            if (data->empty() && recv(fd, &c, 1, MSG_DONTWAIT) == 1)
                data->push_back(c);
            return false;
        }
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n == 0)
            return true;
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        data->append(buf, n > 0 ? static_cast<size_t>(n) : 0);
    }
}

// The program's control socket connected in *s; kAnswered when it is the
// program's own, else why not.
Asked Reach(const std::string& dir, UniqueFd* s, ControlAnswer* answer)
{
    bool relative = false;
    sockaddr_un a = ControlAddress(dir, &relative);
    if (relative && chdir(dir.c_str()) != 0)
        return Asked::kNobody;
    s->Reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (connect(s->Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (errno != EACCES && errno != EPERM)
            return errno == EAGAIN ? Asked::kSilent : Asked::kNobody;
        answer->text = "the running program's control socket in " + dir + " belongs to another user";
        return Asked::kRefused;
    }
    // A socket of another user is not the program's: never tell it anything.
    uid_t uid = 0;
    if (!PeerIsOwnUser(s->Get(), &uid) && uid != 0) {
        answer->text = "the control socket in " + dir + " is served by another user";
        return Asked::kRefused;
    }
    return Asked::kAnswered;
}

// The status line of an answer in head, once it is whole; the text after
// it moves to *rest. False while it is not whole.
bool TakeStatus(std::string* head, ControlAnswer* answer, std::string* rest)
{
    size_t eol = head->find('\n');
    if (eol == std::string::npos)
        return false;
    answer->status = (*head)[0] == '+' ? atoi(head->c_str() + 1) : kUnknownStatus;
    *rest = head->substr(eol + 1);
    return true;
}

}  // namespace

Asked AskRunningProgram(const std::string& dir, const std::vector<std::string>& args, Clock::time_point taken,
                        std::chrono::milliseconds answered, ControlAnswer* answer)
{
    UniqueFd s;
    if (Asked reached = Reach(dir, &s, answer); reached != Asked::kAnswered)
        return reached;
    // Until the program has sent "+", it runs nothing: once this end is
    // closed, its "+" fails and it drops the request.
    std::string data;
    if (!SendRequest(s.Get(), FormatRequest(args), taken) ||
        (!ReadAnswer(s.Get(), taken, answered, &data) && data.empty()))
        return data.empty() ? Asked::kSilent : Asked::kUnknown;
    return ParseAnswer(data, answer) ? Asked::kAnswered : data.empty() ? Asked::kSilent : Asked::kUnknown;
}

Asked AskAndFollow(const std::string& dir, const std::vector<std::string>& args, Clock::time_point taken,
                   const std::function<void(const std::string&)>& print, ControlAnswer* answer)
{
    UniqueFd s;
    if (Asked reached = Reach(dir, &s, answer); reached != Asked::kAnswered)
        return reached;
    if (!SendRequest(s.Get(), FormatRequest(args), taken) || !WaitReady(s.Get(), POLLIN, taken))
        return Asked::kSilent;
    std::string head, text;
    bool known = false;
    for (;;) {
        char buf[4096];
        ssize_t n = recv(s.Get(), buf, sizeof buf, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!WaitReady(s.Get(), POLLIN, kNoDeadline))
                break;
            continue;
        }
        if (n <= 0)
            break;
        if (known) {
            text.assign(buf, static_cast<size_t>(n));
        } else if (head.append(buf, static_cast<size_t>(n)), !(known = TakeStatus(&head, answer, &text))) {
            continue;
        }
        if (answer->status == 0)
            print(text);
        else
            answer->text += text;
    }
    if (!known)
        return head.empty() ? Asked::kSilent : Asked::kUnknown;
    return answer->status == kUnknownStatus ? Asked::kUnknown : Asked::kAnswered;
}

struct ControlServer::Client {
    ~Client()
    {
        if (follow)
            follow->Closed();
    }
    UniqueFd fd;
    std::string in, out;
    std::unique_ptr<QSocketNotifier> reader, writer;
    QTimer deadline;
    bool dropped = false;
    std::shared_ptr<FollowSource> follow;
    QTimer tick;  // a following client's turn for more text
};

ControlServer::ControlServer(std::string dir, Handler handler, gid_t group)
    : dir_(std::move(dir)), handler_(std::move(handler)), group_(group)
{
    bool relative = false;
    sockaddr_un a = ControlAddress(dir_, &relative);
    // A bare name holds in the program's folder, its working directory.
    char cwd[4096];
    if (relative && (!getcwd(cwd, sizeof cwd) || dir_ != cwd)) {
        LogNote("bind(%s/%s): the path is too long for a socket address; no control socket\n", dir_.c_str(),
                kControlSocketName);
        return;
    }
    // Only the folder's owner listens here: a socket left behind is stale.
    unlink(a.sun_path);
    UniqueFd s(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    mode_t mask = umask(0177);
    const char* call = "socket";
    bool bound = s.IsValid() && (call = "bind", bind(s.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0);
    umask(mask);
    const bool grouped = group_ != static_cast<gid_t>(-1);
    if (!bound || (call = "chown", grouped && chown(a.sun_path, static_cast<uid_t>(-1), group_) != 0) ||
        (call = "chmod", chmod(a.sun_path, grouped ? 0660 : 0600) != 0) ||
        (call = "listen", listen(s.Get(), 16) != 0)) {
        LogNote("%s(%s/%s): %s; no control socket\n", call, dir_.c_str(), kControlSocketName, strerror(errno));
        if (bound)
            unlink(a.sun_path);
        return;
    }
    path_ = dir_ + "/" + kControlSocketName;
    listen_ = std::move(s);
    notifier_ = std::make_unique<QSocketNotifier>(listen_.Get(), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, &context_, [this] { Accept(); });
}

ControlServer::~ControlServer()
{
    notifier_.reset();
    clients_.clear();
    if (listen_.IsValid())
        unlink(path_.c_str());
}

void ControlServer::Accept()
{
    for (;;) {
        UniqueFd fd(accept4(listen_.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd.IsValid()) {
            if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED)
                LogNote("accept(%s/%s): %s\n", dir_.c_str(), kControlSocketName, strerror(errno));
            return;
        }
        uid_t uid = 0;
        if (!PeerIsOwnUser(fd.Get(), &uid) && !(group_ != static_cast<gid_t>(-1) && PeerInGroup(fd.Get(), group_))) {
            LogNote("getsockopt(%s/%s, SO_PEERCRED): user %u is not this program's user nor of its group; refused\n",
                    dir_.c_str(), kControlSocketName, static_cast<unsigned>(uid));
            continue;
        }
        if (clients_.size() >= kClientsMax)
            continue;  // closed at once: the client tries again
        const int key = fd.Get();
        auto c = std::make_unique<Client>();
        c->fd = std::move(fd);
        c->reader = std::make_unique<QSocketNotifier>(key, QSocketNotifier::Read);
        c->writer = std::make_unique<QSocketNotifier>(key, QSocketNotifier::Write);
        c->writer->setEnabled(false);
        c->deadline.setSingleShot(true);
        Client* raw = c.get();
        QObject::connect(c->reader.get(), &QSocketNotifier::activated, &context_, [this, raw] { Read(*raw); });
        QObject::connect(c->writer.get(), &QSocketNotifier::activated, &context_, [this, raw] { Send(*raw); });
        QObject::connect(&c->deadline, &QTimer::timeout, &context_, [this, key] { Drop(key); });
        QObject::connect(&c->tick, &QTimer::timeout, &context_, [this, raw] { Follow(*raw); });
        c->deadline.start(kClientWaitMs);
        clients_[key] = std::move(c);
    }
}

void ControlServer::Read(Client& c)
{
    for (;;) {
        char buf[4096];
        ssize_t n = recv(c.fd.Get(), buf, sizeof buf, 0);
        if (n > 0) {
            c.in.append(buf, static_cast<size_t>(n));
            if (c.in.size() <= kRequestMax)
                continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;  // more to come
        break;  // the end of the request, an error, or too much
    }
    std::vector<std::string> args;
    c.reader->setEnabled(false);
    c.deadline.stop();
    if (c.in.size() > kRequestMax || !ParseRequest(c.in, &args) ||
        send(c.fd.Get(), "+", 1, MSG_NOSIGNAL) != 1) {
        Drop(c.fd.Get());
        return;
    }
    ControlAnswer answer = handler_(args);
    c.out = FormatAnswer(answer);
    c.follow = answer.status == 0 ? std::move(answer.follow) : nullptr;
    c.writer->setEnabled(true);
    c.deadline.start(kClientWaitMs);  // a client that does not read its answer is dropped
}

void ControlServer::Send(Client& c)
{
    while (!c.out.empty()) {
        ssize_t n = send(c.fd.Get(), c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;
        if (n <= 0) {
            Drop(c.fd.Get());
            return;
        }
        c.out.erase(0, static_cast<size_t>(n));
    }
    if (!c.follow) {
        Drop(c.fd.Get());
        return;
    }
    // A follower is never dropped for lagging: its source drops text instead.
    c.deadline.stop();
    c.writer->setEnabled(false);
    if (!c.tick.isActive())
        c.tick.start(kFollowMs);
}

// A following client gets what came since its last turn, unless it still
// has text to take; one that closed its end is dropped.
void ControlServer::Follow(Client& c)
{
    pollfd p{c.fd.Get(), 0, 0};
    if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR))) {
        Drop(c.fd.Get());
        return;
    }
    if (!c.out.empty())
        return;
    c.out = c.follow->TakeText();
    if (!c.out.empty())
        c.writer->setEnabled(true);
}

void ControlServer::Drop(int fd)
{
    auto it = clients_.find(fd);
    if (it == clients_.end() || it->second->dropped)
        return;
    it->second->dropped = true;
    it->second->reader->setEnabled(false);
    it->second->writer->setEnabled(false);
    it->second->deadline.stop();
    it->second->tick.stop();
    // Not here: this may run inside one of the client's own notifiers.
    QMetaObject::invokeMethod(&context_, [this, fd] { clients_.erase(fd); }, Qt::QueuedConnection);
}
