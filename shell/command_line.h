// The command line carried out: in the running program, which is handed
// the arguments over the control socket, or, when none runs, in this process
// on the folder's files through the same program core without bridges.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "shell/command_parse.h"
#include "shell/control_socket.h"

class PortListView;
class Program;

// Where a command runs: the running program, with its window's port list, or
// this process alone on the folder's files.
struct CommandPlace {
    Program& program;
    PortListView* list = nullptr;
    std::function<void()> keepResponsive = [] {};
    std::function<bool()> ended = [] { return false; };
    // Where --monitor leaves what follows its answer; none: no monitor here.
    std::shared_ptr<FollowSource>* follow = nullptr;
};

// Carries the command out on the port table: everything is checked first,
// then the port commands act. Output in *out, one line of error in *err;
// gives the exit status.
int CarryOut(const CommandRequest& request, CommandPlace& place, std::string* out, std::string* err);

// Arguments handed over the control socket: read, then carried out.
ControlAnswer CarryOutArguments(const std::vector<std::string>& args, CommandPlace& place);

// The whole command line of main(), before any QApplication: gives the exit
// status.
int RunCommandLine(int argc, char** argv);
