#include <gtest/gtest.h>
#include <windows.h>

#include <ctime>
#include <fstream>
#include <sstream>

#include "service/service.h"
#include "service/service_log.h"
#include "system/text.h"

namespace {
std::string Read(const std::wstring& path) {
    std::ifstream in(WideToAnsi(path), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
}  // namespace

// The log folder is the candidate's to write: a second name planted for the service's file leads it nowhere.
TEST(ServiceLog, WritesItsDatedFileAndNeverThroughAPlantedLink) {
    const std::wstring folder = OwnFolder() + L"..\\log\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring file = folder + ServiceLogName(std::time(nullptr));
    const std::wstring victim = folder + L"victim.txt";
    DeleteFileW(file.c_str());
    std::ofstream(WideToAnsi(victim), std::ios::binary) << "keep\n";
    ASSERT_TRUE(CreateHardLinkW(file.c_str(), victim.c_str(), nullptr));
    ServiceLog(L"through the link");
    EXPECT_EQ(Read(victim), "keep\n");
    ASSERT_TRUE(DeleteFileW(file.c_str()));
    DeleteFileW(victim.c_str());

    ServiceLog(L"TavrelAgent started");
    const std::string text = Read(file);
    EXPECT_EQ(text.rfind("[", 0), 0u) << text;
    EXPECT_NE(text.find("]TavrelAgent started\r\n"), std::string::npos) << text;
    DeleteFileW(file.c_str());
}
