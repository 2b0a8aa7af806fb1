// The three connection loops of a bridge, one per work mode. Each repeats
// until stop is signalled and posts the record's states as it goes.
#pragma once

struct PortRecord;
class StopEvent;
class Protocol;

void ClientLoop(PortRecord* record, const StopEvent& stop, Protocol& framing);
void ServerLoop(PortRecord* record, const StopEvent& stop, Protocol& framing);
void UdpLoop(PortRecord* record, const StopEvent& stop, Protocol& framing);
