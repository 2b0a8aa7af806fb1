// The program itself, apart from any window: its folder, its options, the
// pair layer and the port table; discovery of the installed ports, the start
// of their bridges, and the end with the shutdown save. The window, the
// tray, the command line and the control socket are its clients.
//
// The port table and the engine's bridge-side provider are the process's
// own, so one Program at a time is open in a process.
#pragma once

#include <memory>
#include <string>

#include "config/options_file.h"
#include "engine/port_table.h"
#include "ports/pair_setup.h"

class Program final : private PortStateTarget {
public:
    enum class Opened {
        kOwner,     // this process owns the folder and its pairs
        kHeld,      // another running copy owns the folder: nothing may change
        kNoFolder,  // the folder cannot be opened, or its lock had: OpenError says why
    };

    explicit Program(std::string dir);
    // Ends as Stop(false) does when Stop was not called.
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // Loads the options, opens the pair layer and discovers the installed
    // ports into the port table, whose state changes go to target. With
    // bridges on, this process runs the bridges (the program); off, it only
    // changes the folder's files (the command line), on pseudo-terminals.
    // backend is what the user asked for ("pty", "cuse", or nullptr to
    // let /dev/cuse decide). Call once.
    Opened Open(PortStateTarget* target, bool bridges, const char* backend = "pty");
    // Which backend the ports use and why, for a user to read.
    const std::string& BackendNote() const { return backendNote_; }
    // Starts the bridge of every port with a COM name when STARTUP is on.
    void StartBridges();
    // Every bridge asked to stop at once, then stopped and waited for, the
    // options written (save on), the pair layer closed: its pairs end.
    // False when the save failed, with *error naming the file and the
    // reason. Runs once; later calls give true.
    bool Stop(bool save, std::string* error = nullptr);

    const std::string& Dir() const { return dir_; }
    OptionsState& Options() { return options_; }
    // Valid between a successful Open and Stop.
    PairSetup& Pairs() { return *pairs_; }
    bool RunsBridges() const { return bridges_; }
    bool Ended() const { return ended_; }
    // options.dat exists but could not be read: saving would lose its ports.
    bool OptionsUnreadable() const { return !optionsError_.empty(); }
    const std::string& OptionsError() const { return optionsError_; }
    const std::string& OpenError() const { return openError_; }

private:
    void Discover();
    // Passes every state on to the user's target; CTS, DSR and DCD of a
    // CUSE port follow the connection on the way.
    void PostPortStateMessage(PortRecord* record, int32_t state) override;

    std::string dir_;
    OptionsState options_;
    std::unique_ptr<PairSetup> pairs_;
    PortStateTarget* target_ = nullptr;
    std::string backendNote_;
    bool bridges_ = false;
    bool ended_ = false;
    std::string optionsError_;
    std::string openError_;
};
