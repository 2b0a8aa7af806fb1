// The "Information" of a port as its row shows it: for a connected port its
// peer's address:port and the bytes carried each way ("10.0.0.7:4001 · in
// 12.3 KB · out 4.1 KB"), for a port whose last attempt failed the failure's
// text ("connect 10.0.0.7:4001: Connection refused", "waiting to bind: bind
// 10.9.9.9:4003: Cannot assign requested address"), else nothing. A device
// server's last confirmed line follows the byte counts ("· line 2400,7,E,1").
// Read from the record alone, so
// showing it costs the bridge nothing.
#pragma once

#include <cstdint>
#include <string>

struct PortRecord;

// The local (peer false) or remote address of an IPv4 socket as "a.b.c.d"
// and a port; false when the socket has none (or was closed meanwhile).
bool SocketEndpoint(int sock, bool peer, std::string* addr, uint16_t* port);

// "512 B", "12.3 KB", "4.1 MB", "2.0 GB": units of 1024.
std::string ByteCountText(uint64_t bytes);

std::string PortInformationText(const PortRecord& record);
