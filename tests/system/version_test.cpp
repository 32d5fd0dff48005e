#include <gtest/gtest.h>

#include "support/test_support.h"
#include "system/file.h"

namespace {

TEST(FileVersionOfAProgram, IsTheFileVersionNotTheProductVersion) {
    // versioned_stub carries file version 3.14.15.926 and product version 9.8.7.6.
    EXPECT_EQ(GetFileVersionText(tavrel::test::HelperPath("versioned_stub")), "3.14.15.926");
}

}  // namespace
