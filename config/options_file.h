// The options file "options.dat" beside the executable: the start-up flags
// and every port's settings, written from the port table and read back.
// Plain functions over OptionsState so that the main window and tests share
// them without a display.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "config/data_dir.h"
#include "engine/file_io.h"

// Booleans as 32-bit integers, non-zero is on.
struct StartupSettings {
    int32_t addNew = 0;     // start a port's bridge when the port is added
    int32_t startup = 0;    // start the bridges at program start and at every save
    int32_t detectDsr = 0;  // kept and written back only
    int32_t autoRun = 0;    // start at logon
};

// What the main window holds: the flags and the text of the last options
// document read or written.
struct OptionsState {
    StartupSettings settings;
    std::string optionsText;
};

// The options document of the flags and the port table.
std::string OptionsText(const OptionsState& state);

// Writes the options document to `path`, replacing the file whole through a
// temporary file and a rename, and puts the text into state.optionsText.
// Then, with startStep on and the startup flag on, every port whose bridge is
// not running is started; running bridges are left alone. 1 when the file was
// written; 0 when it could not be, and nothing else happens: then *error,
// when given, names the file and the reason ("cannot write /x/options.dat:
// Read-only file system").
int SaveOptions(OptionsState& state, const char* path, bool startStep, std::string* error = nullptr);

// options.dat in a directory.
std::string OptionsPath(const std::string& directory);

// Reads options.dat in the folder of the program's files (config/data_dir)
// into state.optionsText and the flags. 1 when read, 0 otherwise (state
// unchanged, and *error, when given, names the file and the reason). The
// port table is not touched.
int LoadOptions(OptionsState& state, const char* directory, std::string* error = nullptr);

// The folder of the running executable, without a trailing slash ("/" for
// the root); empty when it cannot be found.
std::string GetProgramDirectory();
// The full path of the running executable; empty when it cannot be found.
std::string RunningExecutablePath();
