// How the engine reaches the bridge side of a virtual pair. The engine knows
// nothing of how pairs are made: the pair-setup layer (or a test) registers a
// provider, and OpenDevice asks it for the device named by a bridge path.
#pragma once

#include <cstdint>
#include <string>

#include "engine/line_settings.h"

// The lines of a user side that has them (a CUSE device).
struct UserSideLineState {
    bool held = false;  // some program holds it open
    bool dtr = false;   // the program's DTR
    // Readable after either changed or the program touched its line (see
    // TakeUserSideLine); the provider's own, eventfd-like: a
    // read of 8 bytes clears it. -1 when there is none.
    int eventFd = -1;
};

class BridgeSideProvider {
public:
    virtual ~BridgeSideProvider() = default;

    // Opens the bridge side named `name` ("ZPVB5"). Gives a descriptor the
    // caller owns, or -1 with errno set: ENOENT when no such pair exists,
    // EBUSY when the bridge side is already open.
    virtual int OpenBridgeSide(const char* name) = 0;

    // The caller is done with a descriptor from OpenBridgeSide: the provider
    // closes it and lets the next opening through.
    virtual void CloseBridgeSide(const char* name, int fd) = 0;

    // Why the bridge side `name` cannot be opened, in a user's words, where
    // the provider knows more than errno does ("/dev/ttyS101 already exists
    // ..."); empty otherwise.
    virtual std::string BridgeSideFailure(const char* /*name*/) { return {}; }
    // The user side as the log states it at each connection, where its line
    // is the program's own (a CUSE device): "/dev/ttyS100 at 9600,8,E,1".
    // Empty for a pseudo-terminal, whose settings are fixed.
    virtual std::string UserSideText(const char* /*name*/) { return {}; }

    // The user side's lines, where it has them. False where it has none (a
    // pseudo-terminal): the bridge side's hang-up then tells of a holder.
    virtual bool UserSideLines(const char* /*name*/, UserSideLineState* /*lines*/) { return false; }

    // Where the user side sees the program's line itself (a CUSE device):
    // tells `to`, on the caller's thread and in order, what the program did
    // to it since the last call (settings with DTR and RTS, breaks,
    // flushes). fresh, at the start of a connection, gives only the
    // settings in force: what happened before is no news to a new peer.
    virtual void TakeUserSideLine(const char* /*name*/, LineListener& /*to*/, bool /*fresh*/) {}
    // The far end's modem lines for the user side's inputs, where it has
    // them: kModemCts | kModemDsr | kModemRi | kModemDcd.
    virtual void SetUserSideModem(const char* /*name*/, uint8_t /*lines*/) {}
};

// The process-wide provider; nullptr makes every opening fail with ENOENT.
void SetBridgeSideProvider(BridgeSideProvider* provider);
BridgeSideProvider* GetBridgeSideProvider();
