#include "config/export_import.h"

#include "config/options_document.h"
#include "engine/com_name.h"
#include "engine/limits.h"

std::vector<PortSettings> ImportedPortSettings(const std::string& text, const PortSettings& base)
{
    std::vector<PortSettings> ports;
    OptionsDocument options(text);
    for (int n = 1; n <= kComNumberMax; ++n) {
        const std::string name = ComName(n);
        const char* el = name.c_str();
        if (!options.HasElement(el, nullptr))
            continue;
        PortSettings s = base;
        s.comNumber = n;
        s.localHost = options.GetStringOption(el, "LOCADDR", nullptr);
        s.localPort = options.GetStringOption(el, "LOCPORT", nullptr);
        s.remoteHost = options.GetStringOption(el, "DSTADDR", nullptr);
        s.remotePort = options.GetStringOption(el, "DSTPORT", nullptr);
        s.mode = ModeIndexFromName(options.GetStringOption(el, "MODE", "tcpserver").c_str());
        s.emuBR = options.GetBoolOption(el, "EMUBR", 1);
        s.useCustom = options.GetBoolOption(el, "USECUSTOM", 0);
        s.deviceName = options.GetStringOption(el, "DEVNAME", nullptr);
        // Written as signed decimal; read back the same way, so every 32-bit
        // value survives the trip.
        s.keepAlive = static_cast<uint32_t>(options.GetIntOption(el, "KEEPALIVE", 0));
        s.idleTime = static_cast<uint32_t>(options.GetIntOption(el, "IDLETIME", 0));
        ports.push_back(s);
    }
    return ports;
}
