// A port's settings as a person gives them: the values of the port settings
// dialog, of an imported port list and of the command line. Plain texts and
// numbers; turning them into a port record is done here and only here.
#pragma once

#include <cstdint>
#include <string>

struct PortRecord;

// Dead-peer seconds of a TCP port: 0 is off, otherwise kDeadPeerMin to
// kDeadPeerMax; new ports and ports whose options lack the key take the default.
constexpr uint32_t kDeadPeerDefault = 60;
constexpr uint32_t kDeadPeerMin = 5;
constexpr uint32_t kDeadPeerMax = 3600;
bool IsDeadPeerSeconds(uint32_t seconds);

// A decimal of dead-peer seconds as typed ("0", "5" to "3600"). False with
// *error saying the range when the text is no such number.
bool ParseDeadPeerSeconds(const std::string& text, uint32_t* seconds, std::string* error);

constexpr const char* kLineDefault = "9600,8,N,1";

struct PortSettings {
    int comNumber = -1;  // n of COMn, 1 to 256; -1 while none is chosen
    std::string remoteHost;
    std::string localPort;
    std::string remotePort;
    std::string localHost;
    int mode = 0;  // PortMode
    int useCustom = 0;
    std::string deviceName;  // UTF-8
    uint32_t idleTime = 0;
    uint32_t keepAlive = 0;
    uint32_t deadPeer = kDeadPeerDefault;
    int emuBR = 0;
    int detectDtr = 0;
    int rfc2217 = 0;
    std::string line = kLineDefault;  // BAUD,BITS,PARITY,STOP
};

// A dotted IPv4 address ("10.0.0.9"); a name the resolver may take:
// letters, digits, dots, hyphens and underscores, 1 to 253 of them.
bool IsDottedIPv4(const std::string& text);
bool IsHostName(const std::string& text);

// How a refusal names a field: as the dialog and the command line speak of
// it ("remote port"), or by its options document key ("DSTPORT").
enum class FieldNaming { kLabels, kOptionKeys };

// The one check of a port's settings that the dialog, the command line and
// the import make: COM number 1 to 256, a known mode, a local host in dotted
// IPv4, a remote host dotted or a host name, ports 0 to 65535 in decimal, a
// device name of at most 31 bytes (at least 1 with the framed protocol) and
// dead-peer seconds 0 or 5 to 3600, a line setting that reads, and RFC 2217
// only for a tcpclient without the framed protocol. Time-outs take any 32-bit value. False
// with *error naming the first bad field and its value ("remote port 70000
// is not a port number (0 to 65535)").
bool CheckPortSettings(const PortSettings& settings, std::string* error,
                       FieldNaming naming = FieldNaming::kLabels);

// A value as a message can carry it: "(empty)", or cut after 40 bytes and
// control bytes as "?", so that a hostile file can neither flood nor forge a
// message line.
std::string ValueForMessage(const std::string& value);

// Index of the mode name ("tcpclient" 0, "tcpserver" 1, "udp" 2); 1 when none matches.
int ModeIndexFromName(const char* text);

// The values a new port's dialog first shows.
PortSettings DefaultPortSettings();

// The values every OK of the port dialog leaves behind for the next one, and
// the base an import fills ports from. Process-wide; user-interface thread.
PortSettings& LastUsedPortSettings();

// A record's settings, as the dialog shows them for Property.
PortSettings SettingsOfRecord(const PortRecord& record);

// The settings into a record, in the order the commands store them: remote
// and local address, local and remote port, mode, name "COM<n>", emuBR on,
// custom flag, device name (at most 31 bytes, cut before a character rather
// than through one), keepalive, idle, dead peer, detect DTR, RFC 2217 and the
// line (kept when its text does not read). Other fields stay.
void StoreSettings(PortRecord* record, const PortSettings& settings);

// A record's settings fields, kept so that a refused edit can be undone.
struct RecordSettingsCopy {
    explicit RecordSettingsCopy(const PortRecord& record);
    void RestoreInto(PortRecord* record) const;

private:
    PortSettings settings_;
    uint32_t dstAddr_, locAddr_, dstPort_, locPort_;
    int32_t emuBR_;
    std::string name_;
};
