// The control socket: "control.sock" in the folder of the program's files,
// through which the command line reaches the running program. Only the
// copy that owns the folder listens; only its own user may connect (mode
// 0600, and the peer's credentials are checked).
//
// The exchange: the client sends its arguments, each ended by a zero byte,
// and shuts its sending side; the program answers "+" at once, then, when
// the command is done, the exit status in decimal, a line feed, and the
// output (status 0) or the error line.
#pragma once

#include <sys/types.h>
#include <sys/un.h>

#include <chrono>
#include <memory>
#include <string>

#include "engine/unique_fd.h"

class MainWindow;
class QSocketNotifier;

constexpr const char kControlSocketName[] = "control.sock";

// Waits until fd shows one of the events or the time is up; retries on
// signals. True when it is ready.
bool WaitReady(int fd, short events, std::chrono::steady_clock::time_point end);

// Whether the other end of a connected control socket is this process's own
// user; *uid tells who it is. Both ends refuse anyone else.
bool PeerIsOwnUser(int fd, uid_t* uid);

// The socket's address for a folder. A path too long for an address gives
// the bare name (*relative true), which holds in the folder only.
sockaddr_un ControlAddress(const std::string& dir, bool* relative);

class ControlSocket {
public:
    // Listens in dir, the running program's folder, for commands that run
    // through the window's port list. A socket that cannot be made is logged.
    ControlSocket(MainWindow& window, std::string dir);
    ~ControlSocket();
    ControlSocket(const ControlSocket&) = delete;
    ControlSocket& operator=(const ControlSocket&) = delete;


private:
    void Serve();

    MainWindow& window_;
    std::string dir_;
    std::string path_;  // what to unlink at the end
    UniqueFd listen_;
    std::unique_ptr<QSocketNotifier> notifier_;
    bool busy_ = false;
};
