// The network side of a bridge: IPv4 addresses and the socket operations
// that the connection loops use. Every socket made here is non-blocking and
// closed on exec.
#pragma once

#include <netinet/in.h>

struct PortRecord;
class StopEvent;
class UserSideKeeper;

constexpr int kProtoTcp = 6;
constexpr int kProtoUdp = 17;

// Failures are logged under the record's name.

// Fills addr from an address text and a port text (a service name or
// leading digits); either may be nullptr. False when the address cannot be
// had.
bool SetAddr(const PortRecord* record, sockaddr_in* addr, const char* addrText,
             const char* portText);

// A socket bound to the local address and port, with address reuse on;
// -1 on failure.
int Socket(const PortRecord* record, int protocol, const char* addrText, const char* portText);

// A socket bound to the record's local address and port and connected to its
// remote address and port; -1 on failure. A TCP attempt waits for the
// connection without a time limit, or until stop is signalled. The remote
// address 0.0.0.0 names no peer: it fails with EADDRNOTAVAIL. A keeper looks
// after the user side while the attempt waits.
int Connect(int protocol, const PortRecord* record, const StopEvent& stop,
            UserSideKeeper* keeper = nullptr);

// Takes a waiting client off a listening socket without waiting. One that
// the record's remote address and port (0: any) do not allow is closed at
// once. The client, or -1: none waits (EAGAIN), it was refused (EACCES), or
// accept() failed.
int AcceptAllowed(const PortRecord* record, int listenFd);

// Waits for a client or for stop, then AcceptAllowed; -1 when stopped.
int Accept(const PortRecord* record, int listenFd, const StopEvent& stop,
           UserSideKeeper* keeper = nullptr);

// Shuts the socket down both ways and closes it.
void Disconnect(const PortRecord* record, int fd);
