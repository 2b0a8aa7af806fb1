#include "config/autorun.h"

#include "config/options_file.h"

#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "res/resource.h"

namespace {

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

std::string FileName(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Creates every missing folder of an absolute path, as XDG asks (0700).
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

// One argument of an Exec line: quoted when it holds a reserved character,
// with the four characters that stay special inside quotes escaped; a
// percent sign doubled so that it is no field code.
std::string ExecArgument(const std::string& arg)
{
    static const char kReserved[] = " \t\n\"'\\><~|&;$*?#()`";
    bool quote = arg.find_first_of(kReserved) != std::string::npos || arg.empty();
    std::string out;
    if (quote)
        out += '"';
    for (char c : arg) {
        if (c == '%') {
            out += "%%";
            continue;
        }
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\'))
            out += '\\';
        out += c;
    }
    if (quote)
        out += '"';
    return out;
}

// A desktop entry's string value: backslash, line ends and tabs escaped.
std::string EntryValue(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: out += c;
        }
    }
    return out;
}

}  // namespace

std::string AutostartEntryPath(const std::string& executable)
{
    std::string name = FileName(executable);
    std::string home = ConfigHome();
    if (name.empty() || home.empty())
        return {};
    return home + "/autostart/" + name + ".desktop";
}

std::string AutostartEntryText(const std::string& executable)
{
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=" IDS_APP_NAME "\n"
           "Exec=" + EntryValue(ExecArgument(executable)) + "\n"
           "Terminal=false\n";
}

int SetLogonAutorunFor(const std::string& executable, int enable)
{
    if (executable.empty() || executable[0] != '/')
        return 0;
    std::string entry = AutostartEntryPath(executable);
    if (entry.empty())
        return 0;
    if (!enable) {
        // An entry that is not there is already what is asked for.
        unlink(entry.c_str());
        return 0;
    }
    if (!MakeFolders(entry.substr(0, entry.rfind('/'))))
        return 0;
    // Replaced whole, so a session manager never reads half an entry.
    return WriteFileAtomic(AT_FDCWD, entry.c_str(), AutostartEntryText(executable)) ? 1 : 0;
}

int SetLogonAutorun(int enable) { return SetLogonAutorunFor(RunningExecutablePath(), enable); }
