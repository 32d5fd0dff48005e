// The ten server calls against the room-server: what goes over the wire (paths, queries, bodies, form
// parts), how many transfers each makes, what each takes from the answers, and the lines each logs.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <iostream>

#include "server/server_api.h"
#include "server/server_fixture.h"
#include "support/links.h"
#include "support/test_support.h"
#include "system/file.h"
#include "system/text.h"

namespace tavrel::test {
namespace {

using Clock = std::chrono::steady_clock;

const char kKey[] = "AA-BB-CC-DD-EE-01";
const char kNetworkTrouble[] = "服务异常，请检测网络连接！";

class ServerCallsTest : public ServerTest {
protected:
    Json::Value OnlyRequest(const std::string& route) {
        std::vector<Json::Value> seen = m_room.RouteRequests(route);
        EXPECT_EQ(seen.size(), 1u) << route;
        return seen.empty() ? Json::Value() : seen[0];
    }
    // Points the calls at a port where nothing listens.
    void NoServer() { WriteShared(&SharedValues::ServerPort, std::string("1")); }
};

// Every call once with plain arguments; the rows say which route it must reach.
struct CallRow {
    const char* name;
    const char* route;
    const char* method;
    int transfersWhenFailing;  // the downloads are never repeated
    std::function<bool()> call;
};

std::vector<CallRow> AllCalls(const std::string& folder) {
    return {
        {"GetVersionInfo", "getVersionInfo", "GET", 3,
         [] {
             std::string v;
             return GetVersionInfo(SharedEndpoint(), v);
         }},
        {"DownloadTavrelSetup", "updateTavrel", "GET", 1, [folder] { return DownloadTavrelSetup(SharedEndpoint(), folder + "s.exe"); }},
        {"DownloadExamModule", "downloadModule", "GET", 1, [folder] { return DownloadExamModule(SharedEndpoint(), folder + "m.upk"); }},
        {"GetStartupInfoAgent", "getStartupInfoAgent", "GET", 3,
         [] {
             ServiceStartupInfo info;
             return GetStartupInfoAgent(SharedEndpoint(), "10.0.0.5", kKey, info);
         }},
        {"RegisteTavrel", "registeTavrel", "POST", 3,
         [] {
             std::string id;
             return RegisteTavrel(SharedEndpoint(), "R101", kKey, "PC01", "10.0.0.5", id);
         }},
        {"GetExamModuleInfo", "getModuleMD5", "GET", 3,
         [] {
             std::string md5;
             return GetExamModuleInfo(SharedEndpoint(), md5);
         }},
        {"ModifyEcpNo", "modifyTavrel", "POST", 3,
         [] {
             std::string message;
             return ModifyEcpNo(SharedEndpoint(), kKey, "3", message);
         }},
        {"SendEcpState", "sendEcpState", "POST", 3,
         [] { return SendEcpState(SharedEndpoint(), kKey, "3", "10.0.0.5", "1.0.0.1", "R101", 1); }},
        {"UploadExamAnswer", "uploadRecoverAnswer", "POST", 3,
         [folder] { return UploadExamAnswer(SharedEndpoint(), "T1", "E1", "B1", folder + "missing.oef"); }},
        {"UploadExamLog", "uploadTavrelLogs", "POST", 3,
         [folder] {
             WriteFileBytes(folder + "Tavrel.log", "log line\n");
             return UploadExamLog(SharedEndpoint(), kKey, "3", folder + "Tavrel.log");
         }},
    };
}

TEST_F(ServerCallsTest, EachCallReachesItsPathWithItsMethod) {
    TempFolder folder;
    for (const CallRow& row : AllCalls(folder.Path() + PathSeparator())) {
        SCOPED_TRACE(row.name);
        m_room.Reset();
        row.call();
        Json::Value request = OnlyRequest(row.route);
        EXPECT_EQ(request["method"].asString(), row.method);
    }
}

TEST_F(ServerCallsTest, FailingTransfersAreRepeatedAsEachCallAllows) {
    TempFolder folder;
    m_room.Fault(R"({"route":"*","kind":"close"})");
    for (const CallRow& row : AllCalls(folder.Path() + PathSeparator())) {
        SCOPED_TRACE(row.name);
        LogCapture log;
        EXPECT_FALSE(row.call());
        EXPECT_EQ(m_room.RouteRequests(row.route).size(), static_cast<size_t>(row.transfersWhenFailing));
        EXPECT_TRUE(log.Contains(LogLevel::Error, std::string(row.name) + " Error[52]"));
    }
}

TEST_F(ServerCallsTest, QuickCallsGiveUpAfterOneSecond) {
    // Version, start-up information and the others of a pass wait at most a second for an answer.
    m_room.Fault(R"({"route":"getVersionInfo","kind":"delay","ms":2500})");
    LogCapture log;
    std::string version;
    EXPECT_FALSE(GetVersionInfo(SharedEndpoint(), version));
    EXPECT_TRUE(log.Contains(LogLevel::Error, "GetVersionInfo Error[28]:"));
}

TEST_F(ServerCallsTest, StartupQueryCarriesKeyAndIpUnescaped) {
    ServiceStartupInfo info;
    // "%41" would be "A" to a decoder: it arrives as three characters.
    GetStartupInfoAgent(SharedEndpoint(), "10.0.0.5", "AA-BB-%41", info);
    std::vector<Json::Value> seen = m_room.RouteRequests("getStartupInfoAgent");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0]["requestLine"].asString(),
              "GET /client/getStartupInfoAgent?ecpKey=AA-BB-%41&ip=10.0.0.5 HTTP/1.1");
}

TEST_F(ServerCallsTest, RegistrationBodyIsStyledAndSentInUtf8) {
    std::string ecpId = "old";
    LogCapture log;
    // "淺" is one of the GBK characters whose second byte is "\": it must arrive as itself.
    ASSERT_TRUE(RegisteTavrel(SharedEndpoint(), "R101", kKey, "考场-淺01", "10.0.0.5", ecpId));
    EXPECT_EQ(ecpId, "1") << "the room's first machine";
    Json::Value request = OnlyRequest("registeTavrel");
    std::string expected = "{\n"
                           "   \"ecpHostName\" : \"考场-淺01\",\n"
                           "   \"ecpIp\" : \"10.0.0.5\",\n"
                           "   \"ecpKey\" : \"AA-BB-CC-DD-EE-01\",\n"
                           "   \"ecpRoom\" : \"R101\"\n"
                           "}\n";
    EXPECT_EQ(BodyOf(request), AnsiToUtf8(expected));
    EXPECT_EQ(request["json"]["ecpHostName"].asString(), AnsiToUtf8("考场-淺01"));
    EXPECT_TRUE(log.Contains(LogLevel::Info, "RegisteTavrel:{\"code\":1000,\"data\":1"));
}

TEST_F(ServerCallsTest, ModifyBodyIsStyled) {
    std::string message;
    ModifyEcpNo(SharedEndpoint(), kKey, "12", message);
    EXPECT_EQ(BodyOf(OnlyRequest("modifyTavrel")),
              "{\n   \"ecpId\" : \"12\",\n   \"ecpKey\" : \"AA-BB-CC-DD-EE-01\"\n}\n");
}

TEST_F(ServerCallsTest, StateReportEndsWithANumericStatus) {
    EXPECT_TRUE(SendEcpState(SharedEndpoint(), kKey, "7", "10.0.0.5", "1.0.0.1", "R101", 1));
    EXPECT_EQ(BodyOf(OnlyRequest("sendEcpState")), "{\n"
                                                    "   \"ecpId\" : \"7\",\n"
                                                    "   \"ecpIp\" : \"10.0.0.5\",\n"
                                                    "   \"ecpKey\" : \"AA-BB-CC-DD-EE-01\",\n"
                                                    "   \"ecpRoomCode\" : \"R101\",\n"
                                                    "   \"ecpVersion\" : \"1.0.0.1\",\n"
                                                    "   \"message\" : \"\",\n"
                                                    "   \"status\" : 1\n"
                                                    "}\n");
}

TEST_F(ServerCallsTest, StateReportDoesNotReadTheAnswer) {
    m_room.Fault(R"({"route":"sendEcpState","kind":"notjson"})");
    EXPECT_TRUE(SendEcpState(SharedEndpoint(), kKey, "7", "10.0.0.5", "1.0.0.1", "R101", 0));
    m_room.Fault(R"({"route":"sendEcpState","kind":"status","status":503})");
    LogCapture log;
    EXPECT_FALSE(SendEcpState(SharedEndpoint(), kKey, "7", "10.0.0.5", "1.0.0.1", "R101", 0));
    EXPECT_TRUE(log.Contains(LogLevel::Error, "SendEcpState Error[503]:"));
}

TEST_F(ServerCallsTest, VersionIsTakenWhateverTheCode) {
    struct Row {
        const char* answer;
        bool result;
        std::string version;
    } rows[] = {
        {R"({"code":1000,"data":"1.0.0.9","message":""})", true, "1.0.0.9"},
        {R"({"code":1001,"data":"1.0.0.8","message":"x"})", false, "1.0.0.8"},
        {R"({"code":1000,"data":null})", true, ""},
        {R"({"code":1000})", true, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.answer);
        m_room.SetRawAnswer("getVersionInfo", row.answer);
        std::string version = "before";
        EXPECT_EQ(GetVersionInfo(SharedEndpoint(), version), row.result);
        EXPECT_EQ(version, row.version);
    }
}

// Start-up information as the room-server hands it out, each row checked against the caller's values.
struct StartupOut {
    bool result = false;
    ServiceStartupInfo info{"5", 3, "OLD", 1, "1", L"Old.exe", "E-OLD", "800*600"};
};

StartupOut CallStartup() {
    StartupOut out;
    out.result = GetStartupInfoAgent(SharedEndpoint(), "10.0.0.5", kKey, out.info);
    return out;
}

TEST_F(ServerCallsTest, StartupInformationDecodingTable) {
    StartupOut untouched;
    untouched.result = false;
    struct Row {
        const char* name;
        std::string answer;  // UTF-8
        StartupOut expected;
        const char* errorLine;  // fragment of the error line, or nullptr for none
    };
    auto with = [](std::function<void(StartupOut&)> change) {
        StartupOut out;
        change(out);
        return out;
    };
    auto missing = [&](std::function<void(StartupOut&)> change) {
        return with([&](StartupOut& o) {
            o.info.ecpId = "";
            o.info.phase = 0;
            o.info.ecpRoomCode = "";
            o.info.isStartup = 0;
            o.info.isSuperLock = "";
            change(o);
        });
    };
    const std::vector<Row> rows = {
        {"unknown machine", R"({"code":9000,"data":null,"message":"x"})", with([](StartupOut& o) {
             o.result = true;
             o.info.ecpId = "-1";
         }),
         nullptr},
        {"everything",
         AnsiToUtf8(R"({"code":1000,"data":{"ecpId":12,"phase":2,"ecpRoomCode":"考场1","isStartup":true,)"
                    R"("isSuperLock":"0","tavrelType":"考试.exe","examineeId":"E7","ecpPixel":"1920*1080"}})"),
         with([](StartupOut& o) {
             o = StartupOut{true, {"12", 2, "考场1", 1, "0", AnsiToWide("考试.exe"), "E7", "1920*1080"}};
         }),
         nullptr},
        {"other code fills the outputs and fails", R"({"code":1002,"data":{"ecpId":4,"phase":1}})",
         missing([](StartupOut& o) {
             o.info.ecpId = "4";
             o.info.phase = 1;
         }),
         nullptr},
        {"members missing", R"({"code":1000,"data":{}})", missing([](StartupOut& o) { o.result = true; }), nullptr},
        {"members null",
         R"({"code":1000,"data":{"ecpId":null,"phase":null,"ecpRoomCode":null,"isStartup":null,"isSuperLock":null,)"
         R"("tavrelType":null,"examineeId":null,"ecpPixel":null}})",
         missing([](StartupOut& o) { o.result = true; }), nullptr},
        {"empty texts", R"({"code":1000,"data":{"tavrelType":"","examineeId":"","ecpPixel":""}})",
         missing([](StartupOut& o) {
             o.result = true;
             o.info.ecpPixel = "";
         }),
         nullptr},
        {"not json", "<html>busy</html>", untouched, "GetStartupInfoAgent parse response error:<html>busy</html>"},
        {"ecpId as text", R"({"code":1000,"data":{"ecpId":"twelve"}})", untouched,
         "GetStartupInfoAgent response type error:"},
        {"tavrelType as object", R"({"code":1000,"data":{"tavrelType":{"n":"x"}}})", untouched,
         "GetStartupInfoAgent response type error:"},
        {"data as array", R"({"code":1000,"data":[]})", untouched, "GetStartupInfoAgent response type error:"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        m_room.SetRawAnswer("getStartupInfoAgent", row.answer);
        LogCapture log;
        StartupOut out = CallStartup();
        EXPECT_EQ(out.result, row.expected.result);
        EXPECT_EQ(StartupFields(out.info), StartupFields(row.expected.info));
        if (row.errorLine)
            EXPECT_TRUE(log.Contains(LogLevel::Error, row.errorLine));
        else
            EXPECT_TRUE(log.Lines().empty());
    }
}

TEST_F(ServerCallsTest, StartupInformationOfAMachineTheRoomKnows) {
    // The room's own answer for an unknown machine is 9000; after registering, its start-up record.
    StartupOut first = CallStartup();
    EXPECT_TRUE(first.result);
    EXPECT_EQ(first.info.ecpId, "-1");
    std::string ecpId;
    ASSERT_TRUE(RegisteTavrel(SharedEndpoint(), "R202", kKey, "PC01", "10.0.0.5", ecpId));
    StartupOut second = CallStartup();
    EXPECT_TRUE(second.result);
    EXPECT_EQ(second.info.ecpId, ecpId);
    EXPECT_EQ(second.info.ecpRoomCode, "R202");
}

TEST_F(ServerCallsTest, AnswerThatIsNotJsonFailsEveryReadingCall) {
    m_room.Fault(R"({"route":"*","kind":"notjson"})");
    struct Row {
        const char* name;
        std::function<bool()> call;
        const char* errorLine;
    };
    const Row rows[] = {
        {"GetVersionInfo",
         [] {
             std::string v;
             return GetVersionInfo(SharedEndpoint(), v);
         },
         nullptr},
        {"GetStartupInfoAgent", [] { return CallStartup().result; }, "GetStartupInfoAgent parse response error:<html>"},
        {"RegisteTavrel",
         [] {
             std::string id;
             return RegisteTavrel(SharedEndpoint(), "R101", kKey, "PC", "10.0.0.5", id);
         },
         "RegisteTavrel parse response error:<html>"},
        {"GetExamModuleInfo",
         [] {
             std::string md5;
             return GetExamModuleInfo(SharedEndpoint(), md5);
         },
         "GetExamModuleInfo parse response error:<html>"},
        {"ModifyEcpNo",
         [] {
             std::string message;
             bool ok = ModifyEcpNo(SharedEndpoint(), kKey, "3", message);
             EXPECT_EQ(message, kNetworkTrouble);
             return ok;
         },
         "ModifyEcpNo parse response error:<html>"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture log;
        EXPECT_FALSE(row.call());
        bool anyError = false;
        for (const CapturedLine& line : log.Lines()) anyError = anyError || line.level == LogLevel::Error;
        if (row.errorLine)
            EXPECT_TRUE(log.Contains(LogLevel::Error, row.errorLine));
        else
            EXPECT_FALSE(anyError) << "the version check fails quietly on an unreadable answer";
    }
}

TEST_F(ServerCallsTest, MembersOfTheWrongTypeFailTheCallWithAnErrorLine) {
    // The room's wrong-type answers: an object for the version, an array for the digest, a word for the
    // registered number, an object for the modify message, and every start-up member mistyped.
    m_room.Fault(R"({"route":"*","kind":"wrongtype"})");
    std::string version = "kept", md5 = "kept", ecpId = "kept", message;
    struct Row {
        const char* name;
        std::function<bool()> call;
    };
    const Row rows[] = {
        {"GetVersionInfo", [&] { return GetVersionInfo(SharedEndpoint(), version); }},
        {"GetStartupInfoAgent", [] { return CallStartup().result; }},
        {"RegisteTavrel", [&] { return RegisteTavrel(SharedEndpoint(), "R101", kKey, "PC", "10.0.0.5", ecpId); }},
        {"GetExamModuleInfo", [&] { return GetExamModuleInfo(SharedEndpoint(), md5); }},
        {"ModifyEcpNo", [&] { return ModifyEcpNo(SharedEndpoint(), kKey, "3", message); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture log;
        bool result = true;
        EXPECT_NO_THROW(result = row.call());
        EXPECT_FALSE(result);
        EXPECT_TRUE(log.Contains(LogLevel::Error, std::string(row.name) + " response type error:"));
    }
    EXPECT_EQ(version, "kept");
    EXPECT_EQ(md5, "kept");
    EXPECT_EQ(ecpId, "kept");
    EXPECT_EQ(message, kNetworkTrouble);
}

TEST_F(ServerCallsTest, ModifyWithoutAServerLeavesTheNetworkMessage) {
    NoServer();
    LogCapture log;
    std::string message;
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(ModifyEcpNo(SharedEndpoint(), kKey, "3", message));
    EXPECT_GE(std::chrono::duration<double>(Clock::now() - start).count(), 1.9) << "three transfers, two pauses";
    EXPECT_EQ(message, kNetworkTrouble);
    EXPECT_TRUE(log.Contains(LogLevel::Error, "ModifyEcpNo Error[7]:"));
}

TEST_F(ServerCallsTest, ModifyShowsTheServersAnswer) {
    std::string first, second;
    ASSERT_TRUE(RegisteTavrel(SharedEndpoint(), "R101", "AA-00-00-00-00-01", "PC1", "10.0.0.1", first));
    ASSERT_TRUE(RegisteTavrel(SharedEndpoint(), "R101", kKey, "PC2", "10.0.0.2", second));

    LogCapture log;
    std::string message;
    EXPECT_FALSE(ModifyEcpNo(SharedEndpoint(), kKey, first, message)) << "the number is someone else's";
    EXPECT_EQ(message, "座位号" + first + "已被占用");
    EXPECT_TRUE(log.Contains(LogLevel::Info, "ModifyEcpNo:{\"code\":1003"));
    EXPECT_TRUE(log.Contains(LogLevel::Info, "已被占用")) << "the logged answer is in the agent's code page";

    EXPECT_TRUE(ModifyEcpNo(SharedEndpoint(), kKey, "40", message));
    EXPECT_EQ(message, "修改成功");
}

TEST_F(ServerCallsTest, ModuleDigestIsTheRoomsAnswer) {
    Json::Value served = m_room.Answer(R"({"route":"downloadModule","bytes":{"text":"module bytes"}})");
    LogCapture log;
    std::string md5;
    EXPECT_TRUE(GetExamModuleInfo(SharedEndpoint(), md5));
    EXPECT_EQ(md5, served["md5"].asString());
    EXPECT_TRUE(log.Contains(LogLevel::Info, "GetExamModuleInfo:{\"code\":1000"));
}

TEST_F(ServerCallsTest, AnswerUploadOfAMissingFileSendsChecksumMinusOne) {
    TempFolder folder;
    LogCapture log;
    EXPECT_TRUE(UploadExamAnswer(SharedEndpoint(), "T9", "E9", "B9", folder / "ExamData\\nrvq\\E9.oef"));
    Json::Value request = OnlyRequest("uploadRecoverAnswer");
    const Json::Value& parts = request["parts"];
    ASSERT_EQ(parts.size(), 4u);
    const char* names[] = {"batchNum", "checksum", "examineeId", "taskId"};
    const char* values[] = {"B9", "-1", "E9", "T9"};
    for (Json::ArrayIndex i = 0; i < 4; ++i) {
        EXPECT_EQ(parts[i]["name"].asString(), names[i]);
        EXPECT_EQ(parts[i]["text"].asString(), values[i]);
        EXPECT_TRUE(parts[i]["filename"].isNull() || parts[i]["filename"].asString().empty());
    }
    EXPECT_TRUE(log.Contains(LogLevel::Info, "UploadRecoverAnswer strResponse：{\"code\":1000"));
}

TEST_F(ServerCallsTest, AnswerUploadCarriesTheFileAndItsLowerCaseDigest) {
    TempFolder folder;
    WriteShared(&SharedValues::ExeDir, (folder / "Agent") + PathSeparator());
    std::string path = folder / "ExamData\\nrvq\\E9.oef";
    ASSERT_TRUE(CreateFolders(folder / "ExamData\\nrvq") && CreateFolders(folder / "Agent"));
    ASSERT_TRUE(WriteFileBytes(path, std::string("answer\0\xff bytes", 14)));
    EXPECT_TRUE(UploadExamAnswer(SharedEndpoint(), "T9", "E9", "B9", path));
    Json::Value request = OnlyRequest("uploadRecoverAnswer");
    const Json::Value& parts = request["parts"];
    ASSERT_EQ(parts.size(), 5u);
    EXPECT_EQ(parts[1]["name"].asString(), "checksum");
    EXPECT_EQ(parts[1]["text"].asString(), ToLowerAscii(GetFileMd5(path)));
    EXPECT_EQ(parts[4]["name"].asString(), "file");
    EXPECT_EQ(parts[4]["filename"].asString(), "E9.oef");
    EXPECT_EQ(parts[4]["md5"].asString(), parts[1]["text"].asString());
}

// ExamData is the candidate's to write: a link planted for an answer (symbolic or hard), or for a folder on
// its way, makes the agent upload nothing (not the file it points to, nor a "missing" answer).
TEST_F(ServerCallsTest, AnswerPlantedAsALinkIsRefused) {
    TempFolder folder;
    WriteShared(&SharedValues::ExeDir, (folder / "Agent") + PathSeparator());
    ASSERT_TRUE(CreateFolders(folder / "ExamData\\nrvq") && CreateFolders(folder / "Agent"));
    ASSERT_TRUE(CreateFolders(folder / "secret"));
    ASSERT_TRUE(WriteFileBytes(folder / "secret\\E9.oef", "the PC's secret"));
    enum Kind { File, Folder, Hard };
    struct Row {
        const char* name;
        const char* target;
        const char* link;
        Kind kind;
        const char* answer;
    } rows[] = {
        {"the answer a link to a file elsewhere", "secret\\E9.oef", "ExamData\\nrvq\\E9.oef", File,
         "ExamData\\nrvq\\E9.oef"},
        {"a folder on the way a link out of ExamData", "secret", "ExamData\\nrvq\\T9", Folder,
         "ExamData\\nrvq\\T9\\E9.oef"},
        {"the answer a hard link of a file elsewhere", "secret\\E9.oef", "ExamData\\nrvq\\E8.oef", Hard,
         "ExamData\\nrvq\\E8.oef"},
    };
    std::string notShown;
    int shown = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string why = row.kind == Hard ? MakeHardLink(folder / row.target, folder / row.link)
                                           : MakeSymbolicLink(folder / row.target, folder / row.link, row.kind == Folder);
        if (!why.empty()) {
            notShown += std::string(row.name) + " (" + why + ") ";
            continue;
        }
        ++shown;
        m_room.Reset();
        LogCapture log;
        EXPECT_FALSE(UploadExamAnswer(SharedEndpoint(), "T9", "E9", "B9", folder / row.answer));
        EXPECT_TRUE(m_room.AllRequests().empty()) << "something was uploaded for a planted link";
        EXPECT_TRUE(log.Contains(LogLevel::Info, "拒绝上传"));
        RemoveLink(folder / row.link);
    }
    if (shown == 0) GTEST_SKIP() << "no link here: " << notShown;
    if (!notShown.empty()) std::cout << "[ info ] not shown: " << notShown << "\n";
}

TEST_F(ServerCallsTest, AnswerUploadFailureIsLogged) {
    m_room.Fault(R"({"route":"uploadRecoverAnswer","kind":"status","status":500})");
    LogCapture log;
    EXPECT_FALSE(UploadExamAnswer(SharedEndpoint(), "T9", "E9", "B9", "nowhere.oef"));
    EXPECT_TRUE(log.Contains(LogLevel::Info, "UploadRecoverAnswer strResponse："));
    EXPECT_TRUE(log.Contains(LogLevel::Error, "UploadExamAnswer Error[500]:"));
}

std::string LocalName(std::time_t when) {
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &when);
#else
    localtime_r(&when, &local);
#endif
    char name[64];
    std::strftime(name, sizeof name, "Tavrel.%Y%m%d%H%M%S.log", &local);
    return name;
}

TEST_F(ServerCallsTest, LogUploadIsNamedAfterTheLocalTime) {
    TempFolder folder;
    std::string path = folder / "Tavrel.log";
    ASSERT_TRUE(WriteFileBytes(path, "exam client log\n"));
    std::time_t before = std::time(nullptr);
    LogCapture log;
    EXPECT_TRUE(UploadExamLog(SharedEndpoint(), kKey, "12", path));
    std::time_t after = std::time(nullptr);
    Json::Value request = OnlyRequest("uploadTavrelLogs");
    const Json::Value& parts = request["parts"];
    ASSERT_EQ(parts.size(), 4u);
    EXPECT_EQ(parts[0]["name"].asString(), "ecpId");
    EXPECT_EQ(parts[0]["text"].asString(), "12");
    EXPECT_EQ(parts[1]["name"].asString(), "ecpKey");
    EXPECT_EQ(parts[1]["text"].asString(), kKey);
    EXPECT_EQ(parts[2]["name"].asString(), "logName");
    std::string name = parts[2]["text"].asString();
    bool inTime = false;
    for (std::time_t t = before; t <= after; ++t) inTime = inTime || name == LocalName(t);
    EXPECT_TRUE(inTime) << name;
    EXPECT_EQ(parts[3]["name"].asString(), "file");
    EXPECT_EQ(PartData(parts[3]), "exam client log\n");
    EXPECT_TRUE(log.Contains(LogLevel::Info, "UploadExamLog strResponse：{\"code\":1000"));
}

TEST_F(ServerCallsTest, LogUploadOfAMissingFileFails) {
    TempFolder folder;
    LogCapture log;
    EXPECT_FALSE(UploadExamLog(SharedEndpoint(), kKey, "12", folder / "none.log"));
    EXPECT_TRUE(log.Contains(LogLevel::Error, "UploadExamLog Error["));
    EXPECT_TRUE(m_room.RouteRequests("uploadTavrelLogs").empty()) << "libcurl gives up before sending";
}

// Tavrel.log lies where the candidate writes: a link to another file of the PC, or a sparse file the size of a
// disk, never goes to the room's server; a log at the cap still does.
TEST_F(ServerCallsTest, LogUploadReadsTheExamClientsLogLikeAnAnswer) {
    TempFolder folder;
    ASSERT_TRUE(WriteFileBytes(folder / "secret.txt", "not the exam client's\n"));
    std::string why = MakeSymbolicLink(folder / "secret.txt", folder / "Tavrel.log", false);
    if (why.empty()) {
        LogCapture log;
        EXPECT_FALSE(UploadExamLog(SharedEndpoint(), kKey, "12", folder / "Tavrel.log")) << "a link followed";
        EXPECT_TRUE(log.Contains(LogLevel::Error, "UploadExamLog Error["));
        RemoveFile(folder / "Tavrel.log");
    }
    std::error_code ec;
    ASSERT_TRUE(WriteFileBytes(folder / "big.log", ""));
    std::filesystem::resize_file(folder / "big.log", (16ULL << 20) + 1, ec);
    ASSERT_FALSE(ec) << ec.message();
    EXPECT_FALSE(UploadExamLog(SharedEndpoint(), kKey, "12", folder / "big.log")) << "over the cap";
    EXPECT_TRUE(m_room.Requests("uploadTavrelLogs").empty());
    std::filesystem::resize_file(folder / "big.log", 16ULL << 20, ec);
    EXPECT_TRUE(UploadExamLog(SharedEndpoint(), kKey, "12", folder / "big.log")) << "at the cap";
    Json::Value request = OnlyRequest("uploadTavrelLogs");
    EXPECT_EQ(PartData(request["parts"][3]).size(), 16ULL << 20);
    if (!why.empty()) GTEST_SKIP() << "links: " << why;
}

TEST_F(ServerCallsTest, DownloadFailuresAreLoggedByName) {
    TempFolder folder;
    m_room.Fault(R"({"route":"updateTavrel","kind":"status","status":404})");
    LogCapture log;
    EXPECT_FALSE(DownloadTavrelSetup(SharedEndpoint(), folder / "Tavrel_Setup.exe"));
    EXPECT_TRUE(log.Contains(LogLevel::Error, "DownloadTavrelSetup Error[22]"));

    // A target that cannot be opened: nothing is fetched, the call fails.
    EXPECT_FALSE(DownloadExamModule(SharedEndpoint(), folder / "no-such-folder\\m.upk"));
    EXPECT_TRUE(log.Contains(LogLevel::Error, "DownloadExamModule Error[23]"));
    EXPECT_TRUE(m_room.RouteRequests("downloadModule").empty());
}

TEST_F(ServerCallsTest, DownloadedBytesLandInTheTarget) {
    TempFolder folder;
    std::string path = folder / "Tavrel_Setup.exe";
    ASSERT_TRUE(WriteFileBytes(path, std::string(10000, 'x')));  // a longer stale file is truncated
    m_room.Answer(R"({"route":"updateTavrel","bytes":{"text":"installer bytes"}})");
    EXPECT_TRUE(DownloadTavrelSetup(SharedEndpoint(), path));
    EXPECT_EQ(ReadFileBytes(path), "installer bytes");
}

TEST_F(ServerCallsTest, EndlessAnswerFailsTheCallAndTheNextCallWorks) {
    m_room.Fault(R"({"route":"getVersionInfo","kind":"endless","count":3})");
    std::string version;
    LogCapture log;
    EXPECT_FALSE(GetVersionInfo(SharedEndpoint(), version));
    EXPECT_TRUE(log.Contains(LogLevel::Error, "GetVersionInfo Error[23]"));
    m_room.SetAnswer("getVersionInfo", Json::Value("2.0.0.1"));
    EXPECT_TRUE(GetVersionInfo(SharedEndpoint(), version));
    EXPECT_EQ(version, "2.0.0.1");
}

TEST_F(ServerCallsTest, CallsUseTheAddressAsItStandsAtTheCall) {
    std::string version;
    NoServer();
    EXPECT_FALSE(GetVersionInfo(SharedEndpoint(), version));
    WriteShared(&SharedValues::ServerPort, std::to_string(m_room.HttpPort()));
    EXPECT_TRUE(GetVersionInfo(SharedEndpoint(), version));
}

}  // namespace
}  // namespace tavrel::test
