// The exam start road with Scheme=https and one pinned CA, and a server that presents a stranger's
// certificate: the agent asks nothing of it, obeys nothing, says why, and carries on once the right one is back.
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/mount.h>
#endif

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

// The folders this build's OpenSSL names (strings shows OPENSSLDIR, ENGINESDIR and MODULESDIR), as each
// platform reads them; Windows takes "/usr/local/ssl" on the current drive. Under Wine a path beginning with
// "/" is the host's, which only the Linux run (in mounts of its own) may plant into.
#ifdef _WIN32
const char* const kOpenSslFolders[] = {"C:\\usr\\local\\ssl", "C:\\usr\\local\\lib64\\engines-3",
                                       "C:\\usr\\local\\lib64\\ossl-modules"};
const char* const kModuleNames[] = {"marker.dll"};
const char kMarkerLibrary[] = "openssl_marker.dll";
void SetEnv(const char* name, const std::string& value) { SetEnvironmentVariableA(name, value.empty() ? nullptr : value.c_str()); }
bool LoadsAsLibrary(const std::string& path) { return LoadLibraryA(path.c_str()) != nullptr; }
bool PlantedFoldersReady() { return true; }
void PlantedFoldersGone() {
    for (const char* folder : kOpenSslFolders)
        for (const char* name : {kModuleNames[0], "openssl.cnf"}) RemoveFile(std::string(folder) + "\\" + name);
}
#else
const char* const kOpenSslFolders[] = {"/usr/local/ssl", "/usr/local/lib64/engines-3", "/usr/local/lib64/ossl-modules"};
const char* const kModuleNames[] = {"libmarker.so", "marker.so"};
const char kMarkerLibrary[] = "openssl_marker.so";
void SetEnv(const char* name, const std::string& value) {
    if (value.empty()) unsetenv(name);
    else setenv(name, value.c_str(), 1);
}
bool LoadsAsLibrary(const std::string& path) { return dlopen(path.c_str(), RTLD_NOW) != nullptr; }
bool PlantedFoldersReady() {
    return EnvText("TAVREL_PRIVATE_MOUNTS") == "1" && mount("tmpfs", "/usr/local", "tmpfs", 0, "mode=0755") == 0;
}
void PlantedFoldersGone() { umount2("/usr/local", MNT_DETACH); }
#endif

// Asks for an engine and a provider by name (found in ENGINESDIR and MODULESDIR) and by the path of the
// marker library; each would leave the marker when loaded.
std::string PlantedConfiguration(std::string library) {
    for (char& c : library) if (c == '\\') c = '/';
    return "openssl_conf = planted\n[planted]\nengines = planted_engines\nproviders = planted_providers\n"
           "[planted_engines]\nmarker = by_name_engine\ndirect = by_path_engine\n[by_name_engine]\ninit = 1\n"
           "[by_path_engine]\ndynamic_path = " + library + "\ninit = 1\n"
           "[planted_providers]\nmarker = by_name_provider\ndirect = by_path_provider\n[by_name_provider]\nactivate = 1\n"
           "[by_path_provider]\nmodule = " + library + "\nactivate = 1\n";
}

TEST_F(TrustRoad, PlantedOpenSslConfigurationIsNeverReadNorAnyModuleLoaded) {
    TempFolder planted;
    const std::string marker = planted / "marker.txt";
    const std::string library = ReadFileBytes(TestBinFolder() + kMarkerLibrary);
    ASSERT_FALSE(library.empty());
    std::vector<std::string> folders{planted.Path()};
    bool builtIn = PlantedFoldersReady();
    if (builtIn) folders.insert(folders.end(), std::begin(kOpenSslFolders), std::end(kOpenSslFolders));
    else std::cout << "[ info ] no mounts of our own: only OPENSSL_CONF, OPENSSL_ENGINES and OPENSSL_MODULES planted\n";
    const std::string direct = planted / kModuleNames[0];
    for (const std::string& folder : folders) {
        ASSERT_TRUE(CreateFolders(folder)) << folder;
        for (const char* name : kModuleNames) ASSERT_TRUE(WriteFileBytes(folder + PathSeparator() + name, library));
        ASSERT_TRUE(WriteFileBytes(folder + PathSeparator() + "openssl.cnf", PlantedConfiguration(direct)));
    }
    SetEnv("OPENSSL_CONF", planted / "openssl.cnf");
    SetEnv("OPENSSL_ENGINES", planted.Path());
    SetEnv("OPENSSL_MODULES", planted.Path());
    SetEnv("TAVREL_OPENSSL_MARKER", marker);
    // The detector itself: the library leaves its marker wherever it is loaded.
    ASSERT_TRUE(LoadsAsLibrary(direct));
    ASSERT_TRUE(FileExists(marker));
    RemoveFile(marker);

    room.SetAnswer("getStartupInfoAgent", Numbered(3, "R3"));
    for (bool https : {false, true}) {
        SCOPED_TRACE(https ? "Scheme=https" : "plain HTTP");
        long since = records.Mark();
        AgentTree tree(room);
        if (https) UseHttps(tree);
        ASSERT_TRUE(tree.StartAgent());
        EXPECT_FALSE(records.Requests("getStartupInfoAgent", since, 1, kFewPassesMs).empty()) << tree.AgentLog();
        EXPECT_FALSE(records.Connections(since, 1, kFewPassesMs, true).empty()) << "the channel never opened";
        EXPECT_TRUE(tree.Agent().RequestStop());
        EXPECT_TRUE(tree.Agent().WaitExit(20000));
        EXPECT_FALSE(FileExists(marker)) << "the agent loaded a module named by a planted OpenSSL configuration";
    }
    for (const char* name : {"OPENSSL_CONF", "OPENSSL_ENGINES", "OPENSSL_MODULES", "TAVREL_OPENSSL_MARKER"}) SetEnv(name, "");
    if (builtIn) PlantedFoldersGone();
}

}  // namespace
}  // namespace tavrel::test
