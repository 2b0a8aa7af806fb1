// The command line: --list, --add, --set, --delete, --start, --stop,
// --export, --import, --help and --version. Its parser, the client that hands
// a command to the running program over the folder's control socket, and the one
// routine that carries a command out through the port commands, in the
// running program or, when none runs, in this process on the folder's files.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/options_file.h"
#include "config/port_settings.h"

class PortListView;

struct CommandRequest {
    enum Kind { kHelp, kVersion, kList, kAdd, kSet, kDelete, kStart, kStop, kExport, kImport };
    Kind kind = kHelp;
    int com = -1;      // n of the COMn given
    std::string file;  // --export and --import: an absolute path

    // --add and --set: the settings given; the others keep their values.
    std::optional<int> mode;
    std::optional<std::pair<std::string, std::string>> remote;  // host, port
    std::optional<std::pair<std::string, std::string>> local;
    std::optional<bool> detectDtr;
    std::optional<std::string> custom;  // the device name; empty: raw, the name kept
    std::optional<uint32_t> keepAlive;
    std::optional<uint32_t> idle;

    // The arguments as given, the file made absolute: the same command
    // anywhere, as handed to a running program.
    std::vector<std::string> arguments;

    // The given settings over base.
    PortSettings Over(PortSettings base) const;
};

// The exit statuses.
constexpr int kExitFailed = 1;    // the command was refused or failed
constexpr int kExitUsage = 2;     // the command line itself is wrong

// True when the arguments ask for the command line, not the window: the
// first one starts with "--" (Qt's own options take one dash).
bool IsCommandLine(int argc, char** argv);

// Reads the arguments after the program's name. False with *error one line
// when they are wrong; nothing is looked up or changed.
bool ParseCommandLine(const std::vector<std::string>& args, CommandRequest* request,
                      std::string* error);

// Where a command runs: the running program, with its window's port list, or
// this process alone on the folder's files.
struct CommandPlace {
    std::string dir;
    OptionsState* options = nullptr;
    PortListView* list = nullptr;
    bool bridges = false;  // this process runs the bridges
    std::function<void()> keepResponsive = [] {};
    std::function<bool()> ended = [] { return false; };
};

// Carries the command out on the port table: everything is checked first,
// then the port commands act. Output in *out, one line of error in *err;
// gives the exit status.
int CarryOut(const CommandRequest& request, CommandPlace& place, std::string* out, std::string* err);

// The whole command line of main(), before any QApplication: gives the exit
// status.
int RunCommandLine(int argc, char** argv);
