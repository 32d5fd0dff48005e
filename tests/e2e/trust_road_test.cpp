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

TEST_F(TrustRoad, ExamStartsOverHttpsAndThePlainChannelStaysShut) {
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
    // The channel would be plain text: it is not opened at all, and the log says so.
    EXPECT_TRUE(room.Connections().empty());
    EXPECT_NE(tree.AgentLog().find("Scheme=https"), std::string::npos);
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
    EXPECT_NE(tree.AgentLog().find("unable to get local issuer certificate"), std::string::npos);

    Present("ca");
    EXPECT_FALSE(records.Requests("getStartupInfoAgent", 0, 1, kFewPassesMs).empty());
    EXPECT_TRUE(WaitUntil([&] { return !tree.AgentStartedCalls().empty(); }, kFewPassesMs));
}

}  // namespace
}  // namespace tavrel::test
