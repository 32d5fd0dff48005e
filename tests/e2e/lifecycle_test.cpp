// The agent's life as a process: the installer update that ends it, a stop between passes, a second
// instance, and an exam server that goes away for a while.
#include <chrono>

#include "e2e/agent_tree.h"
#include "system/agent_exit.h"

namespace tavrel::test {
namespace {

class Lifecycle : public AgentTest {
protected:
    static std::vector<std::string> Lines(const std::string& text) {
        std::vector<std::string> lines;
        std::string line;
        for (char c : text) {
            if (c == '\n') {
                if (!line.empty() && line.back() == '\r') line.pop_back();
                lines.push_back(line);
                line.clear();
            } else {
                line += c;
            }
        }
        if (!line.empty()) lines.push_back(line);
        return lines;
    }

};

// A newer version on the server: the installer is fetched, started silently into the installation root,
// and the agent ends by the orderly path.
TEST_F(Lifecycle, NewerServerVersionStartsTheInstallerAndEndsTheAgent) {
    AgentTree tree(room);
    room.SetAnswer("getVersionInfo", "9.9.9.9");
    room.SetBytes("updateTavrel", ReadFileBytes(HelperPath("installer_probe")));
    ASSERT_TRUE(tree.StartAgent());

    int exitCode = -1;
    ASSERT_TRUE(tree.Agent().WaitExit(kFewPassesMs, &exitCode)) << "the agent stayed after starting the installer";
    EXPECT_EQ(exitCode, kAgentExitInstallerStarted);
    const std::string record = tree.Path("Temp\\installer-run.txt");
    ASSERT_TRUE(WaitUntil([&] { return FileExists(record); }, 10000)) << "the installer never ran";
    std::vector<std::string> lines = Lines(ReadFileBytes(record));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], "/S");
    EXPECT_EQ(lines[2], "/D");
    EXPECT_EQ(lines[3], tree.AgentFolder() + NativePath("..\\"));
    EXPECT_EQ(records.Requests("updateTavrel").size(), 1u);
    EXPECT_TRUE(records.Requests("getStartupInfoAgent").empty());

    const std::string log = tree.AgentLog();
    EXPECT_NE(log.find("===Server Version====9.9.9.9"), std::string::npos);
    EXPECT_NE(log.find(std::string("===Local Version====") + TAVREL_VERSION_TEXT), std::string::npos);
    EXPECT_NE(log.find("TavrelAgent Application End"), std::string::npos);
}

// An installer that cannot be started does not leave the agent idle: it keeps asking, without fetching the
// installer again on every pass (the first wait is a minute), and goes on with its work once the server
// stops offering the update.
TEST_F(Lifecycle, InstallerThatCannotStartLeavesTheAgentPassing) {
    AgentTree tree(room);
    room.SetAnswer("getVersionInfo", "9.9.9.9");
    room.SetBytes("updateTavrel", "this is no program at all");
    ASSERT_TRUE(tree.StartAgent());

    ASSERT_GE(records.Requests("getVersionInfo", 0, 3, 3 * kPassMs + 3000).size(), 3u)
        << "the agent stopped asking after a failed installer start";
    EXPECT_EQ(records.Requests("updateTavrel").size(), 1u) << "the installer was fetched again within the wait";
    EXPECT_TRUE(records.Requests("getStartupInfoAgent").empty()) << "the pass still ends while an update is due";
    EXPECT_TRUE(tree.Agent().Running());
    EXPECT_NE(tree.AgentLog().find("版本9.9.9.9的安装包60秒后重新下载"), std::string::npos);
    room.SetAnswer("getVersionInfo", "");
    room.SetAnswer("getStartupInfoAgent", Numbered(2, "R2"));
    EXPECT_FALSE(records.Connections(0, 1, kFewPassesMs, true).empty()) << "the agent did not go on with its work";
    EXPECT_TRUE(tree.Agent().Running());
}

// A stop between passes is seen within a tenth of a second; the whole orderly end is over before the next
// pass was due, and no pass begins after it.
TEST_F(Lifecycle, StopBetweenPassesEndsTheAgentPromptly) {
    AgentTree tree(room);
    room.SetAnswer("getStartupInfoAgent", Numbered(3, "R3"));
    ASSERT_TRUE(tree.StartAgent());
    ASSERT_FALSE(records.Connections(0, 1, kFewPassesMs, true).empty());
    // Right after a pass has asked its question the thread is back in its wait, for 2.75 s at least.
    const long mark = records.Mark();
    Json::Value question = records.Requests("getStartupInfoAgent", mark, 1, kFewPassesMs);
    ASSERT_FALSE(question.empty());
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_TRUE(tree.Agent().RequestStop());
    // The end banner is the agent's last word; what the process's teardown takes after it (Wine's, a
    // sanitizer's) is not the agent's.
    ASSERT_TRUE(WaitUntil([&] { return tree.AgentLog().find("TavrelAgent Application End") != std::string::npos; },
                          15000, 20));
    const auto tookMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked).count();
    int exitCode = -1;
    ASSERT_TRUE(tree.Agent().WaitExit(15000, &exitCode));
    EXPECT_EQ(exitCode, 0);
    std::cout << "[ figures  ] stop between passes to the end banner: " << tookMs << " ms\n";
    EXPECT_TRUE(records.Requests("getVersionInfo", question[0]["seq"].asInt64()).empty())
        << "a pass began after the stop";
    EXPECT_LT(tookMs, kPassMs - 250) << "the stop waited for the next pass";
    EXPECT_TRUE(records.Connections(0, 0, 0, true).empty()) << "the channel was left open";
    EXPECT_NE(tree.AgentLog().find("=======应用程序开始退出======="), std::string::npos);
}

// The installer's download may take half an hour in a full room; a stop in the middle of it ends the agent at
// once and leaves no half installer behind.
TEST_F(Lifecycle, StopDuringASlowInstallerDownloadEndsTheAgentPromptly) {
    AgentTree tree(room);
    room.SetAnswer("getVersionInfo", "9.9.9.9");
    room.SetGeneratedBytes("updateTavrel", 8u << 20, 5);
    Json::Value slow(Json::objectValue);
    slow["bytesPerSecond"] = 64 * 1024;
    room.SetFault("updateTavrel", "throttle", slow);
    ASSERT_TRUE(tree.StartAgent());
    ASSERT_FALSE(records.Requests("updateTavrel", 0, 1, kFewPassesMs).empty());
    std::this_thread::sleep_for(std::chrono::seconds(2));

    const auto asked = std::chrono::steady_clock::now();
    ASSERT_TRUE(tree.Agent().RequestStop());
    int exitCode = -1;
    ASSERT_TRUE(tree.Agent().WaitExit(20000, &exitCode)) << "the agent waited for the download";
    const auto tookMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked).count();
    std::cout << "[ figures  ] stop during a 64 KB/s installer download to process end: " << tookMs << " ms\n";
    EXPECT_EQ(exitCode, 0);
    EXPECT_LT(tookMs, 5000);
    EXPECT_FALSE(FileExists(tree.Path("Temp\\Tavrel_Setup.exe")));
    EXPECT_NE(tree.AgentLog().find("TavrelAgent Application End"), std::string::npos);
}

// A second agent leaves at once, silently, and the first goes on.
TEST_F(Lifecycle, SecondInstanceEndsAtOnceAndLeavesTheFirstAlone) {
    AgentTree first(room);
    room.SetAnswer("getStartupInfoAgent", Numbered(1, "R1"));
    ASSERT_TRUE(first.StartAgent());
    ASSERT_FALSE(records.Requests("getStartupInfoAgent", 0, 1, kFewPassesMs).empty());

    AgentTree second(room);
    ASSERT_TRUE(second.StartAgent());
    int exitCode = -1;
    ASSERT_TRUE(second.Agent().WaitExit(5000, &exitCode)) << "the second agent stayed";
    EXPECT_EQ(exitCode, kAgentExitAnotherAgent);
    EXPECT_TRUE(second.AgentLog().empty()) << "the second agent wrote a log";

    const long mark = records.Mark();
    EXPECT_FALSE(records.Requests("getStartupInfoAgent", mark, 1, 2 * kPassMs).empty());
    EXPECT_TRUE(first.Agent().Running());
}

#ifdef _WIN32
// A candidate's program took the name (and the next one) before the agent started: the agent runs all the
// same, and a second agent still leaves at once.
TEST_F(Lifecycle, ANameTakenFirstByAnotherProgramKeepsNoAgentOut) {
    TempFolder scratch;
    const std::string ready = scratch / "ready";
    ProcessHandle holder = RunProgram(AnsiToWide(HelperPath("name_holder")),
                                      AnsiToWide("\"" + ready + "\" 60000 TavrelAgentMK TavrelAgentMK.1"), L"");
    ASSERT_TRUE(holder);
    for (int i = 0; i < 200 && !FileExists(ready); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(FileExists(ready)) << "the holder never took the names";

    AgentTree first(room);
    room.SetAnswer("getStartupInfoAgent", Numbered(1, "R1"));
    ASSERT_TRUE(first.StartAgent());
    int exitCode = -1;
    EXPECT_FALSE(first.Agent().WaitExit(3000, &exitCode)) << "the agent left with " << exitCode;
    EXPECT_FALSE(records.Requests("getStartupInfoAgent", 0, 1, kFewPassesMs).empty());

    AgentTree second(room);
    ASSERT_TRUE(second.StartAgent());
    ASSERT_TRUE(second.Agent().WaitExit(5000, &exitCode)) << "a second agent stayed beside the first";
    EXPECT_TRUE(first.Agent().Running());
    KillProgramProcesses(AnsiToWide(HelperPath("name_holder")));
    CloseProcessHandle(holder);
}
#endif

// The exam server gone for a few passes, then back: the same agent process carries on.
TEST_F(Lifecycle, ServerAwayForAWhileThenBackAgentCarriesOn) {
    AgentTree tree(room);
    room.SetAnswer("getStartupInfoAgent", Numbered(2, "R2"));
    ASSERT_TRUE(tree.StartAgent());
    ASSERT_FALSE(records.Connections(0, 1, kFewPassesMs, true).empty());

    room.SetFault("*", "close");
    room.StopSocket(true);
    const long away = records.Mark();
    ASSERT_GE(records.Requests("getVersionInfo", away, 2, 3 * kPassMs + 3000).size(), 2u);
    EXPECT_TRUE(tree.Agent().Running());

    room.ClearFault("*");
    room.StartSocket();
    const long back = records.Mark();
    EXPECT_FALSE(records.Requests("getStartupInfoAgent", back, 1, kFewPassesMs).empty());
    EXPECT_FALSE(records.Connections(back, 1, 30000, true).empty()) << "the channel never came back";
    EXPECT_TRUE(tree.Agent().Running());
}

}  // namespace
}  // namespace tavrel::test
