#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../test_folder.h"
#include "config/data_dir.h"
#include "engine/file_io.h"
#include "engine/unique_fd.h"

namespace {

// DataDirectory as a user who cannot write `program`, in a child process:
// root writes every folder, so the child drops to nobody; anyone else
// finds the folder made read-only.
std::string ChosenWithoutWriteAccess(const std::string& program, const std::string& configHome)
{
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const bool dropped = geteuid() != 0 || (setgid(65534) == 0 && setuid(65534) == 0);
        setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
        const std::string dir = dropped && access(program.c_str(), W_OK) != 0 ? DataDirectory(program) : "writable";
        _exit(write(fds[1], dir.data(), dir.size()) == static_cast<ssize_t>(dir.size()) ? 0 : 1);
    }
    close(fds[1]);
    char buf[512];
    const ssize_t n = read(fds[0], buf, sizeof buf);  // a pipe's first read holds the short answer
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

}  // namespace

TEST(DataDirectory, AFolderHoldingTheFilesStaysChosenAndOnlyAnEmptyUnwritableOneFallsBack)
{
    uitest::TempFolder tmp;
    const std::string program = tmp.File("program"), home = tmp.File("home");
    ASSERT_EQ(mkdir(program.c_str(), 0755) | mkdir(home.c_str(), 0755), 0);
    ASSERT_EQ(chmod(tmp.Path().c_str(), 0755), 0);
    if (geteuid() == 0)
        ASSERT_EQ(chown(home.c_str(), 65534, 65534), 0);
    else
        ASSERT_EQ(chmod(program.c_str(), 0555), 0);

    EXPECT_EQ(ChosenWithoutWriteAccess(program, home), home + "/velkaro_redi");
    EXPECT_TRUE(std::filesystem::is_directory(home + "/velkaro_redi"));
    EXPECT_EQ(DataDirectory(tmp.Path()), tmp.Path());  // writable and empty: beside the executable
    setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    // Even where root may write it, an installed copy keeps its files in the config home.
    for (const char* system : {"/usr/bin", "/nonexistent"})
        EXPECT_EQ(DataDirectory(system), home + "/velkaro_redi") << system;
    chmod(program.c_str(), 0755);
    for (const char* entry : kProgramFolderEntries) {
        const std::string path = program + "/" + entry;
        ASSERT_EQ(std::string(entry) == "dev" ? mkdir(path.c_str(), 0755) : symlink("x", path.c_str()), 0);
        if (geteuid() != 0)
            chmod(program.c_str(), 0555);
        EXPECT_EQ(ChosenWithoutWriteAccess(program, home), program) << entry;
        chmod(program.c_str(), 0755);
        std::filesystem::remove(path);
    }
}

TEST(FileErrors, NameTheFileAndTheReasonAndSizesRoundUp)
{
    uitest::TempFolder tmp;
    UniqueFd dir(open(tmp.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_EQ(mkdir(tmp.File("pairs.lock").c_str(), 0755), 0);
    std::string text, error;
    EXPECT_FALSE(ReadSmallFile(dir.Get(), "pairs.lock", 100, &text, &error));
    EXPECT_EQ(error, "cannot read " + tmp.File("pairs.lock") + ": it is a folder");
    EXPECT_FALSE(WriteFileAtomic(dir.Get(), "pairs.lock", "x", &error));
    EXPECT_EQ(error, "cannot write " + tmp.File("pairs.lock") + ": it is a folder");
    tmp.Write("comdb.dat", std::string(2000, '1'));
    EXPECT_FALSE(ReadFileWhole(dir.Get(), "comdb.dat", 1024, &text, &error));
    EXPECT_EQ(error, "cannot read " + tmp.File("comdb.dat") + ": file too large (2 KB, the limit is 1 KB)");
    EXPECT_TRUE(ReadSmallFile(dir.Get(), "missing", 100, &text, &error));  // a missing file is empty
    EXPECT_FALSE(ReadLineFile(AT_FDCWD, "/dev/null", 80, &text, &error));
    EXPECT_EQ(error, "cannot read /dev/null: it is not a regular file");
    const std::pair<uint64_t, const char*> kSizes[] = {
        {1, "1 byte"}, {1023, "1023 bytes"}, {1024, "1 KB"}, {1025, "1.1 KB"},
        {50u << 20, "50 MB"}, {(16u << 20) + 1, "16.1 MB"}, {3ull << 30, "3 GB"}};
    for (const auto& [bytes, text] : kSizes)
        EXPECT_EQ(SizeText(bytes), text) << bytes;
}
