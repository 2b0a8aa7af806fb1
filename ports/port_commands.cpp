#include "ports/port_commands.h"

#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "config/autorun.h"
#include "config/export_import.h"
#include "engine/bridge.h"
#include "config/options_document.h"
#include "config/port_options.h"
#include "engine/com_name.h"
#include "engine/port_table.h"
#include "ports/pair_setup.h"
#include "ports/program.h"

const char kMsgNoSlot[] = "Add fail, reach limits of number of virtual serial port";
const char kMsgInstallFail[] = "Install driver for virtual com fail, please reinstall it!";
const char kMsgApplyFail[] = "Failed to apply setting, please recheck it";
const char kMsgOnlyOne[] = "Please select only one item in the list";
const char kMsgApplied[] = "Apply setting success";
const char kMsgSaveFail[] = "Open or Write to Option File Fail";
const char kMsgImportNotEmpty[] = "Please remove all the virtual COM ports before import!";
const char kMsgDeleteAsk[] = "Delete the selected virtual COM ports?";
const char kMsgUninstallAsk[] =
    "Delete every virtual COM port and remove the logon autostart entry?";

namespace {

constexpr int kWaitPollMs = 100;

const char kBridgeSideParams[] = "HideDevice=yes,OverrunCheck=yes";

class SteadyClock final : public WaitClock {
public:
    int64_t NowMs() override
    {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
    void SleepMs(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

// Shows the wait cursor for as long as it lives.
class WaitCursor {
public:
    explicit WaitCursor(CommandUi& ui) : ui_(ui) { ui_.BeginWait(); }
    ~WaitCursor() { ui_.EndWait(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

private:
    CommandUi& ui_;
};

}  // namespace

WaitClock& SteadyWaitClock()
{
    static SteadyClock clock;
    return clock;
}

PortCommands::PortCommands(Program& program, CommandUi& ui, PortListView& list, WaitClock& clock)
    : program_(program), options_(program.Options()), ui_(ui), list_(list), clock_(clock)
{
}

std::string WithReason(const char* message, const std::string& reason)
{
    return reason.empty() ? message : message + ("\n" + reason);
}

bool PortCommands::Save(bool startStep)
{
    // The change holds for the running program either way; the person must
    // know that it will not survive a restart.
    std::string error;
    if (SaveOptions(options_, OptionsPath(program_.Dir()).c_str(), startStep && program_.RunsBridges(), &error))
        return true;
    ui_.Message(WithReason(kMsgSaveFail, error));
    return false;
}

void PortCommands::ApplyFailed()
{
    ui_.Message(WithReason(kMsgApplyFail, program_.Pairs().LastError()));
}

namespace {

// The user side's parameter text of a record; empty when it would not fit,
// since a text cut short would name another port.
std::string UserSideParams(const PortRecord& r)
{
    char params[kParamTextMax + 1];
    int len = snprintf(params, sizeof params, "PortName=%s,OverrunCheck=yes,BaudPacing=%s", r.name,
                       r.emuBR ? "yes" : "no");
    return len < 0 || static_cast<size_t>(len) > kParamTextMax ? std::string() : std::string(params);
}

}  // namespace

int PortCommands::ApplyPort(PortRecord* r, bool* saved)
{
    if (!r || r->state.load() != STATE_STOPPED)
        return 0;
    const std::string params = UserSideParams(*r);
    char side[16];
    if (params.empty() || !program_.Pairs().Change(UserSideName(r, side, sizeof side), params)) {
        ApplyFailed();
        return 0;
    }
    bool ok = Save(true);
    if (saved)
        *saved = ok;
    return 1;
}

// A crash at any point of an Add leaves no port or the whole port: the
// options first, then the COM number's claim, then pairs.dat, whose write
// makes the pair. At the next start an options entry or a claim without a
// pair is dropped.
void PortCommands::AddPortPair(const PortSettings& settings)
{
    int n = 0;
    while (n < kPortCount && PortTable[n].number != -1)
        ++n;
    if (n == kPortCount) {
        ui_.Message(kMsgNoSlot);
        return;
    }
    PortRecord* r = &PortTable[n];
    StoreSettings(r, settings);
    r->number = n;
    list_.PortAdded(*r);

    PairSetup& pairs = program_.Pairs();
    const bool saved = Save(false);
    const int com = ComNumber(r->name);
    const bool claimedBefore = com > 0 && pairs.ComClaimed(com);
    const std::string params = UserSideParams(*r);
    bool ok = com > 0 && !params.empty();
    if (ok && (!pairs.SetComClaim(com, true) || !pairs.Install(static_cast<uint32_t>(n), params, kBridgeSideParams))) {
        ApplyFailed();
        ok = false;
    }
    // The start step of the save, as after any change of the ports.
    if (ok && saved)
        Save(true);
    if (ok && (!options_.settings.addNew || !program_.RunsBridges()))
        return;
    if (ok) {
        ok = WaitForBridgeSide(n, kAddWaitMs);
        if (ended_)
            return;
        if (ok) {
            StartBridge(r);
            return;
        }
    }
    list_.PortRemoved(n);
    // With startup on, the save has started this port's bridge: it must not
    // outlive the slot it runs on.
    StopBridge(r);
    pairs.Remove(static_cast<uint32_t>(n));
    if (com > 0 && !claimedBefore)
        pairs.SetComClaim(com, false);
    r->number = -1;
    if (saved)
        Save(false);  // without the port's entry again
    ui_.Message(kMsgInstallFail);
}

bool PortCommands::WaitForBridgeSide(int pair, int limitMs)
{
    char name[16];
    const PortRecord* r = OccupiedPort(pair);
    if (!r || !BridgeSideName(r, name, sizeof name))
        return false;
    WaitCursor cursor(ui_);
    const int64_t t0 = clock_.NowMs();
    for (;;) {
        if (program_.Pairs().DeviceExists(name))
            return true;
        // A device that could not be made does not come by waiting: the
        // bridge's start tries to make it again.
        if (!program_.Pairs().DeviceFailure(static_cast<uint32_t>(pair)).empty())
            return false;
        ui_.KeepResponsive();
        clock_.SleepMs(kWaitPollMs);
        if (ended_ || clock_.NowMs() - t0 > limitMs)
            return false;
    }
}

void PortCommands::Add()
{
    PortSettings s = LastUsedPortSettings();
    s.comNumber = -1;
    if (ui_.EditPort(&s, nullptr) && !ended_)
        AddPortPair(s);
}

void PortCommands::Delete(const Selection& selected)
{
    // One stray key press must not end ports and cut their connections.
    if (selected.empty() || !ui_.Ask(kMsgDeleteAsk))
        return;
    RemovePorts(selected);
}

void PortCommands::RemovePorts(const Selection& numbers)
{
    for (int n : numbers) {
        list_.PortRemoved(n);
        if (PortRecord* r = OccupiedPort(n)) {
            StopBridge(r);
            r->trace.Clear();
            program_.Pairs().Remove(static_cast<uint32_t>(r->number));
            r->number = -1;
        }
    }
}

void PortCommands::Start(const Selection& selected)
{
    for (int n : selected) {
        PortRecord* r = OccupiedPort(n);
        if (!r)
            continue;
        WaitForBridgeSide(n, kStartWaitMs);
        if (ended_)
            return;
        // Started whether or not the bridge side came: the bridge retries.
        StartBridge(r);
    }
}

void PortCommands::Stop(const Selection& selected)
{
    for (int n : selected)
        if (PortRecord* r = OccupiedPort(n))
            StopBridge(r);
}

void PortCommands::Apply(const Selection& selected)
{
    if (selected.empty())
        return;
    PortRecord* r = OccupiedPort(selected.front());
    bool saved = false;
    if (ApplyPort(r, &saved) == 1) {
        // A failed save has been said; success would contradict it.
        if (saved)
            ui_.Message(kMsgApplied);
    } else if (r) {
        list_.PortChanged(*r);
    }
}

void PortCommands::Property(const Selection& selected)
{
    if (selected.size() >= 2) {
        ui_.Message(kMsgOnlyOne);
        return;
    }
    LoadOptions(options_, program_.Dir().c_str());
    if (selected.empty())
        return;
    PortRecord* r = OccupiedPort(selected.front());
    if (!r)
        return;
    PortSettings s = SettingsOfRecord(*r);
    if (!ui_.EditPort(&s, r) || ended_ || r->state.load() != STATE_STOPPED || OccupiedPort(r->number) != r)
        return;

    const RecordSettingsCopy before(*r);
    const std::string oldName = r->name;
    StoreSettings(r, s);
    list_.PortChanged(*r);
    // A new name that no device holds: pairs.dat takes it next.
    if (oldName != r->name && !program_.Pairs().DeviceExists(r->name))
        SaveUnderBothNames(before);
    // A refusal has been said by ApplyPort.
    if (ApplyPort(r) == 0) {
        // The pair kept its old name: so does the record, or the settings
        // would be saved at exit under a name no pair carries, and lost.
        before.RestoreInto(r);
        list_.PortChanged(*r);
    }
}

// Until pairs.dat names the pair anew, options.dat holds its settings under
// both names: a crash in between leaves the pair its own settings, whichever
// name it carries. The next save drops the name no pair carries.
void PortCommands::SaveUnderBothNames(const RecordSettingsCopy& before)
{
    PortRecord old;
    before.RestoreInto(&old);
    OptionsDocument doc(OptionsText(options_).c_str());
    WritePortOptions(doc, old);
    std::string text;
    doc.GetText(text);
    WriteFileAtomic(AT_FDCWD, OptionsPath(program_.Dir()).c_str(), text);
}

void PortCommands::Export()
{
    std::string path = ui_.ChooseSaveFile();
    if (path.empty())
        return;
    // A failure is said: the person would otherwise trust a list that is
    // not there.
    std::string error;
    if (!SaveOptions(options_, path.c_str(), program_.RunsBridges(), &error))
        ui_.Message(WithReason(kMsgSaveFail, error));
}

void PortCommands::Import()
{
    for (const PortRecord& r : PortTable) {
        if (r.number != -1) {
            ui_.Message(kMsgImportNotEmpty);
            return;
        }
    }
    std::string path = ui_.ChooseOpenFile();
    if (path.empty())
        return;
    // All ports or none: a file that cannot be read or one bad port is
    // said, and nothing is added.
    std::string text, error;
    std::vector<PortSettings> ports;
    if (ReadDocumentFile(path.c_str(), text, &error))
        ports = ImportedPortSettings(text, LastUsedPortSettings(), &error);
    if (ports.empty()) {
        ui_.Message(error);
        return;
    }
    options_.optionsText = text;
    // Each add saves options.dat and replaces optionsText; the ports come
    // from this copy, parsed once.
    for (const PortSettings& s : ports) {
        if (ended_)
            return;
        AddPortPair(s);
    }
}

void PortCommands::Option()
{
    // The file wins over memory; without a file the flags stay as they are.
    LoadOptions(options_, program_.Dir().c_str());
    StartupSettings flags = options_.settings;
    if (!ui_.EditOptions(&flags))
        return;
    options_.settings = flags;
    // Brought into line at every OK, whether or not the flag changed.
    SetLogonAutorun(flags.autoRun != 0);
    Save(true);
}

void PortCommands::Uninstall()
{
    if (!ui_.Ask(kMsgUninstallAsk))
        return;
    Selection all;
    for (const PortRecord& r : PortTable)
        if (r.number != -1)
            all.push_back(r.number);
    RemovePorts(all);
    // The flag goes with the entry, or the next Option OK would bring it back.
    options_.settings.autoRun = 0;
    SetLogonAutorun(0);
    Save(false);
}
