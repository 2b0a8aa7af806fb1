#include "shell/command_parse.h"

#include <cstring>
#include <filesystem>
#include <set>

#include "engine/com_name.h"
#include "engine/line_settings.h"
#include "engine/port_table.h"

namespace {

constexpr size_t kDevNameMax = sizeof PortRecord::devName - 1;

const char kUsage[] =
    "usage: velkaro_redi [-platform offscreen]     run the program (window, tray, bridges)\n"
    "       velkaro_redi --list [--json]\n"
    "       velkaro_redi --add COMn [PORT OPTIONS]\n"
    "       velkaro_redi --set COMn [PORT OPTIONS]  (a stopped port; options not given stay)\n"
    "       velkaro_redi --delete COMn | --start COMn | --stop COMn\n"
    "       velkaro_redi --trace COMn FILE|off       trace a port's bytes and events to FILE\n"
    "       velkaro_redi --monitor COMn              the same lines on standard output, live\n"
    "       velkaro_redi --export FILE | --import FILE\n"
    "       velkaro_redi --help | --version\n"
    "port options:\n"
    "  --mode tcpclient|tcpserver|udp   (default tcpclient)\n"
    "  --remote HOST:PORT               the peer (default 127.0.0.1:27015); for tcpserver the\n"
    "                                   one client address allowed (default 0.0.0.0:0, any)\n"
    "  --local ADDRESS:PORT             the local end (default 0.0.0.0:0)\n"
    "  --detect-dtr | --no-detect-dtr   a connection lasts only while the serial program holds DTR\n"
    "  --custom DEVNAME                 the framed protocol, registering as DEVNAME (31 bytes at most)\n"
    "  --no-custom                      raw bytes, no framed protocol (the device name is kept)\n"
    "  --keepalive SECONDS              probe a silent peer of the framed protocol (default 40)\n"
    "  --idle SECONDS                   close an idle framed link (default 100)\n"
    "  --dead-peer SECONDS              notice a vanished TCP peer within SECONDS: 0 off, 5 to 3600\n"
    "                                   (default 60)\n"
    "  --rfc2217 | --no-rfc2217         tcpclient: the peer is a device server speaking RFC 2217\n"
    "  --line BAUD,BITS,PARITY,STOP     the line sent to it until the program sets its own\n"
    "                                   (default 9600,8,N,1; parity N, E, O, M or S; stop 1, 1.5 or 2)\n"
    "When the program runs on the same folder, it carries the command out;\n"
    "otherwise the command changes the folder's files (--start, --stop, --trace and\n"
    "--monitor need the program).\n"
    "Exit status: 0 done, 1 refused or failed, 2 a wrong command line.\n";

struct CommandWord {
    const char* word;
    CommandRequest::Kind kind;
    enum { kNone, kCom, kFile } takes;
};

constexpr CommandWord kCommands[] = {
    {"--help", CommandRequest::kHelp, CommandWord::kNone},
    {"--version", CommandRequest::kVersion, CommandWord::kNone},
    {"--list", CommandRequest::kList, CommandWord::kNone},
    {"--add", CommandRequest::kAdd, CommandWord::kCom},
    {"--set", CommandRequest::kSet, CommandWord::kCom},
    {"--delete", CommandRequest::kDelete, CommandWord::kCom},
    {"--start", CommandRequest::kStart, CommandWord::kCom},
    {"--stop", CommandRequest::kStop, CommandWord::kCom},
    {"--export", CommandRequest::kExport, CommandWord::kFile},
    {"--import", CommandRequest::kImport, CommandWord::kFile},
    {"--trace", CommandRequest::kTrace, CommandWord::kCom},
    {"--monitor", CommandRequest::kMonitor, CommandWord::kCom},
};

// A decimal without sign or blanks, at most max.
bool ParseDecimal(const std::string& text, uint64_t max, uint64_t* out)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *out = std::stoull(text);
    return *out <= max;
}

// HOST:PORT, split at the last colon.
bool ParseEndpoint(const std::string& option, const std::string& text, bool dotted,
                   std::pair<std::string, std::string>* out, std::string* error)
{
    size_t colon = text.rfind(':');
    uint64_t port = 0;
    if (colon == std::string::npos || colon == 0 || !ParseDecimal(text.substr(colon + 1), 65535, &port)) {
        *error = option + " takes HOST:PORT with a port 0 to 65535, not \"" + text + "\"";
        return false;
    }
    out->first = text.substr(0, colon);
    out->second = std::to_string(port);
    if (dotted && !IsDottedIPv4(out->first)) {
        *error = option + " takes a dotted IPv4 address, not \"" + out->first + "\"";
        return false;
    }
    // A remote host is a dotted address or a host name, resolved at each connect.
    if (!dotted && !IsDottedIPv4(out->first) && !IsHostName(out->first)) {
        *error = option + " takes a dotted IPv4 address or a host name, not \"" + out->first + "\"";
        return false;
    }
    return true;
}

bool ParsePortOption(const std::vector<std::string>& args, size_t* i, CommandRequest* q,
                     std::string* error)
{
    const std::string& opt = args[*i];
    if (opt == "--detect-dtr" || opt == "--no-detect-dtr") {
        q->detectDtr = opt == "--detect-dtr";
        return true;
    }
    if (opt == "--rfc2217" || opt == "--no-rfc2217") {
        q->rfc2217 = opt == "--rfc2217";
        return true;
    }
    if (opt == "--no-custom") {
        q->custom = "";
        return true;
    }
    static const std::set<std::string> withValue = {"--mode", "--remote", "--local", "--custom",
                                                    "--keepalive", "--idle", "--dead-peer", "--line"};
    if (!withValue.count(opt)) {
        *error = "unknown option: " + opt;
        return false;
    }
    if (*i + 1 >= args.size()) {
        *error = opt + " needs a value";
        return false;
    }
    const std::string& v = args[++*i];
    uint64_t n = 0;
    if (opt == "--mode") {
        int mode = ModeIndexFromName(v.c_str());
        if (v != PortModeName(static_cast<uint32_t>(mode))) {
            *error = "--mode takes tcpclient, tcpserver or udp, not \"" + v + "\"";
            return false;
        }
        q->mode = mode;
    } else if (opt == "--remote" || opt == "--local") {
        std::pair<std::string, std::string> end;
        if (!ParseEndpoint(opt, v, opt == "--local", &end, error))
            return false;
        (opt == "--remote" ? q->remote : q->local) = end;
    } else if (opt == "--custom") {
        if (v.empty() || v.size() > kDevNameMax) {
            *error = "--custom takes a device name of 1 to 31 bytes; \"" + v + "\" has " +
                     std::to_string(v.size());
            return false;
        }
        q->custom = v;
    } else if (opt == "--line") {
        LineSettings line;
        std::string why;
        if (!ParseLineSettings(v, &line, &why)) {
            *error = "--line: " + why;
            return false;
        }
        q->line = FormatLineSettings(line);
    } else if (opt == "--dead-peer") {
        uint32_t seconds = 0;
        if (!ParseDeadPeerSeconds(v, &seconds, error))
            return false;
        q->deadPeer = seconds;
    } else if (!ParseDecimal(v, 0xFFFFFFFFu, &n)) {
        *error = opt + " takes whole seconds (0 to 4294967295), not \"" + v + "\"";
        return false;
    } else {
        (opt == "--keepalive" ? q->keepAlive : q->idle) = static_cast<uint32_t>(n);
    }
    return true;
}

// --trace's FILE made absolute, or "off" (an empty file).
bool ParseTraceTarget(const std::vector<std::string>& args, size_t* i, CommandRequest* q, std::string* error)
{
    std::error_code ec;
    if (*i >= args.size() || args[*i].empty()) {
        *error = "--trace needs a file name or off";
        return false;
    }
    const std::string& v = args[(*i)++];
    q->file = v == "off" ? std::string() : std::filesystem::absolute(v, ec).string();
    if (ec)
        *error = "--trace: bad file name \"" + v + "\"";
    return !ec;
}

}  // namespace

const char* UsageText() { return kUsage; }

PortSettings CommandRequest::Over(PortSettings s) const
{
    if (mode)
        s.mode = *mode;
    if (remote) {
        s.remoteHost = remote->first;
        s.remotePort = remote->second;
    }
    if (local) {
        s.localHost = local->first;
        s.localPort = local->second;
    }
    if (detectDtr)
        s.detectDtr = *detectDtr ? 1 : 0;
    if (custom) {
        s.useCustom = custom->empty() ? 0 : 1;
        if (!custom->empty())
            s.deviceName = *custom;
    }
    if (rfc2217)
        s.rfc2217 = *rfc2217 ? 1 : 0;
    if (line)
        s.line = *line;
    if (keepAlive)
        s.keepAlive = *keepAlive;
    if (idle)
        s.idleTime = *idle;
    if (deadPeer)
        s.deadPeer = *deadPeer;
    return s;
}

bool IsCommandLine(int argc, char** argv) { return argc > 1 && strncmp(argv[1], "--", 2) == 0; }

bool ParseCommandLine(const std::vector<std::string>& args, CommandRequest* q, std::string* error)
{
    *q = CommandRequest();
    const CommandWord* word = nullptr;
    for (const CommandWord& w : kCommands)
        if (!args.empty() && args[0] == w.word)
            word = &w;
    if (!word) {
        *error = args.empty() ? "no command given" : "unknown option: " + args[0];
        return false;
    }
    q->kind = word->kind;
    size_t i = 1;
    if (word->takes != CommandWord::kNone) {
        if (args.size() < 2) {
            *error = args[0] + (word->takes == CommandWord::kCom ? " needs a port name COM1 to COM256"
                                                                 : " needs a file name");
            return false;
        }
        const std::string& v = args[i++];
        if (word->takes == CommandWord::kFile) {
            std::error_code ec;
            q->file = v.empty() ? v : std::filesystem::absolute(v, ec).string();
            if (q->file.empty() || ec) {
                *error = args[0] + " needs a file name";
                return false;
            }
        } else if ((q->com = ComNumber(v)) < 1) {
            *error = "bad port number: \"" + v + "\" (COM1 to COM256)";
            return false;
        }
    }
    if (q->kind == CommandRequest::kTrace && !ParseTraceTarget(args, &i, q, error))
        return false;
    q->json = q->kind == CommandRequest::kList && i < args.size() && args[i] == "--json";
    i += q->json;
    const bool portOptions = q->kind == CommandRequest::kAdd || q->kind == CommandRequest::kSet;
    for (; i < args.size(); ++i) {
        if (!portOptions) {
            *error = (args[i].rfind("--", 0) == 0 ? "unknown option: " : "unexpected argument: ") + args[i];
            return false;
        }
        if (!ParsePortOption(args, &i, q, error))
            return false;
    }
    q->arguments = args;
    if (word->takes == CommandWord::kFile)
        q->arguments[1] = q->file;
    if (q->kind == CommandRequest::kTrace && !q->file.empty())
        q->arguments[2] = q->file;
    return true;
}
