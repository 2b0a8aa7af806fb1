// Reading pairs.dat line by line: any size, no line cut into another one.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/unique_fd.h"
#include "ports/pair_files.h"

namespace {

class ReadLineFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "vr-lines-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        fd_.Reset(open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    void Write(const std::string& text) { std::ofstream(dir_ + "/f", std::ios::binary) << text; }

    std::string dir_;
    UniqueFd fd_;
};

TEST_F(ReadLineFileTest, KeepsShortLinesMarksLongOnesAndReadsOnlyFiles)
{
    std::string out = "old";
    EXPECT_TRUE(ReadLineFile(fd_.Get(), "f", 100, &out));  // missing: empty
    EXPECT_EQ(out, "");

    // Lines that cross the reader's 64 KiB pieces, one far too long, and a
    // last line without its newline.
    std::string longLine(200000, 'L');
    std::string pad(65530, 'p');
    Write("a\n" + pad + "\nCOM17 stays whole\n" + longLine + "\n\nlast");
    ASSERT_TRUE(ReadLineFile(fd_.Get(), "f", 70000, &out));
    EXPECT_EQ(out, "a\n" + pad + "\nCOM17 stays whole\n#\n\nlast");
    ASSERT_TRUE(ReadLineFile(fd_.Get(), "f", 10, &out));
    EXPECT_EQ(out, "a\n#\n#\n#\n\nlast");

    std::filesystem::remove(dir_ + "/f");
    mkdir((dir_ + "/f").c_str(), 0755);
    EXPECT_FALSE(ReadLineFile(fd_.Get(), "f", 100, &out));
    EXPECT_EQ(errno, EISDIR);
    rmdir((dir_ + "/f").c_str());
    ASSERT_EQ(mkfifo((dir_ + "/f").c_str(), 0644), 0);
    EXPECT_FALSE(ReadLineFile(fd_.Get(), "f", 100, &out));  // and it did not wait for a writer
}

}  // namespace
