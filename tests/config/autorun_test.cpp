#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "../test_folder.h"
#include "config/autorun.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The value of a key of a desktop entry, its string escapes decoded.
std::optional<std::string> EntryValue(const std::string& entry, const std::string& key)
{
    std::istringstream lines(entry);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(key + "=", 0) != 0)
            continue;
        std::string raw = line.substr(key.size() + 1), out;
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != '\\' || i + 1 == raw.size()) {
                out += raw[i];
                continue;
            }
            char c = raw[++i];
            out += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c == 's' ? ' ' : c;
        }
        return out;
    }
    return std::nullopt;
}

// The program an Exec line runs, as a launcher reads it: its first argument,
// quotes and the escapes inside them removed, "%%" read as "%".
std::string ExecProgram(const std::string& exec)
{
    std::string out;
    size_t i = 0;
    bool quoted = !exec.empty() && exec[0] == '"';
    if (quoted)
        ++i;
    for (; i < exec.size(); ++i) {
        char c = exec[i];
        if (quoted && c == '"')
            break;
        if (!quoted && c == ' ')
            break;
        if (quoted && c == '\\' && i + 1 < exec.size())
            c = exec[++i];
        else if (c == '%' && i + 1 < exec.size() && exec[i + 1] == '%')
            ++i;
        out += c;
    }
    return out;
}

class Autorun : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* name : {"XDG_CONFIG_HOME", "HOME"}) {
            const char* v = getenv(name);
            saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
        }
        setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
        setenv("HOME", (dir_ / "home").c_str(), 1);
    }
    void TearDown() override
    {
        for (const auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }

    uitest::TempFolder folder_;
    const fs::path dir_ = folder_.Path();
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace

TEST_F(Autorun, EnableWritesTheEntryNamedAfterTheExecutableAndDisableDeletesOnlyIt)
{
    const fs::path autostart = dir_ / "config" / "autostart";
    const fs::path entry = autostart / "velkaro_redi.desktop";
    // The folders do not exist yet: a fresh account has no autostart folder.
    EXPECT_EQ(SetLogonAutorunFor("/opt/vr/velkaro_redi", 1), 1);
    ASSERT_TRUE(fs::exists(entry));
    EXPECT_EQ(fs::status(entry).permissions() & fs::perms::others_read, fs::perms::others_read);
    std::string text = ReadFile(entry);
    EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u);
    EXPECT_EQ(EntryValue(text, "Type"), "Application");
    EXPECT_EQ(EntryValue(text, "Exec"), "/opt/vr/velkaro_redi");

    // Written again at the next OK: replaced whole, no temporary left over.
    std::ofstream(autostart / "other_name.desktop") << "[Desktop Entry]\n";
    EXPECT_EQ(SetLogonAutorunFor("/opt/vr/velkaro_redi", 1), 1);
    EXPECT_EQ(ReadFile(entry), text);
    EXPECT_EQ(std::distance(fs::directory_iterator(autostart), fs::directory_iterator()), 2);

    // A copy under another file name has an entry of its own that stays.
    EXPECT_EQ(SetLogonAutorunFor("/opt/vr/velkaro_redi", 0), 0);
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_TRUE(fs::exists(autostart / "other_name.desktop"));
    // Deleting what is not there is no failure of any kind.
    EXPECT_EQ(SetLogonAutorunFor("/opt/vr/velkaro_redi", 0), 0);
}

TEST_F(Autorun, TheConfigHomeIsXdgWhenAbsoluteElseHomeDotConfig)
{
    EXPECT_EQ(AutostartEntryPath("/a/prog"), (dir_ / "config/autostart/prog.desktop").string());
    setenv("XDG_CONFIG_HOME", "relative/config", 1);
    EXPECT_EQ(AutostartEntryPath("/a/prog"), (dir_ / "home/.config/autostart/prog.desktop").string());
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(SetLogonAutorunFor("/a/prog", 1), 1);
    EXPECT_TRUE(fs::exists(dir_ / "home/.config/autostart/prog.desktop"));
    EXPECT_EQ(AutostartEntryPath("/a/dir/"), "");
}

TEST_F(Autorun, FailuresGiveZeroAndWriteNothing)
{
    // A config home that is a file cannot hold the folder.
    std::ofstream(dir_ / "config") << "x";
    EXPECT_EQ(SetLogonAutorunFor("/opt/vr/velkaro_redi", 1), 0);
    EXPECT_EQ(ReadFile(dir_ / "config"), "x");

    fs::remove(dir_ / "config");
    // A relative path would start whatever lies there at logon.
    EXPECT_EQ(SetLogonAutorunFor("velkaro_redi", 1), 0);
    EXPECT_EQ(SetLogonAutorunFor("", 1), 0);
    EXPECT_FALSE(fs::exists(dir_ / "config"));
}

TEST_F(Autorun, AnyExecutablePathSurvivesTheLauncher)
{
    const std::string paths[] = {
        "/opt/vr/velkaro_redi",
        "/home/ann/My Programs/velkaro_redi",
        "/srv/a\"b'c/$HOME/`x`/back\\slash/100%/velkaro_redi",
        "/tmp/semi;colon&amp|pipe<>(x)*?#~/velkaro_redi",
        "/tmp/line\nbreak\tand tab/velkaro_redi",
    };
    for (const std::string& path : paths) {
        std::string text = AutostartEntryText(path);
        // One key a line: a line break in the path must not end the value.
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5) << path;
        auto exec = EntryValue(text, "Exec");
        ASSERT_TRUE(exec) << path;
        EXPECT_EQ(ExecProgram(*exec), path) << *exec;
    }
}
