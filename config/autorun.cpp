#include "config/autorun.h"

#include <fcntl.h>
#include <unistd.h>

#include "config/data_dir.h"
#include "config/options_file.h"
#include "res/resource.h"

namespace {

std::string FileName(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
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
