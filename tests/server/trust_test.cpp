// Opt-in trust against the room-server: a configuration that cannot be kept sends nothing, and the installer
// runs only when signed by the configured publisher. The https road itself is proved end to end.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>

#include "base/config.h"
#include "server/installer_trust.h"
#include "server/server_api.h"
#include "server/server_fixture.h"
#include "server/updates.h"
#include "support/test_support.h"
#include "system/file.h"
#include "system/text.h"

namespace tavrel::test {
namespace {

#ifdef _WIN32
constexpr bool kAuthenticodeBuild = true;
#else
constexpr bool kAuthenticodeBuild = false;
#endif

using Clock = std::chrono::steady_clock;

const char kPublisher[] = "Tavrel Test Publisher";

class TrustTest : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        if (IsSkipped()) return;
        m_tls = m_room.Post("/tls/start");
        ASSERT_TRUE(m_tls["ok"].asBool()) << m_tls.toStyledString();
        m_room.Post("/tls/certificate", Parse(R"({"from":"ca"})"));
        m_exeDir = m_root.Path() + PathSeparator();
        ASSERT_TRUE(WriteFileBytes(m_exeDir + "room-ca.pem", m_tls["caPem"].asString()));
        UseHttps("room-ca.pem");
        ForgetInstallerFailures();
    }
    void TearDown() override {
        SetInstallerSignatureChecker(nullptr);
        ForgetInstallerFailures();
        ServerTest::TearDown();
    }

    void UseHttps(const std::string& caFile, const std::string& scheme = "https") {
        UpdateShared([&](SharedValues& v) {
            v.ExeDir = m_exeDir;
            v.ServerScheme = scheme;
            v.CaFile = caFile;
            v.ServerPort = std::to_string(m_tls["https"].asInt());
        });
    }

    static Json::Value Parse(const std::string& text) {
        Json::Value value;
        Json::Reader().parse(text, value);
        return value;
    }

    TempFolder m_root;
    std::string m_exeDir;
    Json::Value m_tls;
};

TEST_F(TrustTest, ConfigurationThatCannotBeKeptSendsNothingNotEvenPlainText) {
    struct Row {
        const char* name;
        const char* scheme;
        const char* caFile;
        bool toPlainPort;
    } rows[] = {
        {"no CaFile", "https", "", false},
        {"CaFile missing", "https", "nowhere.pem", false},
        {"misspelt scheme towards the plain port", "htps", "room-ca.pem", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        m_room.Reset();
        UseHttps(row.caFile, row.scheme);
        if (row.toPlainPort) WriteShared(&SharedValues::ServerPort, std::to_string(m_room.HttpPort()));
        LogCapture log;
        std::string version;
        EXPECT_FALSE(GetVersionInfo(SharedEndpoint(), version));
        EXPECT_FALSE(SendEcpState(SharedEndpoint(), "AA-BB", "1", "127.0.0.1", "1.0.0.1", "R1", 1));
        EXPECT_TRUE(m_room.AllRequests().empty());
        // Said once, not on every call.
        EXPECT_EQ(log.Count("配置错误，不连接服务器："), 1u);
    }
    UseHttps("room-ca.pem");
    std::string version;
    EXPECT_TRUE(GetVersionInfo(SharedEndpoint(), version));
}

// The installer probe's version resource: the agent's product name at this version.
const char kProbeVersion[] = "9.9.9.9";

TEST(InstallerSignatureAccepted, OnlyATrustedSignatureOfTheConfiguredPublisherForTheAnnouncedAgentVersion) {
    const std::string pin(64, 'a');
    SignatureCheck good{true, kPublisher, "", pin, kProbeVersion, kAgentProductName};
    auto with = [&](auto change) {
        SignatureCheck check = good;
        change(check);
        return check;
    };
    auto offline = [&](long status) { return with([status](SignatureCheck& c) { c.trusted = false; c.status = status; }); };
    struct Row {
        const char* name;
        SignatureCheck check;
        const char* publisher;
        const char* thumbprint;
        bool accepted;
    } rows[] = {
        {"trusted, the publisher's", good, kPublisher, "", true},
        {"another signer", with([](SignatureCheck& c) { c.signer = "Tavrel Other Publisher"; }), kPublisher, "", false},
        {"untrusted chain", with([](SignatureCheck& c) { c.trusted = false; }), kPublisher, "", false},
        {"unsigned", SignatureCheck{false, "", "WinVerifyTrust 0x800B0100"}, kPublisher, "", false},
        {"a part of the name", good, "Tavrel Test", "", false},
        {"an older release", with([](SignatureCheck& c) { c.version = "9.9.9.8"; }), kPublisher, "", false},
        {"another program of the publisher", with([](SignatureCheck& c) { c.productName = "TavrelTool"; }), kPublisher,
         "", false},
        {"the pinned certificate, written with colons", good, kPublisher,
         "AA:AA:AA:AA:AA:AA:AA:AA:AA:AA:AA:AA:AA:AA:AA:AA:AA:AA:AA:AA:AA:AA:AA:AA:AA:AA:AA:AA:AA:AA:AA:AA", true},
        {"another certificate of the same name", good, kPublisher, "bb", false},
        // A room without internet lacks the vendor's root: the pinned signer is the trust then, and only it.
        {"pinned, root not on the PC", offline(kUntrustedRoot), kPublisher, pin.c_str(), true},
        {"pinned, chain not built", offline(kChainNotBuilt), kPublisher, pin.c_str(), true},
        {"root not on the PC, nothing pinned", offline(kUntrustedRoot), kPublisher, "", false},
        {"pinned, but the file was changed", offline(static_cast<long>(0x80096010)), kPublisher, pin.c_str(), false},
        {"root not on the PC, another certificate", offline(kUntrustedRoot), kPublisher, "bb", false},
        // Without a publisher nothing is asked, as before.
        {"no publisher", SignatureCheck{}, "", "bb", true},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(InstallerSignatureAccepted(row.check, row.publisher, kProbeVersion, row.thumbprint), row.accepted)
            << row.name;
    }
    // A listener that announces the older release it serves is still a rollback: the running agent's version
    // is the floor. Parts compare as numbers, not as texts.
    SignatureCheck older = with([](SignatureCheck& c) { c.version = "9.9.9.8"; });
    EXPECT_NE(InstallerRefusal(older, kPublisher, "9.9.9.8", "", "9.9.9.9"), "");
    EXPECT_EQ(InstallerRefusal(good, kPublisher, kProbeVersion, "", "9.9.9.9"), "") << "a reinstall of the same";
    EXPECT_EQ(InstallerRefusal(good, kPublisher, kProbeVersion, "", "9.9.9.8"), "") << "an update";
    EXPECT_NE(InstallerRefusal(good, kPublisher, kProbeVersion, "", "9.9.9.10"), "") << "10 is more than 9";
    EXPECT_EQ(InstallerRefusal(older, "", "9.9.9.8", "", "9.9.9.9"), "") << "without a publisher nothing is asked";
    EXPECT_TRUE(VersionOlderThan("1.9.0.0", "1.10.0.0"));
    EXPECT_FALSE(VersionOlderThan("1.10.0.0", "1.9.0.0"));
    EXPECT_TRUE(VersionOlderThan("", "1.0.0.0")) << "an unreadable version cannot be shown newer";
    EXPECT_FALSE(VersionOlderThan("1.0.0.0", "")) << "an unknown running version sets no floor";
}

// Without a configured publisher a signed agent takes only its own signer's updates; an unsigned one all.
TEST(UpdatePolicy, ASignedAgentPinsItsOwnSignerUnlessThePublisherIsConfigured) {
    const std::string pin(64, 'c');
    SignatureCheck own{true, "Exam Vendor Ltd", "", pin, "1.0.0.1", kAgentProductName};
    SignatureCheck offline{false, "Exam Vendor Ltd", "", pin, "1.0.0.1", kAgentProductName, kUntrustedRoot};
    SignatureCheck broken{false, "Mallory", "", pin, "", "", static_cast<long>(0x80096010)};
    struct Row { const char* name; const char* publisher; SignatureCheck own; const char* inForce; std::string pinned; } rows[] = {
        {"configured wins", kPublisher, own, kPublisher, "dd"}, {"signed agent", "", own, "Exam Vendor Ltd", pin},
        {"signed by a root this PC lacks", "", offline, "Exam Vendor Ltd", pin}, {"unsigned, as before", "", {}, "", ""},
        {"a signature that does not hold", "", broken, "", ""}};
    for (const Row& row : rows) {
        UpdatePolicy policy = EffectiveUpdatePolicy(row.publisher, *row.publisher ? "dd" : "", row.own);
        EXPECT_EQ(policy.publisher, row.inForce) << row.name;
        EXPECT_EQ(policy.thumbprint, row.pinned) << row.name;
    }
    // The test program itself is unsigned: the configuration alone decides here.
    EXPECT_EQ(OwnSignature().signer, "");
}

class SignedInstallerTest : public TrustTest {
protected:
    void SetUp() override {
        TrustTest::SetUp();
        if (IsSkipped()) return;
        CreateFolders(m_root / "Agent");
        m_exeDir = (m_root / "Agent") + PathSeparator();
        UpdateShared([&](SharedValues& v) {
            v.ExeDir = m_exeDir;
            v.ServerScheme.clear();
            v.ServerPort = std::to_string(m_room.HttpPort());
            v.UpdatePublisher = kPublisher;
        });
    }

    // The installer probe as the room serves it, signed by signer ("publisher", "other" or "none").
    std::string Serve(const char* signer) {
        if (!kAuthenticodeBuild) signer = "none";  // the Linux probe is no PE image to sign, nor is it read
        Json::Value body;
        body["bytes"]["base64"] = RoomServer::Base64Encode(ReadFileBytes(HelperPath("installer_probe")));
        body["signer"] = signer;
        Json::Value answer = m_room.Post("/tls/installer", body);
        EXPECT_TRUE(answer["ok"].asBool()) << answer.toStyledString();
        m_fetchedBefore = m_room.RouteRequests("updateTavrel").size();
        return ReadFileBytes(HelperPath("installer_probe"));
    }
    size_t FetchesSinceServe() { return m_room.RouteRequests("updateTavrel").size() - m_fetchedBefore; }
    size_t m_fetchedBefore = 0;

    static SignatureCheck CheckHeld(const std::string& path) {
        HeldFile held = HoldFile(path);
        EXPECT_TRUE(held) << path;
        SignatureCheck check = CheckInstallerSignature(held);
        ReleaseHeldFile(held);
        return check;
    }
    std::string SetupPath() { return m_exeDir + NativePath("..\\Temp\\Tavrel_Setup.exe"); }
    std::string RunRecord() { return m_root / "Temp\\installer-run.txt"; }
};

TEST_F(SignedInstallerTest, UnsignedOrOtherPublishersInstallerIsDeletedNeverRunAndWaitsItsTurn) {
    for (const char* signer : {"none", "other"}) {
        SCOPED_TRACE(signer);
        ForgetInstallerFailures();
        Serve(signer);
        LogCapture log;
        EXPECT_FALSE(UpgradeExamVersion(SharedEndpoint(), kProbeVersion));
        EXPECT_FALSE(FileExists(SetupPath())) << "a refused installer stays on the disk";
        EXPECT_TRUE(log.Contains(LogLevel::Info, "安装包签名校验失败，已删除："));
        // A failed launch: the same version is not fetched again at once.
        EXPECT_FALSE(UpgradeExamVersion(SharedEndpoint(), kProbeVersion));
        EXPECT_EQ(FetchesSinceServe(), 1u);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_FALSE(FileExists(RunRecord())) << "the installer ran";
    }
}

// Wine's WinVerifyTrust checks the signature but cannot chain to the test CA; the acceptance of a chain is
// given through the seam, everything else is the real check.
SignatureCheck ChainTrusted(const HeldFile& file) {
    SignatureCheck check = CheckInstallerSignature(file);
    check.trusted = true;
    if (!kAuthenticodeBuild) {  // the Linux port reads no signatures or version resources at all
        check.signer = kPublisher;
        check.version = kProbeVersion;
        check.productName = kAgentProductName;
    }
    return check;
}

// After the check and before the start, a writer of Temp tries to put another program in the installer's
// place: it cannot (Linux: its bytes land beside the held copy), and what starts is what was checked.
std::string g_setupPath, g_otherProgram;
bool g_replaced = false;
SignatureCheck CheckedThenReplaced(const HeldFile& file) {
    SignatureCheck check = ChainTrusted(file);
    std::string planted = g_setupPath + ".planted";
    WriteFileBytes(planted, g_otherProgram);
    bool overwritten = WriteFileBytes(g_setupPath, g_otherProgram);
    bool renamed = std::rename(planted.c_str(), g_setupPath.c_str()) == 0;
    g_replaced = overwritten || renamed || RemoveFile(g_setupPath);
    RemoveFile(planted);
    return check;
}

TEST_F(SignedInstallerTest, PublishersInstallerRuns) {
    Serve("publisher");
    SetInstallerSignatureChecker(ChainTrusted);
    EXPECT_TRUE(UpgradeExamVersion(SharedEndpoint(), kProbeVersion));
    Clock::time_point until = Clock::now() + std::chrono::seconds(20);
    while (!FileExists(RunRecord()) && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(FileExists(RunRecord())) << "the publisher's installer never ran";
}

TEST_F(SignedInstallerTest, FileReplacedAfterTheCheckIsNotWhatRuns) {
    Serve("publisher");
    g_setupPath = SetupPath();
    g_otherProgram = ReadFileBytes(HelperPath("tavrel_stub"));
    ASSERT_FALSE(g_otherProgram.empty());
    SetInstallerSignatureChecker(CheckedThenReplaced);
    EXPECT_TRUE(UpgradeExamVersion(SharedEndpoint(), kProbeVersion));
    EXPECT_EQ(g_replaced, !kAuthenticodeBuild) << "a writer changed the installer between its check and its start";
    Clock::time_point until = Clock::now() + std::chrono::seconds(20);
    while (!FileExists(RunRecord()) && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(FileExists(RunRecord())) << "the checked installer did not run";
}

// What the platform check itself reads from the files the room signs. Whether the test CA's chain is
// accepted is the platform's affair (Wine's WinVerifyTrust accepts it, Windows would not); the signer, an
// unsigned file and a file changed after signing are not.
TEST_F(SignedInstallerTest, PlatformCheckReadsTheSignerAndRefusesUnsignedAndChangedFiles) {
    TempFolder folder;
    struct Row {
        const char* signer;
        const char* name;
    } rows[] = {{"publisher", kPublisher}, {"other", "Tavrel Other Publisher"}, {"none", ""}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.signer);
        Serve(row.signer);
        std::string path = folder / (std::string(row.signer) + ".exe");
        ASSERT_TRUE(DownloadTavrelSetup(SharedEndpoint(), path));
        SignatureCheck check = CheckHeld(path);
        EXPECT_EQ(check.signer, kAuthenticodeBuild ? row.name : "");
        EXPECT_EQ(check.version, kAuthenticodeBuild ? kProbeVersion : "");
        EXPECT_EQ(check.productName, kAuthenticodeBuild ? kAgentProductName : "");
        EXPECT_EQ(check.thumbprint.size(), kAuthenticodeBuild && *row.name ? 64u : 0u) << check.thumbprint;
        std::cout << "[ info ] " << row.signer << ": trusted " << check.trusted << ", signer \"" << check.signer
                  << "\", " << check.detail << "\n";
        if (std::string(row.signer) == "none" || !kAuthenticodeBuild) {
            EXPECT_FALSE(check.trusted);
            EXPECT_FALSE(check.detail.empty());
        }
    }

    // One byte of the program changed after signing: the digest no longer matches.
    Serve("publisher");
    std::string path = folder / "changed.exe";
    ASSERT_TRUE(DownloadTavrelSetup(SharedEndpoint(), path));
    std::string bytes = ReadFileBytes(path);
    ASSERT_GT(bytes.size(), 4096u);
    bytes[2048] = static_cast<char>(bytes[2048] ^ 0x5A);
    ASSERT_TRUE(WriteFileBytes(path, bytes));
    SignatureCheck changed = CheckHeld(path);
    std::cout << "[ info ] changed: trusted " << changed.trusted << ", " << changed.detail << "\n";
    EXPECT_FALSE(changed.trusted);
}

}  // namespace
}  // namespace tavrel::test
