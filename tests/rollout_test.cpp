// Who is offered a staged release: the channel file, the install id made once
// and kept, and the buckets of a fleet of installs.
#include "helpers.h"
#include "rollout.h"

#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

using namespace testutil;

namespace {

// `count` ids as installs make them: 16 random bytes in hex.
std::vector<std::string> fleet(size_t count)
{
    EXPECT_GE(sodium_init(), 0);
    std::vector<std::string> ids;
    for (size_t i = 0; i < count; i++) {
        unsigned char bytes[16];
        char hex[33];
        randombytes_buf(bytes, sizeof bytes);
        ids.push_back(sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes));
    }
    return ids;
}

}  // namespace

TEST(Rollout, AFleetOfTenThousandGetsItsShare)
{
    const std::vector<std::string> ids = fleet(10000);
    for (int share : {1, 10, 50, 90}) {
        size_t offered = 0;
        for (const std::string &id : ids)
            offered += offeredInRollout(id, 7, share);
        EXPECT_NEAR(offered / 100.0, share, 2.0) << "a rollout of " << share << "% offered version 7 to " << offered
                                                 << " of 10,000 installs";
    }
    size_t halted = 0, everyone = 0;
    for (const std::string &id : ids)
        halted += offeredInRollout(id, 7, 0), everyone += offeredInRollout(id, 7, 100);
    EXPECT_EQ(halted, 0u) << "a halted release (rollout 0) must be offered to nobody";
    EXPECT_EQ(everyone, ids.size()) << "a rollout of 100% must reach every install";
    EXPECT_TRUE(offeredInRollout("", 7, 100) && !offeredInRollout("", 7, 99))
        << "an install without an id gets what the whole fleet gets, and no staged release";
}

TEST(Rollout, WideningKeepsThoseAlreadyOfferedAndEachVersionDrawsAfresh)
{
    const std::vector<std::string> ids = fleet(10000);
    size_t lost = 0, both = 0;
    for (const std::string &id : ids) {
        const int bucket = rolloutBucket(id, 7);
        ASSERT_TRUE(bucket >= 0 && bucket < 100) << id << ": bucket " << bucket;
        EXPECT_EQ(rolloutBucket(id, 7), bucket) << id << ": the same install and version must keep their bucket";
        lost += offeredInRollout(id, 7, 10) && !offeredInRollout(id, 7, 50);
        both += offeredInRollout(id, 7, 10) && offeredInRollout(id, 8, 10);
    }
    EXPECT_EQ(lost, 0u) << "widening from 10% to 50% must keep every install the 10% reached";
    EXPECT_LT(both, 300u) << "the first tenth of version 7 and of version 8 must be drawn apart (about 100 of 10,000 "
                             "in both), not the same installs first every time";
}

TEST(Rollout, TheInstallIdIsMadeOnceAndKept)
{
    ScratchDir dir;
    const std::string path = dir / "install-id.txt";
    const std::string id = installId(path.c_str());
    ASSERT_EQ(id.size(), 32u) << "a new id: 32 hex digits, got '" << id << "'";
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
    EXPECT_EQ(read_file(path), id + "\n") << "the id must be kept beside the launcher";
    EXPECT_EQ(mode_of(path) & 0777, 0644u) << "install-id.txt: a plain file of the player's";
    EXPECT_EQ(installId(path.c_str()), id) << "the next start must read the same id";
    EXPECT_NE(installId((dir / "other-id.txt").c_str()), id) << "another install must draw its own id";

    for (const char *damaged : {"not an id\n", "0123456789abcdef0123456789ABCDEF\n", ""}) {
        write_file(path, damaged);
        const std::string fresh = installId(path.c_str());
        EXPECT_EQ(fresh.size(), 32u) << "a damaged id ('" << damaged << "') must be replaced";
        EXPECT_EQ(read_file(path), fresh + "\n") << "the replacement must be kept";
    }
    EXPECT_EQ(installId((dir / "no-such-folder/install-id.txt").c_str()), "")
        << "an id that cannot be kept is none: the install then waits for full rollouts";
}

TEST(Rollout, TheChannelFileNamesTheChannel)
{
    ScratchDir dir;
    const std::string path = dir / "channel.txt";
    EXPECT_EQ(readChannel(path.c_str()), "default") << "no channel.txt: the default channel";
    const std::pair<const char *, const char *> cases[] = {
        {"beta\n", "beta"}, {"beta", "beta"}, {"beta \r\n", "beta"}, {"qa-2_x\nignored\n", "qa-2_x"},
        {"Beta\n", "default"}, {"../beta\n", "default"}, {"be ta\n", "default"}, {"\n", "default"},
        {"-beta\n", "default"}, {"abcdefghijklmnopqrstuvwxyz0123456\n", "default"},  // 33 characters
    };
    for (const auto &[text, channel] : cases) {
        write_file(path, text);
        EXPECT_EQ(readChannel(path.c_str()), channel) << "channel.txt holding '" << text << "'";
    }
    unlink(path.c_str());
    ASSERT_EQ(symlink("elsewhere.txt", path.c_str()), 0);
    write_file(dir / "elsewhere.txt", "beta\n");
    EXPECT_EQ(readChannel(path.c_str()), "default") << "a link in channel.txt's place is not the player's file";
}
