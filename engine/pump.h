// The pump: moves bytes both ways between the bridge side of a pair and one
// connected socket, through the framing object, until the connection ends.
#pragma once

struct PortRecord;
class BridgeDevice;
class Protocol;
class StopEvent;

// Runs one connection. With detectDtr, a serial program that closes its port
// ends it. listenFd is the tcpserver's listening socket or -1: a client that
// the record's filter allows ends the connection and is given back (the
// caller owns it), one it refuses is closed at once; otherwise gives -1. The
// caller closes the device and the socket afterwards.
int InOut(PortRecord* record, const BridgeDevice& device, int sock, Protocol& framing,
          bool detectDtr, int listenFd, const StopEvent& stop);
