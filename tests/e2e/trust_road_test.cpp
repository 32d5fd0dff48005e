// The exam start road with Scheme=https and one pinned CA, and a server that presents a stranger's
// certificate: the agent asks nothing of it, obeys nothing, says why, and carries on once the right one is back.
#include <chrono>
#include <thread>

#include "e2e/agent_tree.h"

namespace tavrel::test {
namespace {

class TrustRoad : public AgentTest {
protected:
    void SetUp() override {
        AgentTest::SetUp();
        if (IsSkipped()) return;
        tls = room.Post("/tls/start");
        ASSERT_TRUE(tls["ok"].asBool());
        Present("ca");
    }

    void Present(const char* from) {
        Json::Value body;
        body["from"] = from;
        room.Post("/tls/certificate", body);
    }

    // The tree's shell.ini pointed at the TLS ports, with the CA beside the agent.
    void UseHttps(AgentTree& tree) {
        ASSERT_TRUE(WriteFileBytes(tree.AgentFolder() + "room-ca.pem", tls["caPem"].asString()));
        ASSERT_TRUE(WriteFileBytes(tree.AgentFolder() + "shell.ini",
                                   "[Server]\r\nServer=" + room.Host() + "\r\nServerPort=" +
                                       std::to_string(tls["https"].asInt()) + "\r\nSocketPort=" +
                                       std::to_string(tls["wss"].asInt()) +
                                       "\r\nScheme=https\r\nCaFile=room-ca.pem\r\n[Application]\r\nAppTitle=Tavrel\r\n"));
    }

    std::string HttpsUrl(const char* port) { return "https://" + room.Host() + ":" + std::to_string(tls[port].asInt()); }

    Json::Value tls;
};

TEST_F(TrustRoad, ExamStartsOverHttpsAndCommandsArriveOverWss) {
    AgentTree tree(room);
    UseHttps(tree);
    tree.SetClientStay(500);
    const std::string md5 = ToUpperAscii(room.SetGeneratedBytes("downloadModule", 3000, 77));
    Json::Value data(Json::objectValue);
    data["ecpId"] = 4;
    data["ecpRoomCode"] = "R4";
    data["isStartup"] = true;
    room.SetAnswer("getStartupInfoAgent", data);
    ASSERT_TRUE(tree.StartAgent());

    ASSERT_TRUE(WaitUntil([&] { return !tree.AgentStartedCalls().empty(); }, kFewPassesMs)) << tree.AgentLog();
    const ExamClientCall call = tree.AgentStartedCalls()[0];
    EXPECT_NE(call.line.find(" --shell-app-BaseUrl=" + HttpsUrl("https") + " --shell-app-SocketUrl=" + HttpsUrl("wss") +
                             " "),
              std::string::npos)
        << call.line;
    EXPECT_EQ(GetFileMd5(tree.Path("Modules\\" + md5 + ".upk")), md5);
    EXPECT_FALSE(records.Requests("sendEcpState", 0, 1, kFewPassesMs).empty());
    EXPECT_FALSE(records.Requests("uploadTavrelLogs", 0, 1, 20000).empty());
    Json::Value joined = records.Connections(0, 1, kFewPassesMs, true);
    ASSERT_FALSE(joined.empty()) << "the command channel was never opened over wss";
    EXPECT_EQ(QueryValue(joined[0]["queryParams"], "room"), "R4");
    const std::string key = QueryValue(joined[0]["queryParams"], "ecpKey");
    Json::Value command(Json::objectValue);
    command["code"] = 2003;
    command["data"] = "17";
    Json::Value args(Json::arrayValue);
    args.append(command);
    EXPECT_TRUE(room.EmitWithAck(Target::Key(key), "broadcast", args, 10000).isArray());
    EXPECT_FALSE(room.Events("ok", "event", "in", 1, 5000).empty()) << "the command was not obeyed";
}

TEST_F(TrustRoad, StrangerCertificateIsNeverSpokenToAndTheRightServerIsHeardAgain) {
    Present("other");
    AgentTree tree(room);
    UseHttps(tree);
    Json::Value data = Numbered(6, "R6");
    data["isStartup"] = true;
    room.SetAnswer("getStartupInfoAgent", data);
    ASSERT_TRUE(tree.StartAgent());

    ASSERT_TRUE(WaitUntil([&] { return tree.AgentLog().find("TLS refused") != std::string::npos; }, kFewPassesMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * kPassMs));
    EXPECT_TRUE(room.Requests().empty()) << "a request completed behind a stranger's certificate";
    EXPECT_TRUE(tree.AgentStartedCalls().empty()) << "the exam client was started without the server";
    EXPECT_TRUE(room.Connections().empty()) << "the channel spoke to a stranger's certificate";
    EXPECT_NE(tree.AgentLog().find("unable to get local issuer certificate"), std::string::npos);

    Present("ca");
    EXPECT_FALSE(records.Requests("getStartupInfoAgent", 0, 1, kFewPassesMs).empty());
    EXPECT_TRUE(WaitUntil([&] { return !tree.AgentStartedCalls().empty(); }, kFewPassesMs));
    // The channel's reconnect delays reach 25 s at most (spread by half).
    EXPECT_FALSE(records.Connections(0, 1, 40000, true).empty()) << "the channel never came back";
}

#ifdef _WIN32
constexpr bool kAuthenticodeBuild = true;
#else
constexpr bool kAuthenticodeBuild = false;  // the Linux port refuses every installer once Publisher is set
#endif

// Serves the installer probe signed by signer; the Linux probe is no PE image, so it goes out unsigned there.
void ServeInstaller(RoomServer& room, const char* signer) {
    Json::Value body;
    body["bytes"]["base64"] = RoomServer::Base64Encode(ReadFileBytes(HelperPath("installer_probe")));
    body["signer"] = kAuthenticodeBuild ? signer : "none";
    ASSERT_TRUE(room.Post("/tls/installer", body)["ok"].asBool());
}

// Under Wine the real WinVerifyTrust accepts the test CA's chain, so the publisher's installer really starts.
TEST_F(TrustRoad, OnlyThePublishersInstallerIsStarted) {
    AgentTree tree(room);
    const std::string ini = tree.AgentFolder() + "shell.ini";
    ASSERT_TRUE(WriteFileBytes(ini, ReadFileBytes(ini) + "[Update]\r\nPublisher=Tavrel Test Publisher\r\n"));
    const std::string record = tree.Path("Temp\\installer-run.txt");
    ServeInstaller(room, "other");
    room.SetAnswer("getVersionInfo", "9.9.9.8");
    ASSERT_TRUE(tree.StartAgent());

    ASSERT_TRUE(WaitUntil([&] { return tree.AgentLog().find("安装包签名校验失败") != std::string::npos; }, kFewPassesMs))
        << tree.AgentLog();
    std::this_thread::sleep_for(std::chrono::milliseconds(kPassMs));
    EXPECT_FALSE(FileExists(record)) << "an installer of another publisher ran";
    EXPECT_FALSE(FileExists(tree.Path("Temp\\Tavrel_Setup.exe")));
    EXPECT_TRUE(tree.Agent().Running());
    EXPECT_NE(tree.AgentLog().find(kAuthenticodeBuild ? "签名者:\"Tavrel Other Publisher\"" : "cannot verify"),
              std::string::npos);

    ServeInstaller(room, "publisher");
    room.SetAnswer("getVersionInfo", "9.9.9.9");
    if (kAuthenticodeBuild) {
        int exitCode = -1;
        EXPECT_TRUE(tree.Agent().WaitExit(kFewPassesMs, &exitCode)) << tree.AgentLog();
        EXPECT_TRUE(WaitUntil([&] { return FileExists(record); }, 10000)) << "the publisher's installer never ran";
        EXPECT_NE(tree.AgentLog().find("安装包签名校验通过：Tavrel Test Publisher"), std::string::npos);
    } else {
        ASSERT_FALSE(records.Requests("updateTavrel", 0, 2, kFewPassesMs).empty());
        std::this_thread::sleep_for(std::chrono::milliseconds(kPassMs));
        EXPECT_FALSE(FileExists(record));
        EXPECT_TRUE(tree.Agent().Running());
    }
}

}  // namespace
}  // namespace tavrel::test
