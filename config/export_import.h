// Export and import of port lists. The export file is the options document of
// the port table; an import reads the ports an exported document describes,
// which the port commands then create one by one, as if the user had added
// them.
#pragma once

#include <string>
#include <vector>

#include "config/port_settings.h"

// The ports an exported document describes: its elements "COM1" to "COM256"
// in ascending order of number (other elements are ignored), each starting
// from `base` (the port dialog's last-used values) with the document's
// values over it. Missing or empty keys give: empty address and port texts,
// mode tcpserver, custom protocol off, empty device name, time-outs 0; the
// detect-DTR flag is always base's. A text that does not parse gives none.
std::vector<PortSettings> ImportedPortSettings(const std::string& text, const PortSettings& base);
