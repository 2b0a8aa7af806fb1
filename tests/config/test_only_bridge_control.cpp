// TEST-ONLY stand-ins for the bridge control of engine/, which is being built
// on its own branch. They only record which records were asked to start or
// stop, so that the options file's start step links and can be checked.
// Remove this file when the real StartBridge/StopBridge are on the branch.
#include <vector>

#include "engine/port_table.h"

std::vector<PortRecord*> g_testOnlyStartedBridges;
std::vector<PortRecord*> g_testOnlyStoppedBridges;

bool StartBridge(PortRecord* record)
{
    g_testOnlyStartedBridges.push_back(record);
    return true;
}

bool StopBridge(PortRecord* record)
{
    g_testOnlyStoppedBridges.push_back(record);
    return true;
}
