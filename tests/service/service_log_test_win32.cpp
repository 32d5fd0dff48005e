#include <gtest/gtest.h>
#include <windows.h>

#include <ctime>
#include <regex>

#include "service/service.h"
#include "service/service_log.h"
#include "support/test_support.h"
#include "system/text.h"

// A second name planted for the service's file, before the folder was closed to users, leads it nowhere.
TEST(ServiceLog, WritesItsDatedFileAndNeverThroughAPlantedLink) {
    const std::wstring folder = OwnFolder() + L"log\\", victim = folder + L"victim.txt";
    const std::wstring file = folder + ServiceLogName(std::time(nullptr));
    CreateDirectoryW(folder.c_str(), nullptr);
    DeleteFileW(file.c_str());
    ASSERT_TRUE(tavrel::test::WriteFileBytes(WideToAnsi(victim), "keep\n"));
    ASSERT_TRUE(CreateHardLinkW(file.c_str(), victim.c_str(), nullptr));
    ServiceLog(L"through the link");
    EXPECT_EQ(tavrel::test::ReadFileBytes(WideToAnsi(victim)), "keep\n");
    ASSERT_TRUE(DeleteFileW(file.c_str()) && DeleteFileW(victim.c_str()));
    ServiceLog(L"TavrelAgent started");
    EXPECT_TRUE(std::regex_match(tavrel::test::ReadFileBytes(WideToAnsi(file)), std::regex(R"(\[\d+:\d+:\d+\]TavrelAgent started\r\n)")));
    DeleteFileW(file.c_str());
}
