// The network side of a bridge: the socket operations that the connection
// loops use. Every socket made here is non-blocking and closed on exec. A
// step that fails gives -1 and describes itself in *failure as the port's
// log and the port list show it: "connect 10.0.0.7:4001: Connection refused",
// with errno set; *failure is empty when the bridge was stopped instead.
#pragma once

#include <string>

#include "engine/unique_fd.h"

struct PortRecord;
class StopEvent;
class UserSideKeeper;

constexpr int kProtoTcp = 6;
constexpr int kProtoUdp = 17;

// A socket bound to the record's local address and port, with address reuse
// on. Every TCP socket, and every client accepted below, watches for a peer
// that vanished: it fails with ETIMEDOUT after the record's deadPeer seconds.
int Bound(const PortRecord* record, int protocol, std::string* failure);

// A TCP socket bound as above and listening.
int Listen(const PortRecord* record, std::string* failure);

// Connects a socket from Bound to the record's remote host (looked up afresh
// each time) and port, and gives it back; it is closed on failure. A TCP
// attempt waits for the connection without a time limit, or until stop is
// signalled. The remote address 0.0.0.0 names no peer: it fails with
// EADDRNOTAVAIL. The keeper looks after the user side while the attempt
// waits.
int Connect(UniqueFd sock, const PortRecord* record, const StopEvent& stop,
            UserSideKeeper& keeper, std::string* failure);

// Takes a waiting client off a listening socket without waiting. One that
// the record's remote address and port (0: any) do not allow is closed at
// once. The client, or -1: none waits (EAGAIN), it was refused (EACCES), or
// accept() failed (logged).
int AcceptAllowed(const PortRecord* record, int listenFd);

// Waits for a client or for stop, then AcceptAllowed; -1 when stopped.
int Accept(const PortRecord* record, int listenFd, const StopEvent& stop, UserSideKeeper& keeper);

// Shuts the socket down both ways and closes it.
void Disconnect(const PortRecord* record, int fd);
