// TEST-ONLY stand-ins for the bridge control of engine/, which is being built
// on its own branch: a started record gets a thread handle, a stopped one
// loses it, and nothing runs. They let the options file's start step link and
// be checked the way the real bridge control will be seen.
// Remove this file when the real StartBridge/StopBridge are on the branch.
#include <memory>

#include "engine/port_table.h"

class BridgeThreadHandle {};

bool StartBridge(PortRecord* record)
{
    if (!record || record->number < 0)
        return false;
    record->hThread = std::make_shared<BridgeThreadHandle>();
    return true;
}

bool StopBridge(PortRecord* record)
{
    if (!record || !record->hThread)
        return false;
    record->hThread.reset();
    return true;
}
