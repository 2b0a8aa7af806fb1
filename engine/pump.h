// The pump: moves bytes both ways between the bridge side of a pair and one
// connected socket, through the framing object, until the connection ends.
#pragma once

struct PortRecord;
class BridgeDevice;
class Protocol;
class StopEvent;

// Runs one connection. With detectDtr, a serial program that closes its port
// ends it. listenFd is the tcpserver's listening socket (a waiting client
// ends the connection) or -1. The caller closes the device and the socket
// afterwards.
void InOut(PortRecord* record, const BridgeDevice& device, int sock, Protocol& framing,
           bool detectDtr, int listenFd, const StopEvent& stop);
