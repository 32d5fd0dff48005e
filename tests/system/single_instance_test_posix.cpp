// Linux only: the lock file that keeps a second agent from starting, and that nobody else can hold.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "support/test_support.h"
#include "system/single_instance.h"
#include "system/single_instance_posix.h"

namespace {

using tavrel::test::TempFolder;

TEST(SingleInstanceOnLinux, RootsLockIsInAFolderOnlyRootMayWrite) {
    if (geteuid() != 0) GTEST_SKIP() << "not root";
    EXPECT_EQ(SingleInstanceLockPath(), "/run/TavrelAgentMK.lock");
    struct stat run {};
    ASSERT_EQ(stat("/run", &run), 0);
    EXPECT_EQ(run.st_uid, 0u);
    EXPECT_EQ(run.st_mode & 022, 0u) << "nobody but root creates a file in /run";
}

TEST(SingleInstanceOnLinux, OneHolderAtATimeAndNobodyElseCanHoldIt) {
    TempFolder dir;
    // The old lock's name, bound first by "another user": it no longer matters.
    int squatter = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, "TavrelAgentMK", 13);
    bind(squatter, reinterpret_cast<sockaddr*>(&address), sizeof(sa_family_t) + 14);

    const std::string lock = dir / "agent.lock";
    ASSERT_TRUE(ClaimSingleInstanceAt(lock));
    struct stat info {};
    ASSERT_EQ(stat(lock.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "nobody else may open it, not even to lock it";
    EXPECT_FALSE(ClaimSingleInstanceAt(lock)) << "a second agent leaves";
    ReleaseSingleInstance();
    EXPECT_TRUE(ClaimSingleInstanceAt(lock)) << "free again once the holder is gone";
    ReleaseSingleInstance();
    close(squatter);

    // A file that others could open and lock, or a link, is not a lock anyone can keep the agent out with.
    const std::string open = dir / "open.lock";
    int held = ::open(open.c_str(), O_RDONLY | O_CREAT, 0644);
    ASSERT_GE(held, 0);
    fchmod(held, 0644);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    EXPECT_TRUE(ClaimSingleInstanceAt(open));
    ReleaseSingleInstance();
    close(held);
    const std::string link = dir / "link.lock";
    ASSERT_EQ(symlink((dir / "target").c_str(), link.c_str()), 0);
    EXPECT_TRUE(ClaimSingleInstanceAt(link));
    ReleaseSingleInstance();
    EXPECT_NE(access((dir / "target").c_str(), F_OK), 0) << "the link is not followed";
}

}  // namespace
