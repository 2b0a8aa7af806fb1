#include "engine/bridge_side.h"

#include <atomic>

namespace {
std::atomic<BridgeSideProvider*> g_provider{nullptr};
}

void SetBridgeSideProvider(BridgeSideProvider* provider) { g_provider.store(provider); }

BridgeSideProvider* GetBridgeSideProvider() { return g_provider.load(); }
