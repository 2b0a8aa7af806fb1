#include "config/data_dir.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

std::string ConfigHome()
{
    // A relative XDG_CONFIG_HOME is invalid and must be ignored.
    const char* xdg = getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/')
        return xdg;
    const char* home = getenv("HOME");
    if (home && home[0] == '/')
        return std::string(home) + "/.config";
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd pw{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && pw.pw_dir &&
        pw.pw_dir[0] == '/')
        return std::string(pw.pw_dir) + "/.config";
    return {};
}

bool MakeFolders(const std::string& path)
{
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/')
            continue;
        std::string part = path.substr(0, i);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The package manager's folders: an installed copy run as root can write
// them, but its files must not land among the system's executables.
bool IsSystemBinFolder(const std::string& dir)
{
    for (const char* system : {"/usr/bin", "/usr/sbin", "/usr/local/bin", "/usr/local/sbin", "/bin", "/sbin"})
        if (dir == system)
            return true;
    return false;
}

bool HoldsProgramFiles(const std::string& folder)
{
    struct stat st {};
    for (const char* name : kProgramFolderEntries)
        if (lstat((folder + "/" + name).c_str(), &st) == 0)
            return true;
    return false;
}

std::string DataDirectory(const std::string& programDir)
{
    // systemd names the service's folder (StateDirectory=); the first of a
    // colon-separated list is ours.
    const char* state = getenv("STATE_DIRECTORY");
    if (state && state[0] == '/') {
        const std::string dir(state, strcspn(state, ":"));
        if (MakeFolders(dir))
            return dir;
    }
    // A folder that holds the files is the program's even when it can no
    // longer be written: going elsewhere would show other ports. A system
    // folder never is, even for root who can write it.
    if (!programDir.empty() && !IsSystemBinFolder(programDir) &&
        (HoldsProgramFiles(programDir) || access(programDir.c_str(), W_OK | X_OK) == 0))
        return programDir;
    std::string home = ConfigHome();
    if (home.empty())
        return programDir;
    std::string dir = home + "/velkaro_redi";
    return MakeFolders(dir) ? dir : programDir;
}
