#include <gtest/gtest.h>

#include <string>

#include "agent/window_shell_rules.h"
#include "support/agent_process.h"
#include "support/test_support.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// A boot: explorer answers nothing for a while, then the add goes through; later explorer restarts and its
// first answer comes late (the add fails, yet the icon is there).
TEST(TrayKeeper, TriesAgainUntilTheShellHoldsTheIconAndLogsTheStreakOnce) {
    // The first failure logged with its code, then quiet every 2 s; the add that ends the streak counts it; an
    // add that never failed says nothing; a failed add the modify finds is held, with no retry.
    struct Row { bool added, modified, retry, log, held; const char* line; } rows[] = {
        {false, false, true, true, false, "error 1460"}, {false, false, true, false, false, ""},
        {false, false, true, false, false, ""}, {true, false, false, true, true, "3"},
        {true, false, false, false, true, ""}, {false, true, false, false, true, ""}};
    TrayKeeper keeper;
    int step = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(step++);
        TrayVerdict verdict = AfterTrayAdd(&keeper, row.added, row.modified);
        EXPECT_EQ(verdict.retry, row.retry);
        EXPECT_EQ(verdict.log, row.log);
        EXPECT_EQ(keeper.added, row.held);
        std::string line = TrayLogLine(verdict, 1460);
        EXPECT_EQ(line.empty(), !row.log);
        EXPECT_NE(line.find(row.line), std::string::npos) << line;
    }
    // Ten minutes without explorer: the first failure, then a line a minute, and it never gives up.
    int lines = 0;
    for (unsigned i = 0; i < 10 * 60000 / kTrayRetryMs; ++i) lines += AfterTrayAdd(&keeper, false, false).log;
    EXPECT_EQ(lines, 11);
}

#ifdef _WIN32
// The built agent as Windows reads it: a manifest that declares it DPI-aware, and for each tray picture an
// exact image at every small-icon size from 100 % to 300 % (a picture scaled up from 16 pixels is a blur).
TEST(AgentResources, DeclareDpiAwarenessAndCarryEveryTraySize) {
    const std::string agent = tavrel::test::AgentExecutable();
    HMODULE image = LoadLibraryExA(agent.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(image, nullptr) << agent;
    HRSRC manifest = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
    ASSERT_NE(manifest, nullptr);
    std::string text(static_cast<const char*>(LockResource(LoadResource(image, manifest))), SizeofResource(image, manifest));
    EXPECT_NE(text.find("<dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">PerMonitorV2"),
              std::string::npos);
    for (int picture : {107, 110, 111}) {
        HRSRC group = FindResourceW(image, MAKEINTRESOURCEW(picture), MAKEINTRESOURCEW(14));  // RT_GROUP_ICON
        ASSERT_NE(group, nullptr) << picture;
        auto* directory = static_cast<BYTE*>(LockResource(LoadResource(image, group)));
        for (int size : {16, 20, 24, 32, 40, 48}) {
            int id = LookupIconIdFromDirectoryEx(directory, TRUE, size, size, LR_DEFAULTCOLOR);
            HRSRC icon = FindResourceW(image, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(3));  // RT_ICON
            ASSERT_NE(icon, nullptr) << picture << " " << size;
            auto* header = static_cast<BITMAPINFOHEADER*>(LockResource(LoadResource(image, icon)));
            EXPECT_EQ(header->biWidth, size) << "picture " << picture;
        }
    }
    FreeLibrary(image);
}
#endif

}  // namespace
