// The road of an exam start, from a fresh agent to the uploaded exam client log, and the rules about which
// exam client runs: its name, and that it counts as running only as two processes.
#include <regex>

#include "e2e/agent_tree.h"

namespace tavrel::test {
namespace {

class ExamStartRoad : public AgentTest {
protected:
    // The first question of the agent names its machine key and address.
    void LearnIdentity() {
        Json::Value first = records.Requests("getStartupInfoAgent", 0, 1, kFewPassesMs);
        ASSERT_FALSE(first.empty()) << "the agent never asked what to do";
        key = Text(first[0]["key"]);
        ip = QueryValue(first[0]["queryParams"], "ip");
        ASSERT_FALSE(key.empty());
        ASSERT_FALSE(ip.empty());
    }

    static std::string WithoutTrailingSeparator(std::string path) {
        while (!path.empty() && (path.back() == '/' || path.back() == '\\')) path.pop_back();
        return path;
    }

    std::string key, ip;
};

TEST_F(ExamStartRoad, FreshAgentRegistersJoinsFetchesStartsWaitsAndCleansUp) {
    AgentTree tree(room);
    tree.SetClientStay(3000);
    const std::string md5 = ToUpperAscii(room.SetGeneratedBytes("downloadModule", 6000, 4242));
    ASSERT_TRUE(AgentTree::Copy(HelperPath("tavrel_stub"), tree.AgentFolder() + "keyboardHook.exe"));
    ProcessHandle hook = tree.StartInTree("keyboardHook.exe", "--max-ms 90000");
    ASSERT_TRUE(hook);

    ASSERT_TRUE(tree.StartAgent());
    ASSERT_NO_FATAL_FAILURE(LearnIdentity());

    // Unknown at first: the server answers 9000 and the agent registers with no room yet.
    Json::Value registration = records.Requests("registeTavrel", 0, 1, kFewPassesMs);
    ASSERT_FALSE(registration.empty());
    EXPECT_EQ(Text(registration[0]["json"]["ecpKey"]), key);
    EXPECT_EQ(Text(registration[0]["json"]["ecpRoom"]), "");
    EXPECT_EQ(Text(registration[0]["json"]["ecpIp"]), ip);
    EXPECT_FALSE(Text(registration[0]["json"]["ecpHostName"]).empty());

    Json::Value startup(Json::objectValue);
    startup["isStartup"] = true;
    startup["phase"] = 1;
    startup["isSuperLock"] = "0";
    startup["ecpPixel"] = "1920*1080";
    room.SetMachine(key, startup);

    // Number 1 in room R101: the channel is joined with the machine's key and room.
    Json::Value joined = records.Connections(0, 1, kFewPassesMs, true);
    ASSERT_FALSE(joined.empty()) << "the command channel was never opened";
    EXPECT_EQ(QueryValue(joined[0]["queryParams"], "ecpKey"), key);
    EXPECT_EQ(QueryValue(joined[0]["queryParams"], "room"), "R101");
    EXPECT_EQ(QueryValue(joined[0]["queryParams"], "type"), "agent");

    // The module is fetched, checked and kept under its digest before the state report.
    Json::Value report = records.Requests("sendEcpState", 0, 1, kFewPassesMs);
    ASSERT_FALSE(report.empty());
    EXPECT_EQ(Text(report[0]["json"]["ecpId"]), "1");
    EXPECT_EQ(Text(report[0]["json"]["ecpKey"]), key);
    EXPECT_EQ(Text(report[0]["json"]["ecpIp"]), ip);
    EXPECT_EQ(Text(report[0]["json"]["ecpRoomCode"]), "R101");
    EXPECT_EQ(Text(report[0]["json"]["ecpVersion"]), TAVREL_VERSION_TEXT);
    EXPECT_EQ(report[0]["json"]["status"], Json::Value(1));
    Json::Value download = records.Requests("downloadModule");
    ASSERT_EQ(download.size(), 1u);
    EXPECT_LT(download[0]["seq"].asInt64(), report[0]["seq"].asInt64());
    EXPECT_EQ(GetFileMd5(tree.Path("Modules\\" + md5 + ".upk")), md5);

    // The exam client runs as two processes with the ten-piece command line, in the agent's folder.
    ASSERT_TRUE(WaitUntil([&] { return !tree.AgentStartedCalls().empty(); }, kFewPassesMs));
    EXPECT_TRUE(WaitUntil([] { return CountProcesses("Tavrel.exe") == 2; }, 2000));
    const ExamClientCall call = tree.AgentStartedCalls()[0];
    const std::string expected = std::string("--shell-app-version=") + TAVREL_VERSION_TEXT + " --shell-app-IP=" + ip +
                                 " --shell-app-Mac=" + key + " --shell-app-BaseUrl=" + room.BaseUrl() +
                                 " --shell-app-SocketUrl=" + room.SocketUrl() +
                                 " --shell-app-ecpId=1 --shell-app-ecpRoomCode=R101 --shell-app-SuperLock=0"
                                 " --shell-app-package=" + md5 + ".upk --shell-app-ecpPixel=1920*1080";
    EXPECT_EQ(call.name, "Tavrel.exe");
    EXPECT_EQ(call.line, expected);
    EXPECT_EQ(call.args.size(), 10u);
    EXPECT_EQ(WithoutTrailingSeparator(call.cwd), WithoutTrailingSeparator(tree.AgentFolder()));

    // It ends by itself; then the keyboard hook is gone before the exam client's log is uploaded.
    Json::Value upload = records.Requests("uploadTavrelLogs", 0, 1, 20000);
    ASSERT_FALSE(upload.empty()) << "the exam client's log never arrived";
    EXPECT_TRUE(WaitProcessEnd(hook, nullptr, 0)) << "keyboardHook.exe outlived the exam client";
    CloseProcessHandle(hook);
    std::set<long> ended;
    tree.Calls(&ended);
    EXPECT_EQ(ended.count(call.pid), 1u) << "the agent went on before its exam client had ended";
    EXPECT_EQ(CountProcesses("Tavrel.exe"), 0);
    const Json::Value* logName = RoomServer::PartOf(upload[0], "logName");
    const Json::Value* file = RoomServer::PartOf(upload[0], "file");
    ASSERT_TRUE(logName && file);
    EXPECT_TRUE(std::regex_match(Text((*logName)["text"]), std::regex(R"(Tavrel\.\d{14}\.log)")));
    EXPECT_EQ(RoomServer::PartBytes(*file), "exam client log of this run\n");
    EXPECT_EQ(Text((*RoomServer::PartOf(upload[0], "ecpId"))["text"]), "1");
    EXPECT_EQ(Text((*RoomServer::PartOf(upload[0], "ecpKey"))["text"]), key);

    Json::Value finished(Json::objectValue);
    finished["isStartup"] = false;
    room.SetMachine(key, finished);
    ASSERT_TRUE(tree.Agent().RequestStop());
    int exitCode = -1;
    ASSERT_TRUE(tree.Agent().WaitExit(15000, &exitCode));
    EXPECT_EQ(exitCode, 0);
    const std::string log = tree.AgentLog();
    EXPECT_NE(log.find("====start Tavrel param==== " + expected), std::string::npos);
    EXPECT_NE(log.find("TavrelAgent Application End"), std::string::npos);
}

// A room of PCs sharing one link gives each a few tens of KB/s: a module of 4.25 MB at 64 KB/s takes over a
// minute (longer than any fixed limit a call might carry), arrives in one transfer, and the exam client
// starts with it.
TEST_F(ExamStartRoad, SlowLargeModuleArrivesInOneTransferAndTheExamClientStarts) {
    AgentTree tree(room);
    tree.SetClientStay(500);
    const std::string md5 = ToUpperAscii(room.SetGeneratedBytes("downloadModule", 17u << 18, 66));
    Json::Value slow(Json::objectValue);
    slow["bytesPerSecond"] = 64 * 1024;
    room.SetFault("downloadModule", "throttle", slow);
    Json::Value data = Numbered(6, "R6");
    data["isStartup"] = true;
    room.SetAnswer("getStartupInfoAgent", data);
    ASSERT_TRUE(tree.StartAgent());
    ASSERT_FALSE(records.Requests("downloadModule", 0, 1, kFewPassesMs).empty());
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil([&] { return !tree.AgentStartedCalls().empty(); }, 240000, 500)) << "no exam client started";
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
    std::cout << "[ figures  ] 4.25 MB module at 64 KB/s: exam client started " << seconds << " s after the download began\n";
    EXPECT_GE(seconds, 60.0) << "the throttle was not in force";
    EXPECT_EQ(records.Requests("downloadModule").size(), 1u) << "the transfer started over";
    EXPECT_EQ(GetFileMd5(tree.Path("Modules\\" + md5 + ".upk")), md5);
    EXPECT_NE(tree.AgentStartedCalls()[0].line.find("--shell-app-package=" + md5 + ".upk"), std::string::npos);
}

// An exam client that cannot start ends every pass at once: the 32 MB package it would run is checked once,
// not read again every 3 s.
TEST_F(ExamStartRoad, PackageOfAnExamClientThatCannotStartIsNotReadEveryPass) {
    AgentTree tree(room);
    RemoveFile(tree.AgentFolder() + "Tavrel.exe");
    const unsigned long long size = 32ull << 20;
    const std::string md5 = ToUpperAscii(room.SetGeneratedBytes("downloadModule", size, 32));
    Json::Value data = Numbered(8, "R8");
    data["isStartup"] = true;
    room.SetAnswer("getStartupInfoAgent", data);
    ASSERT_TRUE(tree.StartAgent());
    ASSERT_GE(records.Requests("uploadTavrelLogs", 0, 2, 60000).size(), 2u) << "the passes did not go round";
    const unsigned long long before = tree.Agent().BytesRead();
    if (before == 0) GTEST_SKIP() << "this system does not tell what a process has read";
    const long mark = records.Mark();
    // Five passes each reading the package would read 160 MB.
    const size_t passes = records.Requests("uploadTavrelLogs", mark, 5, 10 * kPassMs).size();
    const unsigned long long read = tree.Agent().BytesRead() - before;
    std::cout << "[ figures  ] " << read / 1e6 << " MB read over " << passes
              << " passes with a 32 MB package and an exam client that cannot start\n";
    ASSERT_GE(passes, 5u);
    EXPECT_LT(read, size / 4) << "the package was read again";
    EXPECT_EQ(records.Requests("downloadModule").size(), 1u);
    EXPECT_TRUE(tree.AgentStartedCalls().empty());
}

// The server may name another exam client; a pass without the name starts Tavrel.exe again.
TEST_F(ExamStartRoad, NamedClientTypeIsStartedOnlyWhileTheServerNamesIt) {
    AgentTree tree(room);
    tree.SetClientStay(500);
    ASSERT_TRUE(AgentTree::Copy(HelperPath("exam_client_stub"), tree.AgentFolder() + "Other.exe"));
    Json::Value data(Json::objectValue);
    data["ecpId"] = 3;
    data["ecpRoomCode"] = "R3";
    data["isStartup"] = true;
    data["tavrelType"] = "Other.exe";
    room.SetAnswer("getStartupInfoAgent", data);
    ASSERT_TRUE(tree.StartAgent());

    ASSERT_TRUE(WaitUntil([&] { return !tree.AgentStartedCalls().empty(); }, kFewPassesMs));
    EXPECT_EQ(tree.AgentStartedCalls()[0].name, "Other.exe");
    data.removeMember("tavrelType");
    room.SetAnswer("getStartupInfoAgent", data);
    ASSERT_TRUE(WaitUntil([&] {
        for (const ExamClientCall& call : tree.AgentStartedCalls())
            if (call.name == "Tavrel.exe") return true;
        return false;
    }, kFewPassesMs));
    // Once the name is gone it stays gone: no start of Other.exe after the first Tavrel.exe.
    bool fellBack = false;
    for (const ExamClientCall& call : tree.AgentStartedCalls()) {
        if (call.name == "Tavrel.exe") fellBack = true;
        if (fellBack) {
            EXPECT_EQ(call.name, "Tavrel.exe");
        }
    }
}

// A name that reaches outside the agent's folder is refused: the agent starts Tavrel.exe, never the program
// beside its folder.
TEST_F(ExamStartRoad, ClientTypeOutsideTheAgentFolderIsRefused) {
    AgentTree tree(room);
    tree.SetClientStay(500);
    ASSERT_TRUE(AgentTree::Copy(HelperPath("exam_client_stub"), tree.Path("evil.exe")));
    Json::Value data(Json::objectValue);
    data["ecpId"] = 3;
    data["ecpRoomCode"] = "R3";
    data["isStartup"] = true;
    data["tavrelType"] = "../evil.exe";
    room.SetAnswer("getStartupInfoAgent", data);
    ASSERT_TRUE(tree.StartAgent());

    ASSERT_TRUE(WaitUntil([&] { return !tree.AgentStartedCalls().empty(); }, kFewPassesMs));
    for (const ExamClientCall& call : tree.AgentStartedCalls()) EXPECT_EQ(call.name, "Tavrel.exe");
}

// One process of the exam client's name is not the exam client: with an examinee assigned the agent
// reports status 0 and starts nothing; two processes count as the exam client running.
TEST_F(ExamStartRoad, ExamClientRunsOnlyAsTwoProcessesAndAnExamineeIsNeverRestartedUnder) {
    AgentTree tree(room);
    Json::Value data(Json::objectValue);
    data["ecpId"] = 5;
    data["ecpRoomCode"] = "R5";
    data["isStartup"] = false;
    data["examineeId"] = "E0005";
    room.SetAnswer("getStartupInfoAgent", data);

    // The client starts once the agent has its number: the first number would end a client found running.
    ASSERT_TRUE(tree.StartAgent());
    ASSERT_FALSE(records.Connections(0, 1, kFewPassesMs, true).empty());
    tree.SetClientStay(120000);
    ProcessHandle client = tree.StartInTree("Tavrel.exe", "--started-by-test");
    ASSERT_TRUE(client);
    ASSERT_TRUE(WaitUntil([] { return CountProcesses("Tavrel.exe") == 2; }, 5000));
    // It is taken over and waited on: no pass runs, so it is never taken for gone.
    const long running = records.Mark();
    ASSERT_TRUE(WaitUntil([&] { return tree.AgentLog().find("考试客户端已在运行") != std::string::npos; }, kFewPassesMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * kPassMs));
    EXPECT_TRUE(records.Requests("sendEcpState", running).empty()) << "a running exam client was taken for gone";

    // The start is allowed from now on, but the examinee is at work: the exam client is not restarted.
    data["isStartup"] = true;
    room.SetAnswer("getStartupInfoAgent", data);
    tree.ReleaseClients();
    ASSERT_TRUE(WaitProcessEnd(client, nullptr, 5000));
    tree.HoldClients();
    Json::Value reports = records.Requests("sendEcpState", records.Mark(), 1, kFewPassesMs);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports[0]["json"]["status"], Json::Value(0));
    EXPECT_EQ(Text(reports[0]["json"]["ecpId"]), "5");
    EXPECT_EQ(Text(reports[0]["json"]["ecpRoomCode"]), "R5");

    // A single process of that name changes nothing.
    ASSERT_TRUE(AgentTree::Copy(HelperPath("tavrel_stub"), tree.AgentFolder() + "Tavrel.exe"));
    ProcessHandle single = tree.StartInTree("Tavrel.exe", "--until " + tree.AgentFolder() + "exam_client_release");
    ASSERT_TRUE(single);
    const long mark = records.Mark();
    Json::Value later = records.Requests("sendEcpState", mark, 2, 3 * kPassMs + 2000);
    ASSERT_GE(later.size(), 2u) << "one process of the name was taken for the exam client";
    for (const Json::Value& report : later) EXPECT_EQ(report["json"]["status"], Json::Value(0));
    EXPECT_TRUE(tree.AgentStartedCalls().empty());
    EXPECT_TRUE(records.Requests("getModuleMD5").empty());
}

// The service brings an agent killed during the exam back: it takes the running exam client over (no second start,
// no status 0, its first number no change); when the client ends, the keyboard hook goes and the log goes once.
TEST_F(ExamStartRoad, AgentKilledDuringTheExamTakesTheRunningExamClientOverWhenItComesBack) {
    AgentTree tree(room);
    tree.SetClientStay(180000);
    ASSERT_TRUE(AgentTree::Copy(HelperPath("tavrel_stub"), tree.AgentFolder() + "keyboardHook.exe"));
    Json::Value data = Numbered(4, "R4");
    data["isStartup"] = true;
    room.SetAnswer("getStartupInfoAgent", data);
    ASSERT_TRUE(tree.StartAgent());
    ASSERT_TRUE(WaitUntil([&] { return !tree.AgentStartedCalls().empty(); }, kFewPassesMs));
    ASSERT_TRUE(WaitUntil([] { return CountProcesses("Tavrel.exe") == 2; }, 5000));
    ProcessHandle hook = tree.StartInTree("keyboardHook.exe", "--max-ms 180000");
    ASSERT_TRUE(hook);
    data["examineeId"] = "E0004";  // the candidate has signed in to the exam
    room.SetAnswer("getStartupInfoAgent", data);
    tree.Agent().Kill();
    const long restart = records.Mark();
    ASSERT_TRUE(tree.StartAgent());
    ASSERT_FALSE(records.Connections(restart, 1, kFewPassesMs, true).empty()) << "the agent that came back never joined";
    ASSERT_TRUE(WaitUntil([&] { return tree.AgentLog().find("考试客户端已在运行") != std::string::npos; }, kFewPassesMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * kPassMs));
    EXPECT_EQ(CountProcesses("Tavrel.exe"), 2) << "the exam client did not outlive its agent's return";
    EXPECT_EQ(tree.AgentStartedCalls().size(), 1u) << "a second exam client was started";
    EXPECT_TRUE(records.Requests("sendEcpState", restart).empty()) << "the running exam was reported";
    EXPECT_FALSE(WaitProcessEnd(hook, nullptr, 0)) << "the keyboard hook was ended while the exam ran";
    EXPECT_EQ(tree.AgentLog().find("座位号发生改变"), std::string::npos);
    const long ending = records.Mark();
    tree.ReleaseClients();
    ASSERT_FALSE(records.Requests("uploadTavrelLogs", ending, 1, 20000).empty()) << "no log after the exam";
    EXPECT_TRUE(WaitProcessEnd(hook, nullptr, 5000)) << "the keyboard hook outlived the exam client";
    CloseProcessHandle(hook);
    Json::Value reports = records.Requests("sendEcpState", ending, 2, kFewPassesMs);
    ASSERT_GE(reports.size(), 2u);
    for (const Json::Value& report : reports) EXPECT_EQ(report["json"]["status"], Json::Value(0));
    EXPECT_EQ(records.Requests("uploadTavrelLogs", ending).size(), 1u) << "the after-exam work was done again";
}

}  // namespace
}  // namespace tavrel::test
