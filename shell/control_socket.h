// The control socket: "control.sock" in the folder of the program's files,
// through which the command line reaches the running program, and its
// message format with both ends. Only the copy that owns the folder listens;
// only its own user may connect (mode 0600, and both ends check the other's
// credentials).
//
// The exchange: the client sends its arguments, each ended by a zero byte,
// and shuts its sending side; the program answers "+" as soon as it has the
// whole request, then, when the command is done, the exit status in decimal,
// a line feed, and the output (status 0) or the error line. A program that
// cannot send the "+" (the client has gone) drops the request unrun. An
// answer may be followed by more text (--monitor): the connection then stays
// until the client closes it or the program ends.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <QObject>

#include "engine/unique_fd.h"

class QSocketNotifier;

constexpr const char kControlSocketName[] = "control.sock";
// The request of a second start of the program: bring the window to the front.
constexpr const char kShowWindowRequest[] = "show-window";

// Text that follows an answer, made by any thread, until the client goes.
class FollowSource {
public:
    virtual ~FollowSource() = default;
    // What came since the last call; empty when nothing did.
    virtual std::string TakeText() = 0;
    // The client has gone or the program ends: no more text is wanted.
    virtual void Closed() = 0;
};

struct ControlAnswer {
    int status = 1;
    std::string text;  // the output, or the error line
    std::shared_ptr<FollowSource> follow;  // status 0 only
};

// ---- the client: the command line and a second start

enum class Asked {
    kAnswered,  // *answer holds the program's answer
    kNobody,    // no program listens in the folder
    kSilent,    // it did not take the request in time: it was not run
    kUnknown,   // it took the request but did not answer: the outcome is unknown
    kRefused,   // the socket is another user's; answer->text says so
};

// Hands the arguments to the program listening in dir. The request must be
// taken by `taken`; the answer may then take up to `answered` more.
Asked AskRunningProgram(const std::string& dir, const std::vector<std::string>& args,
                        std::chrono::steady_clock::time_point taken, std::chrono::milliseconds answered,
                        ControlAnswer* answer);
// As AskRunningProgram, for an answer that is followed by text: each piece
// of the text goes to `print` as it comes, without time limit, until the
// program closes the connection. answer->text is empty then.
Asked AskAndFollow(const std::string& dir, const std::vector<std::string>& args,
                   std::chrono::steady_clock::time_point taken,
                   const std::function<void(const std::string&)>& print, ControlAnswer* answer);

// ---- the server, in the running program

// Listens in dir, the running program's folder. Every client is read and
// answered without waiting, on the thread of the Qt event loop: a slow or
// silent client holds neither the loop nor another client, and one that
// does not finish its request within 2 s is dropped. Only the finished
// request reaches the handler. A socket that cannot be made is logged.
// Clients of this program's user are served; with a group (gid not -1), its
// members too: the socket is then mode 0660 of that group, so that the
// command line of a chosen group reaches a system service run as root.
class ControlServer {
public:
    using Handler = std::function<ControlAnswer(const std::vector<std::string>& args)>;

    ControlServer(std::string dir, Handler handler, gid_t group = static_cast<gid_t>(-1));
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    bool Listening() const { return listen_.IsValid(); }

private:
    struct Client;

    void Accept();
    void Read(Client& client);
    void Send(Client& client);
    void Follow(Client& client);
    void Drop(int fd);

    std::string dir_;
    Handler handler_;
    gid_t group_;
    std::string path_;  // what to unlink at the end
    UniqueFd listen_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::map<int, std::unique_ptr<Client>> clients_;  // by descriptor
    QObject context_;  // the owner of queued drops
};
