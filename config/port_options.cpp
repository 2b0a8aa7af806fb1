#include "config/port_options.h"

#include <string>

#include "config/options_document.h"
#include "config/port_settings.h"
#include "engine/port_table.h"

namespace {

// The record's port name as a zero-terminated copy, whatever its field holds.
struct PortName {
    explicit PortName(const PortRecord& r) { CopyField(text, sizeof text, r.name, sizeof r.name); }
    char text[sizeof(PortRecord::name) + 1];
};

}  // namespace

void WritePortOptions(OptionsDocument& options, const PortRecord& r)
{
    PortName port(r);
    const char* name = port.text;
    if (!options.SetStringOption(name, nullptr, ""))
        return;
    char devName[sizeof r.devName];
    CopyField(devName, sizeof devName, r.devName, sizeof devName - 1);

    options.SetStringOption(name, "DSTADDR", DstAddrText(&r));  // a host name as typed
    options.SetIntOption(name, "DSTPORT", static_cast<int32_t>(r.dstPort));
    options.SetAddrOption(name, "LOCADDR", r.locAddr);
    options.SetIntOption(name, "LOCPORT", static_cast<int32_t>(r.locPort));
    options.SetStringOption(name, "MODE", PortModeName(r.mode));
    options.SetBoolOption(name, "USECUSTOM", r.useCustom);
    options.SetBoolOption(name, "CHKDTR", r.detectDtr);
    options.SetStringOption(name, "DEVNAME", devName);
    options.SetIntOption(name, "KEEPALIVE", static_cast<int32_t>(r.keepAlive));
    options.SetIntOption(name, "IDLETIME", static_cast<int32_t>(r.idleTime));
    options.SetIntOption(name, "DEADPEER", static_cast<int32_t>(r.deadPeer));
    options.SetBoolOption(name, "RFC2217", r.rfc2217);
    options.SetStringOption(name, "LINE", FormatLineSettings(r.line).c_str());
}

void ReadPortOptions(OptionsDocument& options, PortRecord* record)
{
    if (!record)
        return;
    PortName port(*record);
    const char* name = port.text;
    record->locAddr = options.GetAddrOption(name, "LOCADDR", 0);
    record->locPort = options.GetAddrOption(name, "LOCPORT", 0);
    const std::string dst = options.GetStringOption(name, "DSTADDR", nullptr);
    if (dst.empty()) {
        record->dstAddr = 0;
        record->dstHost[0] = '\0';
    } else {
        SetDstAddrText(record, dst.c_str());
    }
    record->dstPort = options.GetAddrOption(name, "DSTPORT", 0);
    SetModeByName(record, options.GetStringOption(name, "MODE", "tcpserver").c_str());
    record->useCustom = options.GetBoolOption(name, "USECUSTOM", 0);
    // A stored EMUBR is not honoured: every pair is set up with baud pacing.
    record->emuBR = 1;
    record->detectDtr = options.GetBoolOption(name, "CHKDTR", 0);
    std::string devName = options.GetStringOption(name, "DEVNAME", nullptr);
    CopyField(record->devName, sizeof record->devName, devName.c_str(), sizeof record->devName - 1);
    record->keepAlive = static_cast<uint32_t>(options.GetIntOption(name, "KEEPALIVE", 0));
    record->idleTime = static_cast<uint32_t>(options.GetIntOption(name, "IDLETIME", 0));
    // Files written before the key existed, or edited out of range, take
    // the default: a dead peer is then still found.
    const int32_t deadPeer = options.GetIntOption(name, "DEADPEER", kDeadPeerDefault);
    record->deadPeer = deadPeer >= 0 && IsDeadPeerSeconds(static_cast<uint32_t>(deadPeer))
                           ? static_cast<uint32_t>(deadPeer)
                           : kDeadPeerDefault;
    record->rfc2217 = options.GetBoolOption(name, "RFC2217", 0);
    // Like DEADPEER: a file from before the key, or one edited wrong, gives
    // the default line rather than a port that cannot start.
    record->line = LineSettings{};
    ParseLineSettings(options.GetStringOption(name, "LINE", kLineDefault), &record->line, nullptr);
}
