// A far end's modem lines as a device server notifies them, one bit each;
// kept apart from the termios headers, which clash with the kernel's.
#pragma once

#include <cstdint>

enum : uint8_t { kModemCts = 0x10, kModemDsr = 0x20, kModemRi = 0x40, kModemDcd = 0x80 };
