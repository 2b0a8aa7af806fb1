// The commands of the program, apart from any window: Add, Delete, Start,
// Stop, Apply, Property, Export, Import and Option (Repair is com_repair.h).
// They work on port settings and port records; what they need of a person
// goes through CommandUi, and the port list follows them through
// PortListView. The main window's handlers only call them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config/options_file.h"
#include "config/port_settings.h"

struct PortRecord;
struct RecordSettingsCopy;
class Program;

// What the commands ask of a person: messages, the two dialogs that collect
// values, file choice and the wait cursor.
class CommandUi {
public:
    virtual ~CommandUi() = default;
    // A message box with an OK button only.
    virtual void Message(const std::string& text) = 0;
    // A Yes/No question; true for Yes.
    virtual bool Ask(const std::string& text) = 0;
    // The port settings dialog: a new port (record nullptr) or the record's
    // Property. True on OK, with the settings filled.
    virtual bool EditPort(PortSettings* settings, const PortRecord* record) = 0;
    // The Option dialog. True on OK, with the flags changed.
    virtual bool EditOptions(StartupSettings* flags) = 0;
    // A file to write or to read; empty when the person cancelled.
    virtual std::string ChooseSaveFile() = 0;
    virtual std::string ChooseOpenFile() = 0;
    virtual void BeginWait() = 0;
    virtual void EndWait() = 0;
    // Lets the window paint and take port states during a wait.
    virtual void KeepResponsive() = 0;
};

// The port list as the commands change it.
class PortListView {
public:
    virtual ~PortListView() = default;
    virtual void PortAdded(const PortRecord& record) = 0;    // a row appended
    virtual void PortRemoved(int number) = 0;                // its row deleted
    virtual void PortChanged(const PortRecord& record) = 0;  // its row rewritten
};

// A port list nobody sees: the command line while no program runs.
class NoPortList final : public PortListView {
public:
    void PortAdded(const PortRecord&) override {}
    void PortRemoved(int) override {}
    void PortChanged(const PortRecord&) override {}
};

// The time of the waits for a bridge side, so tests never really sleep.
class WaitClock {
public:
    virtual ~WaitClock() = default;
    virtual int64_t NowMs() = 0;  // monotonic
    virtual void SleepMs(int ms) = 0;
};
WaitClock& SteadyWaitClock();

// The messages of the commands.
extern const char kMsgNoSlot[];
extern const char kMsgInstallFail[];
extern const char kMsgApplyFail[];
extern const char kMsgOnlyOne[];
extern const char kMsgApplied[];
extern const char kMsgSaveFail[];
extern const char kMsgImportNotEmpty[];
extern const char kMsgDeleteAsk[];
extern const char kMsgUninstallAsk[];

// A message and, on a line of its own when there is one, its reason.
std::string WithReason(const char* message, const std::string& reason);

class PortCommands {
public:
    // The commands' limits on the wait for a pair's bridge side.
    static constexpr int kStartWaitMs = 5000;
    static constexpr int kAddWaitMs = 10000;

    // The commands act on the program's folder, options and pairs; a
    // program that runs no bridges (the command line while no copy of the
    // program runs) leaves every new port stopped, for the program to start
    // when it next runs.
    PortCommands(Program& program, CommandUi& ui, PortListView& list, WaitClock& clock = SteadyWaitClock());

    // The selection: pair numbers of the selected rows, from the top.
    using Selection = std::vector<int>;

    void Add();
    void Delete(const Selection& selected);
    void Start(const Selection& selected);
    void Stop(const Selection& selected);
    void Apply(const Selection& selected);
    void Property(const Selection& selected);
    void Export();
    void Import();
    void Option();
    // Asks, then stops and deletes every port (pairs, links, COM claims and
    // options entries) and removes the logon autostart entry.
    void Uninstall();

    // Gives the record's user side its COM name and saves the options. 1 on
    // success (*saved tells whether the save reached the disk), 0 when the
    // port runs or the name was refused (with a message).
    int ApplyPort(PortRecord* record, bool* saved = nullptr);
    // Makes a new pair in the lowest free slot from the settings and appends
    // its row; on failure gives up row, pair and slot with a message.
    void AddPortPair(const PortSettings& settings);
    // Waits up to limitMs for the pair's bridge side to exist, the window
    // painting meanwhile. False when it did not appear in time.
    bool WaitForBridgeSide(int pair, int limitMs);
    // Writes options.dat; a file that cannot be written is said. True when written.
    bool Save(bool startStep);

    // The program has ended: a command running a dialog or a wait stops.
    void MarkEnded() { ended_ = true; }

private:
    void ApplyFailed();  // kMsgApplyFail with the pair layer's reason
    void RemovePorts(const Selection& numbers);
    void SaveUnderBothNames(const RecordSettingsCopy& before);

    Program& program_;
    OptionsState& options_;
    CommandUi& ui_;
    PortListView& list_;
    WaitClock& clock_;
    bool ended_ = false;
};
