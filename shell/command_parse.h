// The command line's words: --list, --add, --set, --delete, --start, --stop,
// --trace, --monitor, --export, --import, --help and --version, read into a request. Nothing here looks
// anything up or changes anything.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/port_settings.h"

struct CommandRequest {
    enum Kind { kHelp, kVersion, kList, kAdd, kSet, kDelete, kStart, kStop, kExport, kImport, kTrace, kMonitor };
    Kind kind = kHelp;
    int com = -1;      // n of the COMn given
    std::string file;  // --export, --import and --trace: an absolute path; --trace off: empty
    bool json = false; // --list --json

    // --add and --set: the settings given; the others keep their values.
    std::optional<int> mode;
    std::optional<std::pair<std::string, std::string>> remote;  // host, port
    std::optional<std::pair<std::string, std::string>> local;
    std::optional<bool> detectDtr;
    std::optional<std::string> custom;  // the device name; empty: raw, the name kept
    std::optional<uint32_t> keepAlive;
    std::optional<uint32_t> idle;
    std::optional<bool> rfc2217;
    std::optional<std::string> line;  // as FormatLineSettings writes it
    std::optional<uint32_t> deadPeer;

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
// when they are wrong.
bool ParseCommandLine(const std::vector<std::string>& args, CommandRequest* request, std::string* error);

// The text of --help.
const char* UsageText();
