// The application: the folder of the program's files, the program core and
// its window, the control socket, a second start on a held folder, and the
// signals that end the program like "Exit".
#pragma once

#include "ports/program.h"

class MainWindow;

class App {
public:
    // Runs the program until the main window ends; gives the exit status.
    int Run();
};

// Opens the program with the window as the target of its port states, shows
// the window's rows and starts the bridges (STARTUP).
Program::Opened StartProgram(Program& program, MainWindow& window);
