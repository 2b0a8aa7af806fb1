// The options file "options.dat" beside the executable: the start-up flags
// and every port's settings, written from the port table and read back.
// Plain functions over OptionsState so that the main window and tests share
// them without a display.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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

constexpr const char* kOptionsFileName = "options.dat";

// A document file larger than this is treated as unreadable, never read.
constexpr size_t kMaxDocumentFileSize = 16u * 1024 * 1024;

// Reads a whole document file (options or an exported port list): a regular
// file of at most kMaxDocumentFileSize bytes; the text ends at its first zero
// byte. False, with `text` untouched, when the file cannot be opened, is no
// regular file, is too large, or cannot be read.
bool ReadDocumentFile(const char* path, std::string& text);

// Writes all of text to fd, going on after interruptions; false on an error.
bool WriteAllBytes(int fd, const std::string& text);

// Writes the options document of the flags and the port table to `path`
// (relative to the current directory), replacing the file whole, and puts the
// text into state.optionsText. With startStep on and the startup flag on,
// each written port's bridge is (re)started. 1 when the file was written,
// 0 when it could not be opened or written; if it could not be opened,
// nothing else happens.
int SaveOptions(OptionsState& state, const char* path, bool startStep);

// Makes the program directory the current directory and reads options.dat
// there into state.optionsText and the flags. 1 when read, 0 otherwise (state
// unchanged). The port table is not touched.
int LoadOptions(OptionsState& state);
// The same with the directory given.
int LoadOptionsIn(OptionsState& state, const char* directory);

// The folder of the running executable, without a trailing slash ("/" for
// the root); empty when it cannot be found.
std::string GetProgramDirectory();
// The full path of the running executable; empty when it cannot be found.
std::string RunningExecutablePath();
// The same, copied into buffer with at most `length` characters and a
// terminating zero (the buffer holds length + 1 bytes).
void GetProgramDirectory(size_t length, char* buffer);
