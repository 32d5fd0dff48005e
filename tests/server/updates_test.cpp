// The installer and module updates against the room-server, in an agent folder laid out as on a room PC
// ("<root>\Agent\" beside "<root>\Temp" and "<root>\Modules"), with a helper program served as the
// installer that records how it was started.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "server/server_api.h"
#include "server/server_fixture.h"
#include "agent/service_workflow.h"
#include "server/updates.h"
#include "support/small_disk.h"
#include "support/test_support.h"
#include "system/file.h"
#include "system/text.h"

namespace tavrel::test {
namespace {

using Clock = std::chrono::steady_clock;

const char kOffered[] = "1.0.0.6";

TEST(ServerVersionNeedsUpdate, OnlyAnOfferedDifferentVersion) {
    struct Row {
        const char* server;
        const char* local;
        bool update;
    } rows[] = {
        {"", "1.0.0.1", false},         // nothing offered
        {"", "", false},
        {"1.0.0.1", "1.0.0.1", false},  // the same version
        {"1.0.0.2", "1.0.0.1", true},
        {"1.0.0.0", "1.0.0.1", true},   // a downgrade is an update too
        {"1.0.0.10", "1.0.0.9", true},
        {"1.0.0.1 ", "1.0.0.1", true},  // byte for byte, no trimming
        {"01.0.0.1", "1.0.0.1", true},
        {"1.0.0.1", "", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.server) + " / " + row.local);
        EXPECT_EQ(ServerVersionNeedsUpdate(row.server, row.local), row.update);
    }
}

class UpdatesTest : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        if (IsSkipped()) return;
        CreateFolders(m_root / "Agent");
        m_exeDir = (m_root / "Agent") + PathSeparator();
        UpdateShared([&](SharedValues& v) {
            v.ExeDir = m_exeDir;
            v.LocalVersion = "1.0.0.5";
            v.ExamPackage = "PREVIOUS.upk";
        });
        ForgetInstallerFailures();
    }
    void TearDown() override {
        SetInstallerRetryUnit(std::chrono::minutes(1));
        ForgetInstallerFailures();
        ServerTest::TearDown();
    }

    static bool ModuleReady() { return UpgradeExamModule(SharedEndpoint()).ready; }
    std::string SetupPath() { return m_exeDir + NativePath("..\\Temp\\Tavrel_Setup.exe"); }
    std::string ModulePath(const std::string& md5) { return m_exeDir + NativePath("..\\Modules\\") + md5 + ".upk"; }
    std::string PartPath(const std::string& md5) { return ModulePath(md5) + ".part"; }
    // Whether the recorded request asked for the rest of a part of `have` bytes.
    static bool AskedFrom(const Json::Value& request, size_t have) {
        std::vector<std::string> lines = HeaderLinesOf(request);
        return std::find(lines.begin(), lines.end(), "Range: bytes=" + std::to_string(have) + "-") != lines.end();
    }
    static bool AskedForARange(const Json::Value& request) {
        for (const std::string& line : HeaderLinesOf(request)) {
            if (ToLowerAscii(line).rfind("range:", 0) == 0) return true;
        }
        return false;
    }

    void ServeInstallerProbe() {
        std::string bytes = ReadFileBytes(HelperPath("installer_probe"));
        ASSERT_FALSE(bytes.empty());
        m_room.SetBytes("updateTavrel", bytes);
        m_installer = bytes;
    }

    // The probe grown to `size` bytes, as large as a real installer; returns the served bytes' MD5.
    std::string ServeLargeInstallerProbe(std::uint64_t size) {
        std::string bytes = ReadFileBytes(HelperPath("installer_probe"));
        Json::Value answer;
        answer["route"] = "updateTavrel";
        answer["bytes"]["base64"] = RoomServer::Base64Encode(bytes);
        answer["bytes"]["padTo"] = Json::UInt64(size);
        answer["bytes"]["seed"] = 13;
        return m_room.SetAnswer(answer)["md5"].asString();
    }

    // The record the helper installer leaves in its working folder, once it has run.
    std::string WaitForInstallerRecord() {
        std::string record = m_root / "Temp\\installer-run.txt";
        Clock::time_point until = Clock::now() + std::chrono::seconds(20);
        while (!FileExists(record) && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return ReadFileBytes(record);
    }

    static std::string Canonical(const std::string& path) {
        std::error_code ec;
        return std::filesystem::weakly_canonical(std::filesystem::path(path), ec).string();
    }

    TempFolder m_root;
    std::string m_exeDir;
    std::string m_installer;
};

TEST_F(UpdatesTest, EqualVersionMakesNoInstallerRequest) {
    for (const char* offered : {"1.0.0.5", ""}) {
        SCOPED_TRACE(offered);
        m_room.Reset();
        m_room.SetAnswer("getVersionInfo", Json::Value(offered));
        std::string serverVersion;
        ASSERT_TRUE(GetVersionInfo(SharedEndpoint(), serverVersion));
        EXPECT_FALSE(ServerVersionNeedsUpdate(serverVersion, ReadShared(&SharedValues::LocalVersion)));
        EXPECT_TRUE(m_room.RouteRequests("updateTavrel").empty());
    }
}

TEST_F(UpdatesTest, MissingVersionDataMeansNoUpdate) {
    m_room.SetRawAnswer("getVersionInfo", R"({"code":1000,"message":""})");
    std::string serverVersion = "stale";
    ASSERT_TRUE(GetVersionInfo(SharedEndpoint(), serverVersion));
    EXPECT_FALSE(ServerVersionNeedsUpdate(serverVersion, "1.0.0.5"));
}

TEST_F(UpdatesTest, OlderServerVersionIsDownloadedAndStartedIntoTheRoot) {
    ServeInstallerProbe();
    m_room.SetAnswer("getVersionInfo", Json::Value("1.0.0.1"));
    std::string serverVersion;
    ASSERT_TRUE(GetVersionInfo(SharedEndpoint(), serverVersion));
    ASSERT_TRUE(ServerVersionNeedsUpdate(serverVersion, "1.0.0.5"));

    ASSERT_FALSE(FileExists(m_root / "Temp")) << "the Temp folder is made by the update";
    LogCapture log;
    EXPECT_TRUE(UpgradeExamVersion(SharedEndpoint(), kOffered));
    EXPECT_EQ(ReadFileBytes(SetupPath()), m_installer);

    std::string record = WaitForInstallerRecord();
    ASSERT_FALSE(record.empty()) << "the installer never ran";
    // Working folder, then the parameter text as a Windows program splits it: /S, /D, <agent folder>..\ .
    std::string expected = Canonical(m_root / "Temp") + "\n/S\n/D\n" + m_exeDir + NativePath("..\\") + "\n";
    EXPECT_EQ(record, expected);
    // Not SYSTEM's temporary folder, which every user may write: the agent's own Temp.
    std::string env = ReadFileBytes(m_root / "Temp\\installer-env.txt");
    const std::string::size_type tmpAt = env.find("\nTMP=");
    ASSERT_NE(tmpAt, std::string::npos) << env;
    EXPECT_EQ(Canonical(env.substr(5, tmpAt - 5)), Canonical(m_root / "Temp")) << env;
    EXPECT_EQ(Canonical(env.substr(tmpAt + 5, env.size() - tmpAt - 6)), Canonical(m_root / "Temp")) << env;

    std::vector<CapturedLine> lines = log.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front().routine, "UpgradeExamVersion");
    EXPECT_EQ(lines.front().text, "开始下载" + SetupPath());
    EXPECT_TRUE(log.Contains(LogLevel::Info, "更新包下载完成"));
}

TEST_F(UpdatesTest, StaleInstallerIsReplaced) {
    ServeInstallerProbe();
    CreateFolders(m_root / "Temp");
    ASSERT_TRUE(WriteFileBytes(SetupPath(), std::string(3 * 1024 * 1024, 'z')));
    EXPECT_TRUE(UpgradeExamVersion(SharedEndpoint(), kOffered));
    EXPECT_EQ(ReadFileBytes(SetupPath()), m_installer);
    WaitForInstallerRecord();
}

TEST_F(UpdatesTest, FailedDownloadsAreDeletedAndRetriedByTheNextCall) {
    struct Row {
        const char* name;
        const char* fault;
    } rows[] = {
        {"404", R"({"route":"updateTavrel","kind":"status","status":404,"count":1})"},
        {"cut in the middle", R"({"route":"updateTavrel","kind":"cut","bytes":4096,"count":1})"},
        {"connection closed unanswered", R"({"route":"updateTavrel","kind":"close","count":1})"},
        // A redirect's body is no installer, however much it looks like one.
        {"302 with a body", R"({"route":"updateTavrel","kind":"status","status":302,"body":"MZ not the installer",)"
                            R"("location":"/elsewhere","count":1})"},
        {"304", R"({"route":"updateTavrel","kind":"status","status":304,"count":1})"},
    };
    SetInstallerRetryUnit(std::chrono::milliseconds(0));  // the wait after a failed download has its own test
    ServeInstallerProbe();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        m_room.Fault(row.fault);
        RemoveFile(m_root / "Temp\\installer-run.txt");
        LogCapture log;
        EXPECT_FALSE(UpgradeExamVersion(SharedEndpoint(), kOffered));
        EXPECT_TRUE(log.Contains(LogLevel::Error, "DownloadTavrelSetup Error["));
        EXPECT_FALSE(log.Contains(LogLevel::Info, "更新包下载完成"));
        EXPECT_FALSE(FileExists(SetupPath())) << "a damaged installer is never left to be started";
        EXPECT_FALSE(FileExists(m_root / "Temp\\installer-run.txt"));

        // The next pass asks again and gets the whole installer.
        EXPECT_TRUE(UpgradeExamVersion(SharedEndpoint(), kOffered));
        EXPECT_EQ(ReadFileBytes(SetupPath()), m_installer);
        EXPECT_FALSE(WaitForInstallerRecord().empty());
    }
}

TEST_F(UpdatesTest, ThrottledTwentyMegabyteInstallerArrivesWholeAndIsStarted) {
    // A room of PCs sharing one link: 20 MiB at 2 MiB/s takes ten seconds, twice the old whole-transfer limit.
    const std::uint64_t size = 20ull << 20;
    std::string md5 = ServeLargeInstallerProbe(size);
    m_room.Fault(R"({"route":"updateTavrel","kind":"throttle","bytesPerSecond":2097152})");
    Clock::time_point start = Clock::now();
    EXPECT_TRUE(UpgradeExamVersion(SharedEndpoint(), kOffered));
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    RecordProperty("seconds", std::to_string(seconds));
    std::printf("20 MiB installer at 2 MiB/s arrived in %.1f s\n", seconds);
    EXPECT_GE(seconds, 9.0) << "the throttle was in force";
    EXPECT_EQ(ToLowerAscii(GetFileMd5(SetupPath())), md5);
    EXPECT_FALSE(WaitForInstallerRecord().empty()) << "the installer was started";
}

TEST_F(UpdatesTest, InstallerOnAFullDiskIsDeletedAndNotStarted) {
    SetInstallerRetryUnit(std::chrono::milliseconds(0));  // each case downloads, without the wait between
    CreateFolders(m_root / "Temp");
    std::string why = MountSmallDisk(m_root / "Temp", 64);
    if (!why.empty()) GTEST_SKIP() << why;
    struct Unmount {
        std::string folder;
        ~Unmount() { UnmountSmallDisk(folder); }
    } unmount{m_root / "Temp"};
    {
        SCOPED_TRACE("the disk fills in the middle of the transfer");
        ServeLargeInstallerProbe(4 << 20);  // above the probe itself, which a static build makes 1.8 MB
        LogCapture log;
        EXPECT_FALSE(UpgradeExamVersion(SharedEndpoint(), kOffered));
        EXPECT_TRUE(log.Contains(LogLevel::Error, "DownloadTavrelSetup Error[23]"));
        EXPECT_FALSE(log.Contains(LogLevel::Info, "更新包下载完成"));
        EXPECT_FALSE(FileExists(SetupPath()));
        EXPECT_FALSE(FileExists(m_root / "Temp\\installer-run.txt"));
    }
    {
        // A small body stays in the stream's buffer, every write "succeeds", and only the flush finds no room.
        SCOPED_TRACE("the disk is full before the first byte");
        std::FILE* filler = std::fopen((m_root / "Temp\\filler").c_str(), "wb");
        ASSERT_NE(filler, nullptr);
        std::string block(4096, 'f');
        while (std::fwrite(block.data(), 1, block.size(), filler) == block.size() && std::fflush(filler) == 0) {
        }
        std::fclose(filler);
        m_room.SetBytes("updateTavrel", std::string(2000, 'i'));
        LogCapture log;
        EXPECT_FALSE(UpgradeExamVersion(SharedEndpoint(), kOffered));
        EXPECT_TRUE(log.Contains(LogLevel::Error, "DownloadTavrelSetup Error[23]"));
        EXPECT_FALSE(log.Contains(LogLevel::Info, "更新包下载完成"));
        EXPECT_FALSE(FileExists(SetupPath()));
    }
}

TEST(InstallerRetryDelay, OneMinuteDoublingUpToHalfAnHour) {
    SetInstallerRetryUnit(std::chrono::minutes(1));
    using std::chrono::minutes;
    EXPECT_EQ(InstallerRetryDelay(1), minutes(1));
    EXPECT_EQ(InstallerRetryDelay(2), minutes(2));
    EXPECT_EQ(InstallerRetryDelay(3), minutes(4));
    EXPECT_EQ(InstallerRetryDelay(5), minutes(16));
    EXPECT_EQ(InstallerRetryDelay(6), minutes(30));
    EXPECT_EQ(InstallerRetryDelay(7), minutes(30));
    EXPECT_EQ(InstallerRetryDelay(1000), minutes(30)) << "no overflow after a long night of failures";
}

// The room whose downloads failed together comes back spread over the whole span, not in step.
TEST(ModuleRetryDelay, TheStepSpreadFromHalfToOneAndAHalf) {
    SetInstallerRetryUnit(std::chrono::minutes(1));
    for (int failed : {1, 3, 6}) {
        SCOPED_TRACE(failed);
        std::chrono::milliseconds step = InstallerRetryDelay(failed), low = step, high(0);
        for (int draw = 0; draw < 200; ++draw) {
            std::chrono::milliseconds wait = ModuleRetryDelay(failed);
            EXPECT_GE(wait, step / 2);
            EXPECT_LE(wait, step * 3 / 2);
            low = std::min(low, wait);
            high = std::max(high, wait);
        }
        EXPECT_LT(low, step * 7 / 10);
        EXPECT_GT(high, step * 13 / 10);
    }
}

TEST_F(UpdatesTest, InstallerThatCannotStartKeepsTheServiceRunning) {
    m_room.SetBytes("updateTavrel", "this is no program");
    LogCapture log;
    EXPECT_FALSE(UpgradeExamVersion(SharedEndpoint(), kOffered)) << "a machine must not fall out of service silently";
    EXPECT_TRUE(log.Contains(LogLevel::Info, "更新包下载完成"));
    EXPECT_TRUE(log.Contains(LogLevel::Info, "安装程序启动失败"));
    EXPECT_TRUE(log.Contains(LogLevel::Info, "版本1.0.0.6的安装包60秒后重新下载"));

    // A new version is tried at once, and a good installer then runs.
    ServeInstallerProbe();
    EXPECT_TRUE(UpgradeExamVersion(SharedEndpoint(), "1.0.0.7"));
    EXPECT_EQ(m_room.RouteRequests("updateTavrel").size(), 2u);
    EXPECT_FALSE(WaitForInstallerRecord().empty());
}

TEST_F(UpdatesTest, PassesAfterAFailedLaunchFetchAtMostThreeInstallersInThreeMinutes) {
    // Three minutes scaled down to three seconds: the wait unit is one second instead of one minute, and a
    // pass runs every 100 ms instead of every 3 s, so unchecked retries would fetch thirty times.
    SetInstallerRetryUnit(std::chrono::seconds(1));
    m_room.SetBytes("updateTavrel", "this is no program");
    m_room.SetAnswer("getVersionInfo", Json::Value("1.0.0.9"));
    LogCapture log;
    Clock::time_point until = Clock::now() + std::chrono::seconds(3);
    int passes = 0;
    while (Clock::now() < until) {
        EXPECT_EQ(RunServicePass(), PassOutcome::Continue);
        ++passes;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    size_t downloads = m_room.RouteRequests("updateTavrel").size();
    std::printf("%d passes, %zu installer downloads in three scaled minutes\n", passes, downloads);
    EXPECT_GE(passes, 15);
    EXPECT_LE(downloads, 3u);
    EXPECT_GE(downloads, 2u) << "the update is still tried after the wait";
    EXPECT_EQ(log.Count("秒后重新下载"), downloads) << "each wait is logged once";
    EXPECT_EQ(log.Count("版本1.0.0.9的安装包2秒后重新下载"), 1u) << "the second wait is doubled";
    EXPECT_TRUE(m_room.RouteRequests("getStartupInfoAgent").empty()) << "the pass ends at the version step";
    EXPECT_FALSE(StopFlag);
}

// The pass ends the agent once the installer runs, and only then: no further pass starts.
TEST_F(UpdatesTest, APassThatStartsTheInstallerEndsTheAgent) {
    ServeInstallerProbe();
    m_room.SetAnswer("getVersionInfo", Json::Value(kOffered));
    EXPECT_EQ(RunServicePass(), PassOutcome::AgentEnds);
    EXPECT_TRUE(StopFlag);
    EXPECT_FALSE(WaitForInstallerRecord().empty());
    EXPECT_TRUE(m_room.RouteRequests("getStartupInfoAgent").empty());
}

// A download that the agent's end cut short is no failure of the server: nothing waits before the next try.
TEST_F(UpdatesTest, DownloadsEndedByTheAgentsStopAreNoFailure) {
    ServeInstallerProbe();
    std::string upper = ToUpperAscii(m_room.SetBytes("downloadModule", "module package bytes"));
    const std::atomic<bool> stop{true};
    LogCapture log;
    EXPECT_FALSE(UpgradeExamVersion(SharedEndpoint(), kOffered, &stop));
    ModuleUpdate module = UpgradeExamModule(SharedEndpoint(), &stop);
    EXPECT_FALSE(module.ready);
    EXPECT_EQ(module.package, upper + ".upk");
    EXPECT_EQ(log.Count("秒后重新下载"), 0u);
    EXPECT_TRUE(UpgradeExamVersion(SharedEndpoint(), kOffered));
    EXPECT_TRUE(ModuleReady());
    WaitForInstallerRecord();
}

// ---- module ----

TEST_F(UpdatesTest, PresentPackageMatchingALowerCaseDigestIsKept) {
    std::string md5 = m_room.SetBytes("downloadModule", "module package bytes");
    ASSERT_EQ(md5, ToLowerAscii(md5)) << "the room sends the digest in lower case";
    std::string upper = ToUpperAscii(md5);
    CreateFolders(m_root / "Modules");
    ASSERT_TRUE(WriteFileBytes(ModulePath(upper), "module package bytes"));
    LogCapture log;
    ModuleUpdate module = UpgradeExamModule(SharedEndpoint());
    EXPECT_TRUE(module.ready);
    EXPECT_EQ(module.package, upper + ".upk");
    EXPECT_TRUE(m_room.RouteRequests("downloadModule").empty());
    EXPECT_FALSE(log.Contains(LogLevel::Info, "更新考试流程文件"));
}

TEST_F(UpdatesTest, DamagedPackageIsFetchedAgainAndChecked) {
    std::string upper = ToUpperAscii(m_room.SetGeneratedBytes("downloadModule", 700000, 3));
    CreateFolders(m_root / "Modules");
    ASSERT_TRUE(WriteFileBytes(ModulePath(upper), "damaged"));
    LogCapture log;
    EXPECT_TRUE(ModuleReady());
    EXPECT_EQ(GetFileMd5(ModulePath(upper)), upper);
    EXPECT_EQ(m_room.RouteRequests("downloadModule").size(), 1u);
    EXPECT_TRUE(log.Contains(LogLevel::Info, "更新考试流程文件：" + upper));
}

TEST_F(UpdatesTest, MissingModulesFolderIsCreated) {
    std::string upper = ToUpperAscii(m_room.SetBytes("downloadModule", "fresh module"));
    ASSERT_FALSE(FileExists(m_root / "Modules"));
    EXPECT_TRUE(ModuleReady());
    EXPECT_EQ(ReadFileBytes(ModulePath(upper)), "fresh module");
}

TEST_F(UpdatesTest, BytesThatDoNotMatchTheDigestFail) {
    SetInstallerRetryUnit(std::chrono::milliseconds(0));
    m_room.SetBytes("downloadModule", "what the server sends");
    std::string promised = "0123456789ABCDEF0123456789ABCDEF";
    m_room.SetAnswer("getModuleMD5", Json::Value(ToLowerAscii(promised)));
    LogCapture log;
    ModuleUpdate module = UpgradeExamModule(SharedEndpoint());
    EXPECT_FALSE(module.ready);
    EXPECT_TRUE(log.Contains(LogLevel::Info, "下载upk文件MD5校验不通过"));
    EXPECT_EQ(module.package, promised + ".upk") << "the name still names the expected file";
    EXPECT_FALSE(FileExists(ModulePath(promised)));
    EXPECT_FALSE(FileExists(PartPath(promised))) << "wrong bytes are no start to continue from";

    // A later pass never takes the bad file for good: it is fetched whole again and checked again.
    EXPECT_FALSE(ModuleReady());
    std::vector<Json::Value> seen = m_room.RouteRequests("downloadModule");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_FALSE(AskedForARange(seen[1]));
}

TEST_F(UpdatesTest, CutOrFailedModuleDownloadIsNeverTakenAsGood) {
    SetInstallerRetryUnit(std::chrono::milliseconds(0));
    std::string upper = ToUpperAscii(m_room.SetGeneratedBytes("downloadModule", 500000, 9));
    m_room.Fault(R"({"route":"downloadModule","kind":"cut","bytes":100000,"count":1})");
    LogCapture log;
    EXPECT_FALSE(ModuleReady());
    EXPECT_TRUE(log.Contains(LogLevel::Info, "更新考试流程文件失败"));
    EXPECT_FALSE(FileExists(ModulePath(upper))) << "a half file never has the package's name";
    EXPECT_EQ(ReadFileBytes(PartPath(upper)).size(), 100000u);
    // A server error on the way keeps the part; the pass after it gets the rest.
    m_room.Fault(R"({"route":"downloadModule","kind":"status","status":500,"count":1})");
    EXPECT_FALSE(ModuleReady());
    EXPECT_EQ(ReadFileBytes(PartPath(upper)).size(), 100000u);
    EXPECT_TRUE(ModuleReady());
    EXPECT_EQ(GetFileMd5(ModulePath(upper)), upper);
    EXPECT_FALSE(FileExists(PartPath(upper)));
    std::vector<Json::Value> seen = m_room.RouteRequests("downloadModule");
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_TRUE(AskedFrom(seen[2], 100000));
    EXPECT_EQ(seen[2]["response"]["size"].asUInt(), 400000u) << "only the rest was sent";
}

// A module cut in the middle, by a slow link that breaks or by the agent's stop, leaves no package under its
// name; the next call asks for the rest alone, and the package arrives whole.
TEST_F(UpdatesTest, ThrottledModuleCutInTheMiddleIsContinuedWithARangeRequest) {
    SetInstallerRetryUnit(std::chrono::milliseconds(0));
    const size_t size = 600000;
    std::string upper = ToUpperAscii(m_room.SetGeneratedBytes("downloadModule", size, 21));
    for (bool byStop : {false, true}) {
        SCOPED_TRACE(byStop ? "stopped by the agent" : "cut by the link");
        RemoveFile(ModulePath(upper));
        size_t before = m_room.RouteRequests("downloadModule").size();
        std::atomic<bool> stop{false};
        std::thread stopper;
        if (byStop) {
            m_room.Fault(R"({"route":"downloadModule","kind":"throttle","bytesPerSecond":200000,"count":1})");
            stopper = std::thread([&] {
                FileStamp part;
                Clock::time_point until = Clock::now() + std::chrono::seconds(20);
                while (!(GetFileStamp(PartPath(upper), &part) && part.size >= 100000) && Clock::now() < until) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
                stop = true;
            });
        } else {
            m_room.Fault(R"({"route":"downloadModule","kind":"throttle","bytesPerSecond":400000,"bytes":250000,"count":1})");
        }
        EXPECT_FALSE(UpgradeExamModule(SharedEndpoint(), &stop).ready);
        if (stopper.joinable()) stopper.join();
        EXPECT_FALSE(FileExists(ModulePath(upper)));
        size_t have = ReadFileBytes(PartPath(upper)).size();
        EXPECT_GE(have, byStop ? 100000u : 250000u);
        EXPECT_LT(have, size);

        EXPECT_TRUE(ModuleReady());
        EXPECT_EQ(GetFileMd5(ModulePath(upper)), upper);
        EXPECT_FALSE(FileExists(PartPath(upper)));
        std::vector<Json::Value> seen = m_room.RouteRequests("downloadModule");
        ASSERT_EQ(seen.size(), before + 2);
        EXPECT_TRUE(AskedFrom(seen.back(), have));
        EXPECT_EQ(seen.back()["response"]["status"].asInt(), 206);
        EXPECT_EQ(seen.back()["response"]["size"].asUInt(), size - have);
    }
}

// Only the rest of the part is ever appended: any other answer to the Range request starts over from byte 0
// in the same call; a server that did not continue the part and then fails leaves no part behind.
TEST_F(UpdatesTest, AnswerThatDoesNotContinueThePartStartsOver) {
    SetInstallerRetryUnit(std::chrono::milliseconds(0));
    std::string bytes(300000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7919) >> 5);
    std::string upper = ToUpperAscii(m_room.SetBytes("downloadModule", bytes));
    struct Row {
        const char* name;
        const char* setup;
        bool ready;
    } rows[] = {
        {"206 for another range", R"({"route":"downloadModule","kind":"status","status":206,"body":"0123456789",)"
                                  R"("headers":{"Content-Range":"bytes 0-9/300000"},"count":1})", true},
        {"416", R"({"route":"downloadModule","kind":"status","status":416,"body":"",)"
                R"("headers":{"Content-Range":"bytes */300000"},"count":1})", true},
        {"ignores Range, then is cut", R"({"route":"downloadModule","kind":"cut","bytes":50000,"count":2})", false},
        {"ignores Range", R"({"route":"downloadModule","ranges":false})", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RemoveFile(ModulePath(upper));
        CreateFolders(m_root / "Modules");
        ASSERT_TRUE(WriteFileBytes(PartPath(upper), bytes.substr(0, 100000)));
        if (std::string(row.name) == "ignores Range") m_room.Answer(row.setup);
        else m_room.Fault(row.setup);
        size_t before = m_room.RouteRequests("downloadModule").size();
        EXPECT_EQ(ModuleReady(), row.ready);
        EXPECT_EQ(ReadFileBytes(ModulePath(upper)), row.ready ? bytes : "");
        EXPECT_FALSE(FileExists(PartPath(upper)));
        std::vector<Json::Value> seen = m_room.RouteRequests("downloadModule");
        ASSERT_EQ(seen.size(), before + 2);
        EXPECT_TRUE(AskedFrom(seen[before], 100000));
        EXPECT_FALSE(AskedForARange(seen[before + 1])) << "the second asks for the whole";
    }
}

// A full disk leaves nothing behind: no package, and no part that would only be continued into the same wall.
TEST_F(UpdatesTest, ModuleOnAFullDiskLeavesNoFileBehind) {
    CreateFolders(m_root / "Modules");
    std::string why = MountSmallDisk(m_root / "Modules", 64);
    if (!why.empty()) GTEST_SKIP() << why;
    struct Unmount {
        std::string folder;
        ~Unmount() { UnmountSmallDisk(folder); }
    } unmount{m_root / "Modules"};
    std::string upper = ToUpperAscii(m_room.SetGeneratedBytes("downloadModule", 400000, 6));
    LogCapture log;
    EXPECT_FALSE(ModuleReady());
    EXPECT_TRUE(log.Contains(LogLevel::Error, "DownloadExamModule Error[23]"));
    EXPECT_FALSE(FileExists(ModulePath(upper)));
    EXPECT_FALSE(FileExists(PartPath(upper)));
}

// A room fetching a large package again on every pass keeps its link full for nothing: a failed download
// waits (one minute, doubling) before the same digest is fetched again, logged once; a new digest goes at once.
TEST_F(UpdatesTest, FailedModuleDownloadWaitsBeforeTheSameDigestIsFetchedAgain) {
    std::string upper = ToUpperAscii(m_room.SetGeneratedBytes("downloadModule", 300000, 4));
    m_room.SetFault("downloadModule", "status");
    LogCapture log;
    for (int pass = 0; pass < 3; ++pass) EXPECT_FALSE(ModuleReady());
    EXPECT_EQ(m_room.RouteRequests("downloadModule").size(), 1u) << "fetched again within the wait";
    ASSERT_EQ(log.Count("秒后重新下载"), 1u);
    std::string prefix = "考试流程文件" + upper;
    for (const CapturedLine& line : log.Lines()) {
        if (line.text.rfind(prefix, 0) != 0) continue;
        double seconds = std::atof(line.text.c_str() + prefix.size());
        EXPECT_GE(seconds, 30.0) << line.text;
        EXPECT_LE(seconds, 90.0) << line.text << ": one minute, spread by half";
    }
    m_room.ClearFault("downloadModule");
    m_room.SetGeneratedBytes("downloadModule", 300000, 5);
    EXPECT_TRUE(ModuleReady()) << "a new digest waits for nothing";
    EXPECT_EQ(m_room.RouteRequests("downloadModule").size(), 2u);
}

// A checked package keeps its digest only while its size and time stay as they were.
TEST_F(UpdatesTest, PackageChangedSinceItsCheckIsCheckedAgain) {
    std::string upper = ToUpperAscii(m_room.SetBytes("downloadModule", "module package bytes"));
    EXPECT_TRUE(ModuleReady());
    EXPECT_TRUE(ModuleReady());
    EXPECT_EQ(m_room.RouteRequests("downloadModule").size(), 1u);
    ASSERT_TRUE(WriteFileBytes(ModulePath(upper), "module package bytes, damaged"));
    EXPECT_TRUE(ModuleReady());
    EXPECT_EQ(m_room.RouteRequests("downloadModule").size(), 2u) << "the changed file passed for the one checked";
    EXPECT_EQ(ReadFileBytes(ModulePath(upper)), "module package bytes");
}

TEST_F(UpdatesTest, ServerDownLeavesThePackageNameAlone) {
    WriteShared(&SharedValues::ServerPort, std::string("1"));
    LogCapture log;
    Clock::time_point start = Clock::now();
    ModuleUpdate module = UpgradeExamModule(SharedEndpoint());
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 8.0) << "at most three transfers";
    EXPECT_TRUE(log.Contains(LogLevel::Info, "[UpgradeExamModule]获取服务端版本MD5失败"));
    EXPECT_FALSE(module.ready);
    EXPECT_EQ(module.package, "") << "no digest, no name: the one in use stays";
}

TEST_F(UpdatesTest, DigestThatIsNoDigestIsRefused) {
    // The digest names a file that may be deleted: a text that climbs out of Modules must never do that.
    CreateFolders(m_root / "Modules");
    ASSERT_TRUE(WriteFileBytes(m_root / "victim.upk", "keep me"));
    for (const char* digest : {"..\\..\\victim", "../../victim", "", "0123456789ABCDEF0123456789ABCDE",
                               "0123456789ABCDEF0123456789ABCDEG"}) {
        SCOPED_TRACE(digest);
        m_room.SetAnswer("getModuleMD5", Json::Value(digest));
        LogCapture log;
        ModuleUpdate module = UpgradeExamModule(SharedEndpoint());
        EXPECT_TRUE(log.Contains(LogLevel::Info, "[UpgradeExamModule]"));
        EXPECT_FALSE(module.ready);
        EXPECT_EQ(module.package, "");
    }
    EXPECT_EQ(ReadFileBytes(m_root / "victim.upk"), "keep me");
    EXPECT_TRUE(m_room.RouteRequests("downloadModule").empty());
}

}  // namespace
}  // namespace tavrel::test
