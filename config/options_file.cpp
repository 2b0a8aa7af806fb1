#include "config/options_file.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include "config/port_options.h"
#include "engine/file_io.h"
#include "config/options_document.h"
#include "engine/bridge.h"
#include "engine/port_table.h"

std::string OptionsText(const OptionsState& state)
{
    OptionsDocument options;
    options.NewDocument();
    options.SetStringOption("SYSTEM", nullptr, "");
    options.SetBoolOption("SYSTEM", "ADDNEW", state.settings.addNew);
    options.SetBoolOption("SYSTEM", "STARTUP", state.settings.startup);
    options.SetBoolOption("SYSTEM", "DETECTDSR", state.settings.detectDsr);
    options.SetBoolOption("SYSTEM", "AUTORUN", state.settings.autoRun);
    for (const PortRecord& r : PortTable) {
        if (r.number != -1)
            WritePortOptions(options, r);
    }
    std::string text;
    options.GetText(text);
    return text;
}

int SaveOptions(OptionsState& state, const char* path, bool startStep, std::string* error)
{
    std::string text = OptionsText(state);
    if (!WriteFileAtomic(AT_FDCWD, path, text, error))
        return 0;
    state.optionsText = std::move(text);
    // Running bridges are left alone: a save must never cut a live
    // connection or drop what its queues hold.
    if (startStep && state.settings.startup) {
        for (PortRecord& r : PortTable) {
            if (r.number != -1 && !BridgeRunning(&r))
                StartBridge(&r);
        }
    }
    return 1;
}

int LoadOptions(OptionsState& state, const char* directory, std::string* error)
{
    std::string text;
    if (!directory || !*directory) {
        if (error)
            *error = std::string("cannot read ") + kOptionsFileName + ": no folder for the program's files";
        return 0;
    }
    if (!ReadDocumentFile(OptionsPath(directory).c_str(), text, error))
        return 0;
    state.optionsText = std::move(text);

    OptionsDocument options(state.optionsText);
    state.settings.addNew = options.GetBoolOption("SYSTEM", "ADDNEW", 0);
    state.settings.startup = options.GetBoolOption("SYSTEM", "STARTUP", 0);
    state.settings.detectDsr = options.GetBoolOption("SYSTEM", "DETECTDSR", 0);
    state.settings.autoRun = options.GetBoolOption("SYSTEM", "AUTORUN", 0);
    return 1;
}

std::string OptionsPath(const std::string& directory)
{
    return directory == "/" ? "/" + std::string(kOptionsFileName) : directory + "/" + kOptionsFileName;
}

std::string RunningExecutablePath()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf)
        return {};
    std::string path(buf, static_cast<size_t>(n));
    // An executable replaced while it runs (a new build) reads with this
    // mark; the new file at the same path is the one to start at logon.
    static const std::string kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() &&
        path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0 &&
        access(path.substr(0, path.size() - kDeleted.size()).c_str(), X_OK) == 0)
        path.resize(path.size() - kDeleted.size());
    return path;
}

std::string GetProgramDirectory()
{
    std::string path = RunningExecutablePath();
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {};
    if (slash == 0)
        return "/";
    path.resize(slash);
    return path;
}
