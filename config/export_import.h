// Export and import of port lists. The export file is the options document of
// the port table; an import reads the ports an exported document describes,
// which the port commands then create one by one, as if the user had added
// them.
#pragma once

#include <string>
#include <vector>

#include "config/port_settings.h"

// The ports an exported document describes: its elements "COM1" to "COM256"
// in ascending order of number (elements of other names are ignored), each
// starting from `base` (the port dialog's last-used values) with the
// document's values over it. Missing or empty keys give: addresses 0.0.0.0,
// ports 0, mode tcpserver, custom protocol off, empty device name, time-outs
// 0, dead-peer seconds 60; the detect-DTR flag is always base's.
//
// All ports or none: every port passes CheckPortSettings, and its MODE and
// seconds must read as such. Otherwise, or when the text does not parse,
// holds no port, names a port "COMn" outside COM1 to COM256 or twice, or
// holds more ports than the port table has free slots, the list is empty
// and *error, when given, names the first bad port and value ("COM9:
// DSTPORT 70000 is not a port number (0 to 65535)").
std::vector<PortSettings> ImportedPortSettings(const std::string& text, const PortSettings& base,
                                               std::string* error = nullptr);
