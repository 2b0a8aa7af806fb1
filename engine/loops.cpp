#include "engine/loops.h"

#include <cerrno>
#include <string>

#include "engine/failure_log.h"
#include "engine/net.h"
#include "engine/port_table.h"
#include "engine/protocol.h"
#include "engine/pump.h"
#include "engine/seconds_clock.h"
#include "engine/serial_side.h"
#include "engine/stop_event.h"
#include "engine/unique_fd.h"

namespace {

constexpr int kClientWaitMs = 2000;
constexpr int kServerWaitMs = 1000;
constexpr int kConnectPauseMs = 1000;
// A local address or port that cannot be had yet is tried again this often.
constexpr int kBindPauseMs = 1000;

// A failed step: kept in the record for the port list, told by the port's log.
void Fail(PortRecord* record, FailureLog& log, const std::string& failure)
{
    NoteFailure(record, errno, failure);
    log.Failed(failure);
}

std::string LocalEndpoint(const PortRecord* record)
{
    return std::string(LocAddrText(record)) + ":" + std::to_string(record->locPort);
}

// A pair without its user side (its device could not be made) has nothing
// to carry: the port says why and waits for its stop without a connection,
// a listener or a timer. Its next start asks for the user side anew.
bool WithoutUserSide(PortRecord* record, const StopEvent& stop, const UserSideKeeper& keeper)
{
    if (keeper.Holds())
        return false;
    NoteFailure(record, ENODEV, keeper.Missing());
    PostPortState(record, STATE_WAITING);
    stop.Wait(-1);
    PostPortState(record, STATE_STOPPED);
    return true;
}

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

// One attempt of tcpclient or udp: a bound socket connected, or -1 with the
// failure noted (nothing when stopped).
int Attempt(PortRecord* record, const StopEvent& stop, int protocol, UserSideKeeper& keeper,
            FailureLog& log)
{
    std::string failure;
    UniqueFd sock(Bound(record, protocol, &failure));
    record->waitingToBind.store(!sock.IsValid());
    int fd = sock.IsValid() ? Connect(std::move(sock), record, stop, keeper, &failure) : -1;
    if (fd < 0 && !failure.empty())
        Fail(record, log, failure);
    if (fd >= 0) {
        NoteConnected(record);
        NoteConnection(record, fd);
        log.Cleared("connected to " + std::string(DstAddrText(record)) + ":" +
                    std::to_string(record->dstPort));
    }
    return fd;
}

// tcpclient and udp differ only in the pause and the "Connecting" state.
void ConnectingLoop(PortRecord* record, const StopEvent& stop, Protocol& framing, int protocol)
{
    UserSideKeeper keeper(record);
    if (WithoutUserSide(record, stop, keeper))
        return;
    FailureLog log(LogName(record), RealSecondsClock());
    PostPortState(record, STATE_WAITING);
    int pauseMs = kClientWaitMs;
    if (!keeper.WaitStop(stop.Fd(), kClientWaitMs)) {
        do {
            PostPortState(record, STATE_CHECKING);
            if (protocol == kProtoTcp) {
                // The pause before a connect ends with a stop like any wait.
                if (keeper.WaitStop(stop.Fd(), kConnectPauseMs))
                    break;
                PostPortState(record, STATE_CONNECTING);
            }
            int sock = Attempt(record, stop, protocol, keeper, log);
            if (sock < 0 && stop.IsSignalled())
                break;
            pauseMs = record->waitingToBind.load() ? kBindPauseMs : kClientWaitMs;
            if (record->waitingToBind.load())
                PostPortState(record, STATE_WAITING);
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
        } while (!keeper.WaitStop(stop.Fd(), pauseMs));
    }
    PostPortState(record, STATE_STOPPED);
}

// Until the listening socket is had or stop comes, Waiting and trying again:
// the local address may not exist yet, or another program holds the port.
int ListenWhenPossible(PortRecord* record, const StopEvent& stop, UserSideKeeper& keeper,
                       FailureLog& log)
{
    for (bool waiting = false;; waiting = true) {
        std::string failure;
        int fd = Listen(record, &failure);
        if (fd >= 0) {
            NoteConnected(record);  // listening: no failure to show
            log.Cleared("listening on " + LocalEndpoint(record));
            return fd;
        }
        record->waitingToBind.store(true);
        Fail(record, log, failure);
        if (!waiting)
            PostPortState(record, STATE_WAITING);
        if (keeper.WaitStop(stop.Fd(), kBindPauseMs))
            return -1;
    }
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
    record->sock.store(kInvalidSocket);
    UserSideKeeper keeper(record);
    if (WithoutUserSide(record, stop, keeper))
        return;
    FailureLog log(LogName(record), RealSecondsClock());
    UniqueFd listener(ListenWhenPossible(record, stop, keeper, log));
    if (!listener.IsValid()) {
        PostPortState(record, STATE_STOPPED);
        return;
    }
    record->sock.store(listener.Get());

    // A newer client that ended a connection is served next.
    UniqueFd newer;
    if (!keeper.WaitStop(stop.Fd(), kServerWaitMs)) {
        do {
            PostPortState(record, STATE_WAITING);
            int client = newer.IsValid() ? newer.Release() : Accept(record, listener.Get(), stop, keeper);
            if (client < 0)
                continue;
            PostPortState(record, STATE_CHECKING);
            NoteConnected(record);
            NoteConnection(record, client);
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
