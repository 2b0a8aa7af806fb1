#include "shell/command_line.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>

#include "config/data_dir.h"
#include "config/export_import.h"
#include "config/version.h"
#include "engine/diagnostics.h"
#include "engine/com_name.h"
#include "engine/file_io.h"
#include "engine/port_table.h"
#include "ports/pair_setup.h"
#include "ports/port_commands.h"
#include "ports/port_list.h"
#include "shell/control_socket.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kDevNameMax = sizeof PortRecord::devName - 1;
constexpr auto kAnswerWait = std::chrono::seconds(5);
// After the program took the command: an Add may wait 10 s for its pair.
constexpr auto kCommandWait = std::chrono::seconds(60);

const char kUsage[] =
    "usage: velkaro_redi [-platform offscreen]     run the program (window, tray, bridges)\n"
    "       velkaro_redi --list\n"
    "       velkaro_redi --add COMn [PORT OPTIONS]\n"
    "       velkaro_redi --set COMn [PORT OPTIONS]  (a stopped port; options not given stay)\n"
    "       velkaro_redi --delete COMn | --start COMn | --stop COMn\n"
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
    "When the program runs on the same folder, it carries the command out;\n"
    "otherwise the command changes the folder's files (--start and --stop need the program).\n"
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
    in_addr a{};
    if (dotted && inet_pton(AF_INET, out->first.c_str(), &a) != 1) {
        *error = option + " takes a dotted IPv4 address, not \"" + out->first + "\"";
        return false;
    }
    // A remote host is a dotted address or a host name, resolved at each connect.
    const bool name = out->first.size() <= 253 &&
                      out->first.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                   "0123456789.-_") == std::string::npos;
    if (!dotted && !name) {
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
    if (opt == "--no-custom") {
        q->custom = "";
        return true;
    }
    static const std::set<std::string> withValue = {"--mode", "--remote", "--local", "--custom",
                                                    "--keepalive", "--idle"};
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
    } else if (!ParseDecimal(v, 0xFFFFFFFFu, &n)) {
        *error = opt + " takes whole seconds (0 to 4294967295), not \"" + v + "\"";
        return false;
    } else {
        (opt == "--keepalive" ? q->keepAlive : q->idle) = static_cast<uint32_t>(n);
    }
    return true;
}

PortRecord* FindPort(const std::string& name)
{
    for (PortRecord& r : PortTable)
        if (r.number != -1 && name == r.name)
            return &r;
    return nullptr;
}

std::string ListText()
{
    char line[512];
    snprintf(line, sizeof line, "%-3s %-7s %-9s %-22s %-22s %-10s %s\n", "No", "Name", "Mode",
             "Remote", "Local", "State", "Device");
    std::string text = line;
    for (const PortRecord& r : PortTable) {
        if (r.number == -1)
            continue;
        char port[16];
        std::string remote = std::string(DstAddrText(&r)) + ":" + DstPortText(&r, port, sizeof port);
        std::string local = std::string(LocAddrText(&r)) + ":" + LocPortText(&r, port, sizeof port);
        snprintf(line, sizeof line, "%-3d %-7s %-9s %-22s %-22s %-10s %s\n", r.number, r.name,
                 PortModeName(r.mode), remote.c_str(), local.c_str(), PortStateText(r.state.load()),
                 PairDevicePath(r.name).c_str());
        text += line;
    }
    return text;
}

// What the commands would ask of a person, answered from the command line.
class QuietUi final : public CommandUi {
public:
    QuietUi(CommandPlace& place, PortCommands*& commands) : place_(place), commands_(commands) {}

    std::vector<std::string> messages;
    std::optional<PortSettings> settings;  // the port dialog's answer
    std::string file;

    void Message(const std::string& text) override { messages.push_back(text); }
    // The command line is the confirmation: "--delete COM7" was typed.
    bool Ask(const std::string&) override { return true; }
    bool EditPort(PortSettings* s, const PortRecord*) override
    {
        if (settings)
            *s = *settings;
        return settings.has_value();
    }
    bool EditOptions(StartupSettings*) override { return false; }
    std::string ChooseSaveFile() override { return file; }
    std::string ChooseOpenFile() override { return file; }
    void BeginWait() override {}
    void EndWait() override {}
    void KeepResponsive() override
    {
        place_.keepResponsive();
        if (place_.ended() && commands_)
            commands_->MarkEnded();
    }

private:
    CommandPlace& place_;
    PortCommands*& commands_;
};

class NoList final : public PortListView {
public:
    void PortAdded(const PortRecord&) override {}
    void PortRemoved(int) override {}
    void PortChanged(const PortRecord&) override {}
};

class NoTarget final : public PortStateTarget {
public:
    void PostPortStateMessage(PortRecord*, int32_t) override {}
};

bool NameInUse(const std::string& name)
{
    return FindPort(name) || DeviceNameExists(name.c_str(), 128);
}

// Import's checks: an empty table, a readable list of free names.
bool CheckImport(const std::string& path, std::string* error)
{
    int ports = 0;
    for (const PortRecord& r : PortTable)
        ports += r.number != -1;
    std::string text;
    if (ports > 0) {
        *error = "--import needs an empty port list: delete the " + std::to_string(ports) + " ports first";
    } else if (!ReadDocumentFile(path.c_str(), text)) {
        *error = "cannot read " + path;
    } else {
        std::vector<PortSettings> list = ImportedPortSettings(text, LastUsedPortSettings());
        if (list.empty())
            *error = path + " holds no ports COM1 to COM256";
        for (const PortSettings& s : list)
            if (NameInUse(ComName(s.comNumber)))
                *error = ComName(s.comNumber) + " is already in use by another device";
    }
    return error->empty();
}

int Fail(std::string* err, std::string text)
{
    *err = std::move(text);
    return kExitFailed;
}

}  // namespace

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
    if (keepAlive)
        s.keepAlive = *keepAlive;
    if (idle)
        s.idleTime = *idle;
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
    return true;
}

void AddPort(const CommandRequest& q, PortCommands& commands)
{
    PortSettings base = DefaultPortSettings();
    // A server's remote end filters its clients: unless one is given, any
    // client may connect.
    if (q.mode == MODE_TCPSERVER) {
        base.remoteHost = "0.0.0.0";
        base.remotePort = "0";
    }
    PortSettings s = q.Over(base);
    s.comNumber = q.com;
    commands.AddPortPair(s);
}

void ImportPorts(const CommandRequest& q, PortCommands& commands, QuietUi& ui)
{
    ui.file = q.file;
    commands.Import();
    if (ui.messages.empty())
        return;
    // All or nothing: the table was empty before.
    for (PortRecord& p : PortTable)
        if (p.number != -1)
            commands.Delete({p.number});
    commands.Save(false);
}

int CarryOut(const CommandRequest& q, CommandPlace& place, std::string* out, std::string* err)
{
    PortCommands* bound = nullptr;
    QuietUi ui(place, bound);
    PortCommands commands(place.dir, *place.options, ui, *place.list);
    bound = &commands;
    if (!place.bridges)
        commands.RunNoBridges();

    const std::string name = ComName(q.com);
    PortRecord* r = FindPort(name);
    const bool needsPort = q.kind == CommandRequest::kSet || q.kind == CommandRequest::kDelete ||
                           q.kind == CommandRequest::kStart || q.kind == CommandRequest::kStop;
    if ((q.kind == CommandRequest::kStart || q.kind == CommandRequest::kStop) && !place.bridges)
        return Fail(err, "no running instance: bridges run only in the running program "
                         "(velkaro_redi -platform offscreen, or its service)");
    if (needsPort && !r)
        return Fail(err, "no port " + name);

    switch (q.kind) {
    case CommandRequest::kHelp:
    case CommandRequest::kVersion:
        *out = q.kind == CommandRequest::kHelp ? kUsage : std::string(kVersionText) + "\n";
        return 0;
    case CommandRequest::kList:
        *out = ListText();
        return 0;
    case CommandRequest::kAdd:
        if (NameInUse(name))
            return Fail(err, name + " is already in use");
        AddPort(q, commands);
        break;
    case CommandRequest::kSet:
        if (r->state.load() != STATE_STOPPED)
            return Fail(err, name + " is running: stop it first (--stop " + name + ")");
        ui.settings = q.Over(SettingsOfRecord(*r));
        commands.Property({r->number});
        break;
    case CommandRequest::kDelete:
        commands.Delete({r->number});
        commands.Save(false);
        break;
    case CommandRequest::kStart:
        commands.Start({r->number});
        break;
    case CommandRequest::kStop:
        commands.Stop({r->number});
        break;
    case CommandRequest::kExport:
        ui.file = q.file;
        commands.Export();
        break;
    case CommandRequest::kImport:
        if (!CheckImport(q.file, err))
            return kExitFailed;
        ImportPorts(q, commands, ui);
        break;
    }
    if (!ui.messages.empty())
        return Fail(err, q.arguments[0] + " failed: " + ui.messages.front());
    if (place.ended())
        return Fail(err, "the program ended during the command");
    return 0;
}

namespace {

// This process on the folder's files. *held when another copy owns the folder.
int RunHere(const CommandRequest& q, const std::string& dir, std::string* out, std::string* err,
            bool* held)
{
    // The records keep their target after this returns.
    static NoTarget target;
    InitPortTable(&target);
    if (!OpenPairSetup(dir))
        return Fail(err, "cannot open the folder " + dir);
    int rc = kExitFailed;
    OptionsState options;
    if (!CurrentPairSetup()->OwnsFolder()) {
        *held = true;
    } else if (!LoadOptions(options, dir.c_str()) && access(OptionsPath(dir).c_str(), F_OK) == 0) {
        // Saving over a file that could not be read would lose its ports.
        *err = "cannot read " + OptionsPath(dir) + "; nothing changed";
    } else {
        DiscoverPortRecords(options.optionsText.c_str());
        NoList list;
        CommandPlace place{dir, &options, &list};
        rc = CarryOut(q, place, out, err);
    }
    ClosePairSetup();
    return rc;
}

enum class Asked { kAnswered, kNobody, kSilent, kRefused };

// Hands the command to the program listening in dir.
Asked AskRunningProgram(const std::string& dir, const CommandRequest& q, Clock::time_point end,
                        int* rc, std::string* text)
{
    bool relative = false;
    sockaddr_un a = ControlAddress(dir, &relative);
    if (relative && chdir(dir.c_str()) != 0)
        return Asked::kNobody;
    UniqueFd s(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (connect(s.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (errno != EACCES && errno != EPERM)
            return errno == EAGAIN ? Asked::kSilent : Asked::kNobody;
        *text = "the running program's control socket in " + dir + " belongs to another user";
        return Asked::kRefused;
    }
    // A socket of another user is not the program's: never tell it anything.
    uid_t uid = 0;
    if (!PeerIsOwnUser(s.Get(), &uid)) {
        *text = "the control socket in " + dir + " is served by another user";
        return Asked::kRefused;
    }
    std::string request;
    for (const std::string& arg : q.arguments)
        request.append(arg).push_back('\0');
    for (size_t sent = 0; sent < request.size();) {
        if (!WaitReady(s.Get(), POLLOUT, end))
            return Asked::kSilent;
        ssize_t n = send(s.Get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return Asked::kSilent;
        sent += n > 0 ? static_cast<size_t>(n) : 0;
    }
    shutdown(s.Get(), SHUT_WR);
    std::string answer;
    for (;;) {
        // The first byte within the limit; then the command's own time.
        if (!WaitReady(s.Get(), POLLIN, answer.empty() ? end : Clock::now() + kCommandWait))
            return Asked::kSilent;
        char buf[4096];
        ssize_t n = recv(s.Get(), buf, sizeof buf, 0);
        if (n == 0)
            break;
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return Asked::kSilent;
        answer.append(buf, n > 0 ? static_cast<size_t>(n) : 0);
    }
    size_t eol = answer.find('\n');
    if (answer.size() < 2 || answer[0] != '+' || eol == std::string::npos)
        return Asked::kSilent;
    *rc = atoi(answer.c_str() + 1);
    *text = answer.substr(eol + 1);
    return Asked::kAnswered;
}

}  // namespace

int RunCommandLine(int argc, char** argv)
{
    CommandRequest q;
    std::string error;
    if (!ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), &q, &error)) {
        LogNote("velkaro_redi: %s (see --help)\n", error.c_str());
        return kExitUsage;
    }
    if (q.kind == CommandRequest::kHelp || q.kind == CommandRequest::kVersion) {
        if (q.kind == CommandRequest::kVersion)
            printf("%s\n", kVersionText);
        else
            fputs(kUsage, stdout);
        return 0;
    }
    const std::string dir = DataDirectory(GetProgramDirectory());
    if (dir.empty()) {
        LogNote("velkaro_redi: no folder for the program's files\n");
        return kExitFailed;
    }
    const Clock::time_point end = Clock::now() + kAnswerWait;
    int rc = kExitFailed;
    std::string out, err;
    for (;;) {
        Asked asked = AskRunningProgram(dir, q, end, &rc, &out);
        if (asked == Asked::kRefused) {
            std::swap(out, err);
            rc = kExitFailed;
            break;
        }
        if (asked == Asked::kAnswered) {
            if (rc != 0)
                std::swap(out, err);
            break;
        }
        bool held = false;
        if (asked == Asked::kNobody) {
            rc = RunHere(q, dir, &out, &err, &held);
            if (!held)
                break;
        }
        // The owner is starting or busy: asked again until the limit.
        if (Clock::now() >= end) {
            err = "the running program on " + dir + " does not answer within 5 s";
            rc = kExitFailed;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    fputs(out.c_str(), stdout);
    if (!err.empty())
        LogNote("velkaro_redi: %s\n", err.c_str());
    return rc;
}
