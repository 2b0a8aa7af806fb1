#include "config/port_settings.h"

#include <arpa/inet.h>

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

enum Field { kComField, kModeField, kLocalHost, kLocalPort, kRemoteHost, kRemotePort, kDevName, kDeadPeer,
             kLine, kRfc2217 };

const char* FieldName(Field f, FieldNaming naming)
{
    static const char* const kLabels[] = {"COM number", "mode", "local host", "local port",
                                          "remote host", "remote port", "device name", "dead-peer seconds",
                                          "line", "RFC 2217"};
    static const char* const kKeys[] = {"COM number", "MODE", "LOCADDR", "LOCPORT",
                                        "DSTADDR", "DSTPORT", "DEVNAME", "DEADPEER", "LINE", "RFC2217"};
    return (naming == FieldNaming::kLabels ? kLabels : kKeys)[f];
}

bool IsPortNumber(const std::string& text)
{
    return !text.empty() && text.size() <= 5 && text.find_first_not_of("0123456789") == std::string::npos &&
           std::stoul(text) <= 65535;
}

// The first bad field and why, or {} when every field is good.
std::pair<Field, std::string> FirstBadField(const PortSettings& s)
{
    if (s.comNumber < 1 || s.comNumber > kComNumberMax)
        return {kComField, "is not 1 to " + std::to_string(kComNumberMax)};
    if (s.mode < 0 || s.mode > static_cast<int>(MODE_UDP))
        return {kModeField, "is not tcpclient, tcpserver or udp"};
    if (!IsDottedIPv4(s.localHost))
        return {kLocalHost, "is not a dotted IPv4 address"};
    if (!IsPortNumber(s.localPort))
        return {kLocalPort, "is not a port number (0 to 65535)"};
    if (!IsDottedIPv4(s.remoteHost) && !IsHostName(s.remoteHost))
        return {kRemoteHost, "is neither a dotted IPv4 address nor a host name"};
    if (!IsPortNumber(s.remotePort))
        return {kRemotePort, "is not a port number (0 to 65535)"};
    if (s.deviceName.size() > kDevNameMax || (s.useCustom && s.deviceName.empty()))
        return {kDevName, "is not 1 to " + std::to_string(kDevNameMax) + " bytes long"};
    if (!IsDeadPeerSeconds(s.deadPeer))
        return {kDeadPeer, "is not 0 (off) or " + std::to_string(kDeadPeerMin) + " to " +
                               std::to_string(kDeadPeerMax)};
    LineSettings line;
    std::string why;
    if (!ParseLineSettings(s.line, &line, &why))
        return {kLine, "is wrong: " + why};
    if (s.rfc2217 && (s.useCustom || s.mode != static_cast<int>(MODE_TCPCLIENT)))
        return {kRfc2217, "is for tcpclient ports without the framed protocol"};
    return {};
}

// A field's value as a message shows it.
std::string FieldValue(const PortSettings& s, Field f)
{
    switch (f) {
    case kComField: return std::to_string(s.comNumber);
    case kModeField: return std::to_string(s.mode);
    case kLocalHost: return s.localHost;
    case kLocalPort: return s.localPort;
    case kRemoteHost: return s.remoteHost;
    case kRemotePort: return s.remotePort;
    case kDevName: return s.deviceName.empty() ? "" : "of " + std::to_string(s.deviceName.size()) + " bytes";
    case kDeadPeer: return std::to_string(s.deadPeer);
    case kLine: return s.line;
    case kRfc2217: return {};
    }
    return {};
}


}  // namespace

bool IsDottedIPv4(const std::string& text)
{
    in_addr a{};
    return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

bool IsHostName(const std::string& text)
{
    return !text.empty() && text.size() <= 253 &&
           text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                  "0123456789.-_") == std::string::npos;
}


std::string ValueForMessage(const std::string& value)
{
    constexpr size_t kShownMax = 40;
    if (value.empty())
        return "(empty)";
    std::string shown = CutUtf8(value, kShownMax);
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return shown.size() < value.size() ? shown + "... (" + std::to_string(value.size()) + " bytes)" : shown;
}

bool CheckPortSettings(const PortSettings& s, std::string* error, FieldNaming naming)
{
    const auto [field, why] = FirstBadField(s);
    if (why.empty())
        return true;
    if (field == kRfc2217) {
        *error = "RFC 2217 " + why;  // a switch has no value worth showing
        return false;
    }
    std::string value = ValueForMessage(FieldValue(s, field));
    *error = std::string(FieldName(field, naming)) + " " + value + " " + why;
    return false;
}

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
        *error = "dead-peer seconds \"" + text + "\" is not 0 (off) or " + std::to_string(kDeadPeerMin) +
                 " to " + std::to_string(kDeadPeerMax);
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
    s.rfc2217 = r.rfc2217;
    s.line = FormatLineSettings(r.line);
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
    r->rfc2217 = s.rfc2217;
    // A text that does not read leaves the line as it was; the check refuses
    // such a text before anything is stored.
    ParseLineSettings(s.line, &r->line, nullptr);
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
