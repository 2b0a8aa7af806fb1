#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "../test_folder.h"
#include "config/autorun.h"

namespace fs = std::filesystem;

namespace {

// The program a launcher starts from an entry: the Exec value with its
// string escapes decoded, then its first argument unquoted, "%%" read as "%".
std::string LaunchedProgram(const std::string& entry)
{
    std::string exec, out;
    for (size_t i = entry.find("\nExec=") + 6; i < entry.size() && entry[i] != '\n'; ++i) {
        char c = entry[i];
        if (c == '\\' && i + 1 < entry.size()) {
            c = entry[++i];
            c = c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c == 's' ? ' ' : c;
        }
        exec += c;
    }
    const bool quoted = exec[0] == '"';
    for (size_t i = quoted; i < exec.size() && exec[i] != (quoted ? '"' : ' '); ++i) {
        if ((quoted && exec[i] == '\\') || (exec[i] == '%' && exec[i + 1] == '%'))
            ++i;
        out += exec[i];
    }
    return out;
}

}  // namespace

TEST(Autorun, EnableWritesTheEntryOfTheExecutableAndDisableDeletesOnlyIt)
{
    // The config home inside a fresh folder; no other test here reads these.
    uitest::TempFolder folder;
    const fs::path dir = folder.Path();
    setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    setenv("HOME", (dir / "home").c_str(), 1);
    const fs::path autostart = dir / "config/autostart", entry = autostart / "velkaro_redi.desktop";
    std::ofstream(dir / "config") << "x";  // a file cannot hold the folder
    EXPECT_EQ(SetLogonAutorunFor("/opt/vr/velkaro_redi", 1), 0);
    fs::remove(dir / "config");
    EXPECT_EQ(SetLogonAutorunFor("velkaro_redi", 1), 0);  // would start whatever lies there
    // A fresh account has no autostart folder yet.
    EXPECT_EQ(SetLogonAutorunFor("/opt/vr/velkaro_redi", 1), 1);
    const std::string text = folder.Read("config/autostart/velkaro_redi.desktop");
    EXPECT_EQ(text.rfind("[Desktop Entry]\nType=Application\n", 0), 0u) << text;
    EXPECT_EQ(LaunchedProgram(text), "/opt/vr/velkaro_redi");
    // Written again: replaced whole, no temporary left over.
    std::ofstream(autostart / "other.desktop") << "[Desktop Entry]\n";
    EXPECT_EQ(SetLogonAutorunFor("/opt/vr/velkaro_redi", 1), 1);
    EXPECT_EQ(folder.Read("config/autostart/velkaro_redi.desktop"), text);
    EXPECT_EQ(std::distance(fs::directory_iterator(autostart), fs::directory_iterator()), 2);
    EXPECT_EQ(SetLogonAutorunFor("/opt/vr/velkaro_redi", 0), 0);
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_TRUE(fs::exists(autostart / "other.desktop"));  // another copy's entry stays
    setenv("XDG_CONFIG_HOME", "relative/config", 1);  // invalid: ignored
    EXPECT_EQ(AutostartEntryPath("/a/prog"), (dir / "home/.config/autostart/prog.desktop").string());
}

TEST(AutorunEntry, AnyExecutablePathSurvivesTheLauncher)
{
    for (const std::string path : {"/home/ann/My Programs/velkaro_redi",
                                   "/srv/a\"b'c/$HOME/`x`/back\\slash/100%/velkaro_redi",
                                   "/tmp/semi;colon&amp|pipe<>(x)*?#~/velkaro_redi",
                                   "/tmp/line\nbreak\tand tab/velkaro_redi"})
        EXPECT_EQ(LaunchedProgram(AutostartEntryText(path)), path);
}
