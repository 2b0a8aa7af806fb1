#include "shell/command_line.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "config/data_dir.h"
#include "config/version.h"
#include "config/export_import.h"
#include "engine/com_name.h"
#include "engine/diagnostics.h"
#include "engine/port_table.h"
#include "ports/pair_setup.h"
#include "ports/port_commands.h"
#include "ports/program.h"
#include "shell/list_json.h"
#include "shell/monitor.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kAnswerWait = std::chrono::seconds(5);
// After the program took the command: an Add may wait 10 s for its pair.
constexpr auto kCommandWait = std::chrono::seconds(60);
// After --start: long enough for a bridge's first bind or connect attempt.
constexpr int kFirstAttemptMs = 1500;
constexpr int kFirstAttemptPollMs = 50;

PortRecord* FindPort(const std::string& name)
{
    for (PortRecord& r : PortTable)
        if (r.number != -1 && name == r.name)
            return &r;
    return nullptr;
}

std::string ListText(PairSetup& pairs)
{
    char line[512];
    snprintf(line, sizeof line, "%-3s %-7s %-9s %-22s %-22s %-10s %s  %s\n", "No", "Name", "Mode",
             "Remote", "Local", "State", "Device", "Reason");
    std::string text = line;
    for (const PortRecord& r : PortTable) {
        if (r.number == -1)
            continue;
        char port[16];
        std::string remote = std::string(DstAddrText(&r)) + ":" + DstPortText(&r, port, sizeof port);
        std::string local = std::string(LocAddrText(&r)) + ":" + LocPortText(&r, port, sizeof port);
        const int32_t state = r.state.load();
        // A CUSE port's device is named too: serial port listers show that name.
        std::string device = pairs.DevicePath(r.name), target = pairs.DeviceTarget(r.name);
        if (target.compare(0, 5, "/dev/") == 0)
            device += " -> " + target;
        snprintf(line, sizeof line, "%-3d %-7s %-9s %-22s %-22s %-10s %s", r.number, r.name,
                 PortModeName(r.mode), remote.c_str(), local.c_str(), PortStateText(state), device.c_str());
        text += line;
        if (state != STATE_STOPPED && r.lastError.load() != 0)
            text += "  " + LastFailureText(&r);
        text += "\n";
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

bool NameInUse(PairSetup& pairs, const std::string& name)
{
    return FindPort(name) || pairs.DeviceExists(name);
}

// Import's checks: an empty table, a readable list of free names.
bool CheckImport(PairSetup& pairs, const std::string& path, std::string* error)
{
    int ports = 0;
    for (const PortRecord& r : PortTable)
        ports += r.number != -1;
    std::string text;
    if (ports > 0) {
        *error = "--import needs an empty port list: delete the " + std::to_string(ports) + " ports first";
    } else if (ReadDocumentFile(path.c_str(), text, error)) {
        for (const PortSettings& s : ImportedPortSettings(text, LastUsedPortSettings(), error))
            if (NameInUse(pairs, ComName(s.comNumber)))
                *error = ComName(s.comNumber) + " is already in use by another device";
    }
    return error->empty();
}

int Fail(std::string* err, std::string text)
{
    *err = std::move(text);
    return kExitFailed;
}

// The settings of --add or --set: the given ones over the port's, or over
// the first values of a new port.
PortSettings GivenSettings(const CommandRequest& q, const PortRecord* r)
{
    if (r && q.kind == CommandRequest::kSet)
        return q.Over(SettingsOfRecord(*r));
    PortSettings base = DefaultPortSettings();
    // A server's remote end filters its clients: unless one is given, any
    // client may connect.
    if (q.mode == MODE_TCPSERVER) {
        base.remoteHost = "0.0.0.0";
        base.remotePort = "0";
    }
    PortSettings s = q.Over(base);
    s.comNumber = q.com;
    return s;
}

// After a start: a port without its serial device, which its bridge finds
// before its first post, and a tcpserver's first bind, made at once: such a
// port does not serve, which the caller must learn. (The other modes first
// try seconds later; --list shows their reason.)
std::string FirstAttemptFailure(const PortRecord& r, CommandPlace& place)
{
    for (int waited = 0; waited < kFirstAttemptMs && !place.ended(); waited += kFirstAttemptPollMs) {
        const int32_t state = r.state.load();  // before the failure, which is noted before any post
        if (r.lastError.load() == ENODEV)
            return r.name + std::string(" is started but has no serial device: ") + LastFailureText(&r);
        if (r.waitingToBind.load())
            return r.name + std::string(" is started and waits to bind: ") + LastFailureText(&r);
        if (state >= STATE_CONNECTED || r.lastError.load() != 0 ||
            (r.mode != MODE_TCPSERVER && state != STATE_STOPPED))
            break;
        place.keepResponsive();
        std::this_thread::sleep_for(std::chrono::milliseconds(kFirstAttemptPollMs));
    }
    return {};
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

// What refuses the command before anything changes; empty when nothing does.
std::string Refusal(const CommandRequest& q, Program& program, const PortRecord* r, std::string* err)
{
    const std::string name = ComName(q.com);
    const bool bridges = q.kind == CommandRequest::kStart || q.kind == CommandRequest::kStop ||
                         q.kind == CommandRequest::kTrace || q.kind == CommandRequest::kMonitor;
    if (bridges && !program.RunsBridges())
        return "no running instance: bridges run only in the running program "
               "(velkaro_redi -platform offscreen, or its service)";
    if ((bridges || q.kind == CommandRequest::kSet || q.kind == CommandRequest::kDelete) && !r)
        return "no port " + name;
    if (q.kind == CommandRequest::kAdd && NameInUse(program.Pairs(), name))
        return name + " is already in use";
    if (q.kind == CommandRequest::kSet && r->state.load() != STATE_STOPPED)
        return name + " is running: stop it first (--stop " + name + ")";
    if ((q.kind == CommandRequest::kAdd || q.kind == CommandRequest::kSet) &&
        !CheckPortSettings(GivenSettings(q, r), err))
        return *err;
    if (q.kind == CommandRequest::kImport && !CheckImport(program.Pairs(), q.file, err))
        return *err;
    return {};
}

}  // namespace

int CarryOut(const CommandRequest& q, CommandPlace& place, std::string* out, std::string* err)
{
    PortRecord* r = FindPort(ComName(q.com));
    if (std::string why = Refusal(q, place.program, r, err); !why.empty())
        return Fail(err, why);
    PortCommands* bound = nullptr;
    QuietUi ui(place, bound);
    PortCommands commands(place.program, ui, *place.list);
    bound = &commands;
    switch (q.kind) {
    case CommandRequest::kHelp:
        *out = UsageText();
        return 0;
    case CommandRequest::kVersion:
        *out = std::string(kVersionText) + "\n";
        return 0;
    case CommandRequest::kList:
        *out = q.json ? ListJson(place.program.Pairs()) : ListText(place.program.Pairs());
        return 0;
    case CommandRequest::kTrace:
        if (q.file.empty())
            r->trace.StopFile();
        else if (!r->trace.StartFile(q.file, TraceFile::kDefaultCap, err))
            return Fail(err, "--trace failed: " + *err);
        return 0;
    case CommandRequest::kMonitor:
        if (!place.follow)
            return Fail(err, "--monitor needs the running program");
        *place.follow = PortMonitor::Attach(r);
        return 0;
    case CommandRequest::kAdd:
        commands.AddPortPair(GivenSettings(q, r));
        break;
    case CommandRequest::kSet:
        ui.settings = GivenSettings(q, r);
        commands.Property({r->number});
        break;
    case CommandRequest::kDelete:
        commands.Delete({r->number});
        commands.Save(false);
        break;
    case CommandRequest::kStart:
        commands.Start({r->number});
        if (std::string why = FirstAttemptFailure(*r, place); !why.empty())
            return Fail(err, why);
        break;
    case CommandRequest::kStop:
        commands.Stop({r->number});
        break;
    case CommandRequest::kExport:
        ui.file = q.file;
        commands.Export();
        break;
    case CommandRequest::kImport:
        ImportPorts(q, commands, ui);
        break;
    }
    if (!ui.messages.empty()) {
        // One line: a message's reason follows on its own line in a window.
        std::string said = ui.messages.front();
        for (size_t at; (at = said.find('\n')) != std::string::npos;)
            said.replace(at, 1, ": ");
        return Fail(err, q.arguments[0] + " failed: " + said);
    }
    if (place.ended())
        return Fail(err, "the program ended during the command");
    return 0;
}

namespace {

// This process on the folder's files. *held when another copy owns the folder.
int RunHere(const CommandRequest& q, const std::string& dir, std::string* out, std::string* err, bool* held)
{
    Program program(dir);
    switch (program.Open(nullptr, false)) {
    case Program::Opened::kNoFolder:
        return Fail(err, program.OpenError());
    case Program::Opened::kHeld:
        *held = true;
        return kExitFailed;
    case Program::Opened::kOwner:
        break;
    }
    // Saving over a file that could not be read would lose its ports.
    if (program.OptionsUnreadable())
        return Fail(err, program.OptionsError() + "; nothing changed");
    NoPortList list;
    CommandPlace place{program, &list};
    return CarryOut(q, place, out, err);
}

// The command to the program running on dir, or, when none runs, carried
// out here; asked again while the folder's owner takes nothing.
int HandOverOrRunHere(const CommandRequest& q, const std::string& dir, std::string* out, std::string* err)
{
    const Clock::time_point end = Clock::now() + kAnswerWait;
    int rc = kExitFailed;
    for (bool done = false; !done;) {
        ControlAnswer answer;
        bool held = false;
        switch (AskRunningProgram(dir, q.arguments, end, kCommandWait, &answer)) {
        case Asked::kAnswered:
            rc = answer.status;
            *(rc == 0 ? out : err) = answer.text;
            done = true;
            break;
        case Asked::kRefused:
            *err = answer.text;
            done = true;
            break;
        case Asked::kUnknown:
            // Asking again could carry the command out twice.
            *err = "the running program on " + dir + " did not answer; the command's outcome is unknown";
            done = true;
            break;
        case Asked::kNobody:
            rc = RunHere(q, dir, out, err, &held);
            done = !held;
            break;
        case Asked::kSilent:
            break;
        }
        // The owner is starting or busy, and has run nothing: asked again
        // until the limit.
        if (!done && Clock::now() >= end) {
            *err = "the running program on " + dir + " does not answer within 5 s";
            rc = kExitFailed;
            done = true;
        } else if (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    return rc;
}

// --monitor: the lines printed as they come, until the program ends (or a
// signal ends this process).
int Monitor(const CommandRequest& q, const std::string& dir)
{
    ControlAnswer answer;
    auto print = [](const std::string& text) {
        fwrite(text.data(), 1, text.size(), stdout);
        fflush(stdout);
    };
    switch (AskAndFollow(dir, q.arguments, Clock::now() + kAnswerWait, print, &answer)) {
    case Asked::kAnswered:
        if (answer.status != 0)
            LogNote("velkaro_redi: %s\n", answer.text.c_str());
        return answer.status;
    case Asked::kRefused:
        LogNote("velkaro_redi: %s\n", answer.text.c_str());
        return kExitFailed;
    case Asked::kNobody:
        LogNote("velkaro_redi: no running instance on %s: --monitor needs the running program\n", dir.c_str());
        return kExitFailed;
    default:
        LogNote("velkaro_redi: the running program on %s does not answer\n", dir.c_str());
        return kExitFailed;
    }
}

}  // namespace

ControlAnswer CarryOutArguments(const std::vector<std::string>& args, CommandPlace& place)
{
    CommandRequest request;
    ControlAnswer answer;
    std::string out, err;
    CommandPlace here = place;
    here.follow = &answer.follow;
    if (!ParseCommandLine(args, &request, &err))
        answer.status = kExitUsage;
    else
        answer.status = CarryOut(request, here, &out, &err);
    answer.text = answer.status == 0 ? out : err;
    return answer;
}

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
            fputs(UsageText(), stdout);
        return 0;
    }
    const std::string dir = DataDirectory(GetProgramDirectory());
    if (dir.empty()) {
        LogNote("velkaro_redi: no folder for the program's files\n");
        return kExitFailed;
    }
    if (q.kind == CommandRequest::kMonitor)
        return Monitor(q, dir);
    std::string out, err;
    const int rc = HandOverOrRunHere(q, dir, &out, &err);
    fputs(out.c_str(), stdout);
    if (!err.empty())
        LogNote("velkaro_redi: %s\n", err.c_str());
    return rc;
}
