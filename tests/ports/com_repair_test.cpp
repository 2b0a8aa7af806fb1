#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ports/com_repair.h"
#include "ports/pair_setup.h"

namespace fs = std::filesystem;

namespace {

using Names = std::vector<std::string>;

class ComRepair : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/vr_repair_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_TRUE(OpenPairSetup(dir_));
    }
    void TearDown() override
    {
        ClosePairSetup();
        fs::remove_all(dir_);
    }
    bool Claimed(int n)
    {
        int inUse = 0;
        ComDbGetInUse(("COM" + std::to_string(n)).c_str(), &inUse);
        return inUse != 0;
    }

    std::string dir_;
};

}  // namespace

TEST_F(ComRepair, OnlyClaimsWithoutADeviceAreStaleAndReleasingOneFreesItAlone)
{
    EXPECT_EQ(StaleComClaims(), Names{});
    for (int n : {256, 3, 1})
        ASSERT_EQ(ClaimReleasePort(n, 1), 1);
    // A pair's own COM name is claimed and its device exists.
    ASSERT_EQ(InstallREdi("PortName=COM7", "-", 0), 1);
    ASSERT_TRUE(Claimed(7));
    // A device whose target is longer than the lookup's buffer exists too.
    fs::path deep = fs::path(dir_) / std::string(100, 'd') / std::string(60, 'e');
    fs::create_directories(deep);
    std::ofstream(deep / "tty") << "";
    fs::create_symlink(deep / "tty", fs::path(dir_) / "dev" / "COM9");
    ASSERT_EQ(ClaimReleasePort(9, 1), 1);

    EXPECT_EQ(StaleComClaims(), (Names{"COM1", "COM3", "COM256"}));

    // The pair goes away and leaves its claim behind.
    fs::remove(fs::path(dir_) / "dev" / "COM9");
    EXPECT_EQ(StaleComClaims(), (Names{"COM1", "COM3", "COM9", "COM256"}));

    // Releasing a name frees its number only.
    EXPECT_TRUE(ReleaseComClaim("COM3"));
    EXPECT_FALSE(Claimed(3));
    EXPECT_EQ(StaleComClaims(), (Names{"COM1", "COM9", "COM256"}));
    EXPECT_FALSE(ReleaseComClaim("LPT1"));
    EXPECT_FALSE(ReleaseComClaim(nullptr));
    EXPECT_TRUE(Claimed(1));
}

