#include "config/port_settings.h"

#include <cstring>

#include "engine/com_name.h"
#include "engine/port_table.h"

namespace {

constexpr size_t kNameMax = 6;      // COM256 is the longest name given
constexpr size_t kDevNameMax = sizeof PortRecord::devName - 1;

// At most max bytes of UTF-8 text, never ending inside a character.
std::string CutUtf8(const std::string& text, size_t max)
{
    if (text.size() <= max)
        return text;
    size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
        --n;
    return text.substr(0, n);
}

}  // namespace

bool IsDeadPeerSeconds(uint32_t seconds)
{
    return seconds == 0 || (seconds >= kDeadPeerMin && seconds <= kDeadPeerMax);
}

bool ParseDeadPeerSeconds(const std::string& text, uint32_t* seconds, std::string* error)
{
    uint32_t value = 0;
    bool ok = !text.empty() && text.size() <= 4 && text.find_first_not_of("0123456789") == std::string::npos;
    if (ok) {
        value = static_cast<uint32_t>(std::stoul(text));
        ok = IsDeadPeerSeconds(value);
    }
    if (!ok) {
        *error = "dead-peer seconds are 0 (off) or " + std::to_string(kDeadPeerMin) + " to " +
                 std::to_string(kDeadPeerMax) + ", not \"" + text + "\"";
        return false;
    }
    *seconds = value;
    return true;
}

int ModeIndexFromName(const char* text)
{
    for (uint32_t i = MODE_TCPCLIENT; i <= MODE_UDP; ++i) {
        if (text && strcmp(text, PortModeName(i)) == 0)
            return static_cast<int>(i);
    }
    return MODE_TCPSERVER;
}

PortSettings DefaultPortSettings()
{
    PortSettings s;
    s.remoteHost = "127.0.0.1";
    s.localPort = "0";
    s.remotePort = "27015";
    s.localHost = "0.0.0.0";
    s.idleTime = 100;
    s.keepAlive = 40;
    return s;
}

PortSettings& LastUsedPortSettings()
{
    static PortSettings lastUsed = DefaultPortSettings();
    return lastUsed;
}

PortSettings SettingsOfRecord(const PortRecord& r)
{
    char buf[16];
    PortSettings s;
    s.comNumber = ComNumber(r.name);
    s.remoteHost = DstAddrText(&r);
    s.localPort = LocPortText(&r, buf, sizeof buf);
    s.remotePort = DstPortText(&r, buf, sizeof buf);
    s.localHost = LocAddrText(&r);
    s.mode = static_cast<int>(r.mode);
    s.useCustom = r.useCustom;
    s.deviceName = r.devName;
    s.keepAlive = r.keepAlive;
    s.idleTime = r.idleTime;
    s.deadPeer = r.deadPeer;
    s.emuBR = r.emuBR;
    s.detectDtr = r.detectDtr;
    return s;
}

void StoreSettings(PortRecord* r, const PortSettings& s)
{
    SetDstAddrText(r, s.remoteHost.c_str());
    SetLocAddrText(r, s.localHost.c_str());
    SetLocPortText(r, s.localPort.c_str());
    SetDstPortText(r, s.remotePort.c_str());
    r->mode = static_cast<uint32_t>(s.mode);
    CopyField(r->name, sizeof r->name, ComName(s.comNumber).c_str(), kNameMax);
    r->emuBR = 1;
    r->useCustom = s.useCustom;
    CopyField(r->devName, sizeof r->devName, CutUtf8(s.deviceName, kDevNameMax).c_str(), kDevNameMax);
    r->keepAlive = s.keepAlive;
    r->idleTime = s.idleTime;
    r->deadPeer = s.deadPeer;
    r->detectDtr = s.detectDtr;
}

RecordSettingsCopy::RecordSettingsCopy(const PortRecord& r)
    : settings_(SettingsOfRecord(r)), dstAddr_(r.dstAddr), locAddr_(r.locAddr), dstPort_(r.dstPort), locPort_(r.locPort), emuBR_(r.emuBR),
      name_(r.name)
{
}

void RecordSettingsCopy::RestoreInto(PortRecord* r) const
{
    StoreSettings(r, settings_);
    // The texts need not read back as the same numbers (255.255.255.255
    // stands for every text that is no address), nor the name as a COM name.
    r->dstAddr = dstAddr_;
    r->locAddr = locAddr_;
    r->dstPort = dstPort_;
    r->locPort = locPort_;
    r->emuBR = emuBR_;
    CopyField(r->name, sizeof r->name, name_.c_str(), sizeof r->name - 1);
}
