#include "engine/loops.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "engine/diagnostics.h"
#include "engine/net.h"
#include "engine/port_table.h"
#include "engine/protocol.h"
#include "engine/pump.h"
#include "engine/serial_side.h"
#include "engine/stop_event.h"
#include "engine/unique_fd.h"

namespace {

constexpr int kClientWaitMs = 2000;
constexpr int kServerWaitMs = 1000;
constexpr int kConnectPauseMs = 1000;
constexpr int kListenBacklog = 0x7FFFFFFF;

// One connection on an established socket: the bridge side is opened anew
// for it and closed when the pump returns; the keeper lets go of it meanwhile.
// Gives the newer allowed client that ended the connection, or -1.
int Serve(PortRecord* record, const StopEvent& stop, Protocol& framing, int sock, int listenFd,
          UserSideKeeper& keeper)
{
    int newer = -1;
    keeper.Release();
    {
        BridgeDevice device = OpenDevice(record);
        if (device.IsOpen())
            newer = InOut(record, device, sock, framing, record->detectDtr != 0, listenFd, stop);
    }
    keeper.Reacquire();
    return newer;
}

// tcpclient and udp differ only in the pause and the "Connecting" state.
void ConnectingLoop(PortRecord* record, const StopEvent& stop, Protocol& framing, int protocol)
{
    UserSideKeeper keeper(record);
    PostPortState(record, STATE_WAITING);
    if (!keeper.WaitStop(stop.Fd(), kClientWaitMs)) {
        do {
            PostPortState(record, STATE_CHECKING);
            if (protocol == kProtoTcp) {
                // The pause before a connect ends with a stop like any wait.
                if (keeper.WaitStop(stop.Fd(), kConnectPauseMs))
                    break;
                PostPortState(record, STATE_CONNECTING);
            }
            int sock = Connect(protocol, record, stop, &keeper);
            if (sock < 0)
                NoteFailure(record, errno);
            else
                NoteConnected(record);
            record->sock.store(sock);
            if (sock >= 0) {
                PostPortState(record, STATE_CONNECTED);
                Serve(record, stop, framing, sock, -1, keeper);
                // Forget the number before closing it, so that a reader of
                // sock never sees a descriptor that is already gone.
                record->sock.store(kInvalidSocket);
                Disconnect(record, sock);
                PostPortState(record, STATE_WAITING);
            }
        } while (!keeper.WaitStop(stop.Fd(), kClientWaitMs));
    }
    PostPortState(record, STATE_STOPPED);
}

}  // namespace

void ClientLoop(PortRecord* record, const StopEvent& stop, Protocol& framing)
{
    ConnectingLoop(record, stop, framing, kProtoTcp);
}

void UdpLoop(PortRecord* record, const StopEvent& stop, Protocol& framing)
{
    ConnectingLoop(record, stop, framing, kProtoUdp);
}

void ServerLoop(PortRecord* record, const StopEvent& stop, Protocol& framing)
{
    char locPort[16];
    LocPortText(record, locPort, sizeof locPort);
    const std::string locAddr = LocAddrText(record);

    // A listening socket that cannot be had ends the bridge with its state
    // as it was: there is nothing to retry without the user.
    UniqueFd listener(Socket(record, kProtoTcp, locAddr.c_str(), locPort));
    record->sock.store(kInvalidSocket);
    if (!listener.IsValid()) {
        NoteFailure(record, errno);
        return;
    }
    if (listen(listener.Get(), kListenBacklog) != 0) {
        NoteFailure(record, errno);
        LogLastError("%s: listen(\"%s\", \"%s\")", LogName(record), locAddr.c_str(), locPort);
        return;
    }
    NoteConnected(record);  // listening: no failure to show
    record->sock.store(listener.Get());

    UserSideKeeper keeper(record);
    // A newer client that ended a connection is served next.
    UniqueFd newer;
    if (!keeper.WaitStop(stop.Fd(), kServerWaitMs)) {
        do {
            PostPortState(record, STATE_WAITING);
            int client = newer.IsValid() ? newer.Release() : Accept(record, listener.Get(), stop, &keeper);
            if (client < 0)
                continue;
            PostPortState(record, STATE_CHECKING);
            NoteConnected(record);
            record->sock.store(client);
            PostPortState(record, STATE_CONNECTED);
            newer.Reset(Serve(record, stop, framing, client, listener.Get(), keeper));
            record->sock.store(listener.Get());
            Disconnect(record, client);
        } while (!keeper.WaitStop(stop.Fd(), kServerWaitMs));
    }
    record->sock.store(kInvalidSocket);
    listener.Reset();
    PostPortState(record, STATE_STOPPED);
}
