// Linux only: the lock file that keeps a second agent from starting, and that nobody else can hold.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "support/test_support.h"
#include "system/single_instance.h"
#include "system/single_instance_posix.h"

namespace {

using tavrel::test::TempFolder;

TEST(SingleInstanceOnLinux, OnlyItsOwnPrivateFileLocksAndOnlyOnce) {
    if (geteuid() == 0) EXPECT_EQ(SingleInstanceLockPath(), "/run/TavrelAgentMK.lock") << "only root creates files there";
    TempFolder dir;
    const std::string lock = dir / "agent.lock", open = dir / "open.lock", link = dir / "link.lock";
    ASSERT_TRUE(ClaimSingleInstanceAt(lock));
    EXPECT_FALSE(ClaimSingleInstanceAt(lock)) << "a second agent leaves";
    struct stat info {};
    EXPECT_TRUE(stat(lock.c_str(), &info) == 0 && (info.st_mode & 0777) == 0600) << "nobody else may open it to lock it";
    ReleaseSingleInstance();
    int held = ::open(open.c_str(), O_RDONLY | O_CREAT, 0644);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    EXPECT_TRUE(ClaimSingleInstanceAt(open)) << "a file others may open and hold keeps no agent out";
    close(held);
    ASSERT_EQ(symlink(lock.c_str(), link.c_str()), 0);
    EXPECT_TRUE(ClaimSingleInstanceAt(link)) << "a link is not followed";
    ReleaseSingleInstance();
}

}  // namespace
