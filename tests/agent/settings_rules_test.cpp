#include <gtest/gtest.h>

#include <string>

#include "base/shared_values.h"
#include "base/config.h"
#include "agent/exit_password.h"
#include "agent/service_workflow.h"
#include "agent/settings_rules.h"
#include "server/server_api.h"
#include "support/room_server.h"
#include "support/test_support.h"
#include "system/file.h"
#include "system/own_addresses.h"
#include "system/text.h"

namespace {

using tavrel::test::LogCapture;
using tavrel::test::RoomServer;
using tavrel::test::TempFolder;
using tavrel::test::WriteFileBytes;

struct CheckCase {
    const char* address;
    const char* number;
    SettingsVerdict verdict;
    const char* why;
};

TEST(SettingsRules, InputChecksInTheirOrder) {
    // In use: server 10.0.0.1, number 12.
    const CheckCase cases[] = {
        {"10.0.0.1", "12", SettingsVerdict::Unchanged, "nothing changed"},
        {"  10.0.0.1 ", " 12  ", SettingsVerdict::Unchanged, "blanks do not count"},
        {"10.0.0.1", "", SettingsVerdict::NumberMissing, "empty number"},
        {"10.0.0.1", "   ", SettingsVerdict::NumberMissing, "blanks only"},
        {"10.0.0.1", "0", SettingsVerdict::NumberOutOfRange, "zero"},
        {"10.0.0.1", "1000", SettingsVerdict::NumberOutOfRange, "four digits"},
        {"10.0.0.1", "abc", SettingsVerdict::NumberOutOfRange, "letters only"},
        {"10.0.0.1", "-5", SettingsVerdict::NumberOutOfRange, "negative"},
        {"10.0.0.1", "7", SettingsVerdict::Proceed, "a plain number"},
        {"10.0.0.1", "007", SettingsVerdict::Proceed, "leading zeros as typed"},
        {"10.0.0.1", "999", SettingsVerdict::Proceed, "upper bound"},
        {"10.0.0.1", "1", SettingsVerdict::Proceed, "lower bound"},
        {"255.255.255.255", "12", SettingsVerdict::AddressInvalid, "the parser's error value"},
        {"", "12", SettingsVerdict::AddressInvalid, "empty address"},
        {"10.0.0.256", "12", SettingsVerdict::AddressInvalid, "octet out of range"},
        {"exam-server", "12", SettingsVerdict::AddressInvalid, "a name"},
        {"10.0.0.2", "12", SettingsVerdict::Proceed, "new address"},
        {"127.1", "12", SettingsVerdict::AddressInvalid, "fewer than four parts"},
        {"10.0.0.1.5", "12", SettingsVerdict::AddressInvalid, "five parts"},
        {"0x0a.0.0.2", "12", SettingsVerdict::AddressInvalid, "hexadecimal"},
        {"010.0.0.2", "12", SettingsVerdict::AddressInvalid, "a leading zero reads as octal elsewhere"},
        {"10.0.0.2 ", "12", SettingsVerdict::Proceed, "trimmed first"},
        {"10..0.2", "12", SettingsVerdict::AddressInvalid, "an empty part"},
        {"10.0.0.+2", "12", SettingsVerdict::AddressInvalid, "a sign"},
        {"1000.0.0.2", "12", SettingsVerdict::AddressInvalid, "four digits"},
        {"127.0.0.1", "12", SettingsVerdict::AddressInvalid, "loopback"},
        {"127.255.0.9", "12", SettingsVerdict::AddressInvalid, "loopback, all of 127/8"},
        {"0.0.0.0", "12", SettingsVerdict::AddressInvalid, "no host"},
        {"224.0.0.1", "12", SettingsVerdict::AddressInvalid, "multicast"},
        {"239.255.255.250", "12", SettingsVerdict::AddressInvalid, "multicast, upper end"},
        {"223.255.255.254", "12", SettingsVerdict::Proceed, "just below multicast"},
        {"126.0.0.1", "12", SettingsVerdict::Proceed, "just below loopback"},
        {"169.254.10.20", "12", SettingsVerdict::AddressInvalid, "link-local: a cable to a laptop"},
        {"169.253.255.255", "12", SettingsVerdict::Proceed, "just below link-local"},
        {"169.255.0.1", "12", SettingsVerdict::Proceed, "just above link-local"},
        {"", "", SettingsVerdict::NumberMissing, "number is checked before the address"},
        {"bad", "0", SettingsVerdict::NumberOutOfRange, "range is checked before the address"},
    };
    for (const CheckCase& c : cases) {
        SettingsInput trimmed;
        EXPECT_EQ(CheckSettings(c.address, c.number, "10.0.0.1", "12", &trimmed), c.verdict) << c.why;
    }
    SettingsInput trimmed;
    EXPECT_EQ(CheckSettings("127.0.0.1", "13", "127.0.0.1", "12", &trimmed), SettingsVerdict::Proceed)
        << "the address in use stays usable for a change of the number";
    EXPECT_EQ(CheckSettings("127.1", "13", "127.0.0.1", "12", &trimmed), SettingsVerdict::AddressInvalid);
    CheckSettings("  10.0.0.3  ", " 007 ", "10.0.0.1", "12", &trimmed);
    EXPECT_EQ(trimmed.address, "10.0.0.3");
    EXPECT_EQ(trimmed.number, "007");
}

TEST(SettingsRules, ThePCsOwnAddressesAreNoServerAndANewOneNeedsTheExitPassword) {
    // This PC holds 10.0.0.7 on its LAN adapter and 192.168.56.1 on a host-only one; in use: 10.0.0.1, 12.
    const std::vector<std::string> own = {"127.0.0.1", "10.0.0.7", "192.168.56.1"};
    const CheckCase cases[] = {
        {"10.0.0.7", "12", SettingsVerdict::AddressInvalid, "the LAN adapter's own address"},
        {" 192.168.56.1 ", "12", SettingsVerdict::AddressInvalid, "another adapter's, trimmed first"},
        {"10.0.0.8", "12", SettingsVerdict::Proceed, "a neighbour"},
        {"10.0.0.1", "13", SettingsVerdict::Proceed, "a number change keeps the address in use"},
        {"10.0.0.7", "0", SettingsVerdict::NumberOutOfRange, "the number first, as before"},
    };
    for (const CheckCase& c : cases) {
        SettingsInput trimmed;
        EXPECT_EQ(CheckSettings(c.address, c.number, "10.0.0.1", "12", own, &trimmed), c.verdict) << c.why;
    }
    SettingsInput trimmed;
    EXPECT_EQ(CheckSettings("10.0.0.7", "13", "10.0.0.7", "12", own, &trimmed), SettingsVerdict::Proceed)
        << "an administrator's choice in use stays usable for a change of the number";
    EXPECT_FALSE(ListOwnIpv4Addresses().empty()) << "every PC holds at least its loopback";

    const std::string hash = MakeExitPasswordHash("Room-7 exit", 1000);
    struct Proof {
        const char* address;
        const char* typed;
        const char* storedHash;
        bool proven;
        const char* why;
    } proofs[] = {
        {"10.0.0.1", "", "", true, "a number change asks nothing"},
        {"10.0.0.2", "", "", false, "a new address without the password"},
        {"10.0.0.2", "vexmor42", "", true, "the fixed password where the room has none"},
        {"10.0.0.2", "VEXMOR42", "", true, "the fixed one in any case, as its dialog takes it"},
        {"10.0.0.2", "vexmor4", "", false, "seven characters"},
        {"10.0.0.2", "Room-7 exit", hash.c_str(), true, "the room's own"},
        {"10.0.0.2", "vexmor42", hash.c_str(), false, "the fixed one where the room has its own"},
        {"10.0.0.2", "room-7 exit", hash.c_str(), false, "the room's own, case counts"},
    };
    for (const Proof& p : proofs)
        EXPECT_EQ(AddressChangeProven(SettingsInput{p.address, "12"}, "10.0.0.1", p.typed, p.storedHash), p.proven)
            << p.why;
}

TEST(SettingsRules, MessagesOfTheRefusals) {
    EXPECT_EQ(SettingsVerdictMessage(SettingsVerdict::NumberMissing), "请输入考试机号！");
    EXPECT_EQ(SettingsVerdictMessage(SettingsVerdict::NumberOutOfRange), "考试机号应该在1-999之间！");
    EXPECT_EQ(SettingsVerdictMessage(SettingsVerdict::AddressInvalid), "请输入合法的IP地址！");
    EXPECT_EQ(SettingsVerdictMessage(SettingsVerdict::ProofMissing), "修改监考机IP须输入正确的退出口令！");
    EXPECT_EQ(SettingsVerdictMessage(SettingsVerdict::Unchanged), "");
}

TEST(SettingsRules, NumberFieldKeepsThreeCharacters) {
    struct Case {
        std::wstring typed;
        bool cut;
        std::wstring kept;
    };
    const Case cases[] = {
        {L"1234", true, L"123"},
        {L"123", false, L"123"},
        {L"12", false, L"12"},
        {L"", false, L""},
        {L"123456789", true, L"123"},
        // Counted in characters, not in the bytes the ANSI code page gives them.
        {L"\u4E00\u4E8C\u4E09\u56DB", true, L"\u4E00\u4E8C\u4E09"},
        {L"12\uFF13", false, L"12\uFF13"},
        {L"12\uFF134", true, L"12\uFF13"},
    };
    for (const Case& c : cases) {
        std::wstring text = c.typed;
        EXPECT_EQ(CutNumberField(&text), c.cut) << c.typed.size() << " units typed";
        EXPECT_EQ(text, c.kept);
    }
}

TEST(SettingsRules, NumberFieldNeverKeepsHalfACharacter) {
    // A character outside the basic plane: two units in UTF-16 (Windows), one in UTF-32.
    const std::wstring face = L"\U0001F600";
    std::wstring text = L"12" + face + L"4";
    EXPECT_TRUE(CutNumberField(&text));
    EXPECT_EQ(text, L"12" + face);
    text = L"12" + face;
    EXPECT_FALSE(CutNumberField(&text));
    EXPECT_EQ(text, L"12" + face);
}

TEST(SettingsRules, ExitPassword) {
    EXPECT_TRUE(IsExitPassword("vexmor42"));
    EXPECT_TRUE(IsExitPassword("VEXMOR42")) << "any case";
    EXPECT_TRUE(IsExitPassword("VeXmOr42"));
    EXPECT_FALSE(IsExitPassword("vexmor4")) << "seven characters do nothing";
    EXPECT_TRUE(IsExitPassword("vexmor42x")) << "text after the eighth does not matter";
    EXPECT_TRUE(IsExitPassword("vexmor42 and more"));
    EXPECT_FALSE(IsExitPassword("xvexmor42"));
    EXPECT_FALSE(IsExitPassword(""));
    EXPECT_FALSE(IsExitPassword("vexmor43"));

    // A room's own password, kept as a salted digest: the whole text, exactly; the fixed one no longer opens.
    const std::string hash = MakeExitPasswordHash(AnsiToUtf8("Room 7 \xbf\xbc"), 1000);  // as the dialog hashes
    ASSERT_EQ(hash.compare(0, 19, "pbkdf2-sha256$1000$"), 0) << hash;
    EXPECT_NE(MakeExitPasswordHash("Room 7 \xbf\xbc", 1000), hash) << "a fresh salt every time";
    struct Row {
        const char* typed;
        bool opens;
    } rows[] = {{"Room 7 \xbf\xbc", true}, {"Room 7 \xbf", false}, {"room 7 \xbf\xbc", false},
                {"Room 7 \xbf\xbcx", false}, {"vexmor42", false}, {"", false}};
    for (const Row& row : rows) EXPECT_EQ(IsExitPassword(row.typed, hash), row.opens) << row.typed;
    for (const std::string& broken : {hash.substr(0, hash.size() - 2), std::string("md5$1000$00$00"),
                                      "pbkdf2-sha256$0$" + hash.substr(19), "pbkdf2-sha256$99999999999$" + hash.substr(19),
                                      std::string("x")}) {
        EXPECT_FALSE(IsReadableExitPasswordHash(broken)) << broken;
        EXPECT_FALSE(IsExitPassword("vexmor42", broken)) << "an unreadable digest opens nothing";
    }
}

class SettingsChange : public ::testing::Test {
protected:
    void SetUp() override {
        ResetShared();
        ini = folder / "shell.ini";
        ASSERT_TRUE(WriteFileBytes(ini, "[Server]\r\nServer=10.0.0.1\r\nServerPort=8080\r\nSocketPort=8081\r\n"));
        UpdateShared([&](SharedValues& v) {
            v.IniPath = ini;
            v.ServerIp = "10.0.0.1";
            v.CurrentEcpId = "12";
            v.LocalMac = "0A-00-27-00-00-0C";
        });
        calls = 0;
        channelClosed = 0;
        addressAtCall.clear();
    }
    void TearDown() override { ResetShared(); }

    static bool Accept(const ServerEndpoint& server, const std::string& key, const std::string& id,
                       std::string* message) {
        ++calls;
        addressAtCall = server.host;
        lastKey = key;
        lastId = id;
        *message = "ok";
        return true;
    }
    static bool Refuse(const ServerEndpoint& server, const std::string&, const std::string&, std::string* message) {
        ++calls;
        addressAtCall = server.host;
        inUseAtCall = ReadShared(&SharedValues::ServerIp);
        *message = "考试机号已被占用";
        return false;
    }
    static void CloseChannel() { ++channelClosed; }

    TempFolder folder;
    std::string ini;
    static int calls, channelClosed;
    static std::string addressAtCall, inUseAtCall, lastKey, lastId;
};
int SettingsChange::calls = 0;
int SettingsChange::channelClosed = 0;
std::string SettingsChange::addressAtCall, SettingsChange::inUseAtCall, SettingsChange::lastKey, SettingsChange::lastId;

TEST_F(SettingsChange, NewAddressAndNumberTakeEffectAfterTheServerAccepts) {
    LogCapture log;
    std::string message;
    ASSERT_TRUE(ApplySettingsChange({"10.0.0.2", "007"}, {Accept, CloseChannel}, &message));
    EXPECT_EQ(message, "");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(addressAtCall, "10.0.0.2") << "the call goes to the new server";
    EXPECT_EQ(lastKey, "0A-00-27-00-00-0C");
    EXPECT_EQ(lastId, "007");
    EXPECT_EQ(ReadShared(&SharedValues::ServerIp), "10.0.0.2");
    EXPECT_EQ(ReadShared(&SharedValues::CurrentEcpId), "007");
    EXPECT_EQ(ReadIniString(ini, "Server", "Server"), "10.0.0.2");
    EXPECT_EQ(channelClosed, 1);
    EXPECT_TRUE(log.Contains(LogLevel::Info, "修改考试机配置，考试机号[007],服务地址[10.0.0.2]"));
}

// The server took the number: the new address stays in use, and the invigilator is told it was not stored.
TEST_F(SettingsChange, AnIniThatCannotBeWrittenIsReportedNotPassedOffAsDone) {
    WriteShared(&SharedValues::IniPath, folder / "missing\\shell.ini");
    std::string message;
    ASSERT_TRUE(ApplySettingsChange({"10.0.0.2", "13"}, {Accept, CloseChannel}, &message));
    EXPECT_EQ(message, kAddressNotStored);
    EXPECT_EQ(ReadShared(&SharedValues::ServerIp), "10.0.0.2");
    EXPECT_EQ(ReadShared(&SharedValues::CurrentEcpId), "13");
    EXPECT_EQ(channelClosed, 1);
    EXPECT_FALSE(FileExists(folder / "missing\\shell.ini"));
}

TEST_F(SettingsChange, OnlyTheNumberLeavesIniAndChannelAlone) {
    std::string before = tavrel::test::ReadFileBytes(ini);
    std::string message;
    ASSERT_TRUE(ApplySettingsChange({"10.0.0.1", "13"}, {Accept, CloseChannel}, &message));
    EXPECT_EQ(tavrel::test::ReadFileBytes(ini), before);
    EXPECT_EQ(channelClosed, 0);
    EXPECT_EQ(ReadShared(&SharedValues::CurrentEcpId), "13");
}

TEST_F(SettingsChange, TheInstallerStoresTheRoomsExitPasswordAsADigest) {
    EXPECT_EQ(StoreExitPassword(ini, nullptr), 1) << "no password given";
    ASSERT_EQ(StoreExitPassword(ini, "Exam-Room 7"), 0);
    const std::string stored = ReadIniString(ini, "Application", "ExitPasswordHash");
    EXPECT_EQ(stored.find("Exam-Room"), std::string::npos) << stored;
    EXPECT_TRUE(IsExitPassword("Exam-Room 7", stored));
    EXPECT_EQ(ReadIniString(ini, "Server", "Server"), "10.0.0.1") << "the rest of shell.ini stays";
    ReadConfiguration(ini);
    EXPECT_EQ(ReadShared(&SharedValues::ExitPasswordHash), stored);
    ASSERT_EQ(StoreExitPassword(ini, ""), 0);
    EXPECT_EQ(ReadIniString(ini, "Application", "ExitPasswordHash"), "") << "an empty one brings the fixed one back";
    EXPECT_EQ(StoreExitPassword(ini, "Room-7"), 1) << "fewer than eight characters";
    EXPECT_EQ(ReadIniString(ini, "Application", "ExitPasswordHash"), "") << "and nothing stored";
    EXPECT_FALSE(LongEnoughExitPassword("考场七号口令"));
    EXPECT_TRUE(LongEnoughExitPassword("考场七号退出口令")) << "eight characters, not bytes";
}

TEST_F(SettingsChange, ARefusalLeavesEverythingAsItWas) {
    LogCapture log;
    std::string before = tavrel::test::ReadFileBytes(ini);
    std::string message;
    EXPECT_FALSE(ApplySettingsChange({"10.0.0.2", "13"}, {Refuse, CloseChannel}, &message));
    EXPECT_EQ(addressAtCall, "10.0.0.2");
    EXPECT_EQ(inUseAtCall, "10.0.0.1") << "the address being tried is never the one in use";
    EXPECT_EQ(message, "修改考试机号失败：考试机号已被占用");
    EXPECT_EQ(ReadShared(&SharedValues::ServerIp), "10.0.0.1");
    EXPECT_EQ(ReadShared(&SharedValues::CurrentEcpId), "12");
    EXPECT_EQ(tavrel::test::ReadFileBytes(ini), before);
    EXPECT_EQ(channelClosed, 0);
    EXPECT_EQ(log.Count("修改考试机配置"), 0u);
}

// While the dialog's server call runs (up to three seconds), a service pass goes on with the server in use: here
// "localhost", while the room refuses the number at "127.0.0.1". Each request says by its Host line where it went.
RoomServer* g_room = nullptr;
PassOutcome g_passDuringCall = PassOutcome::AgentEnds;

bool PassThenModify(const ServerEndpoint& server, const std::string& key, const std::string& id, std::string* message) {
    g_passDuringCall = RunServicePass();
    return ModifyEcpNo(server, key, id, *message);
}

TEST_F(SettingsChange, APassDuringARefusedChangeAsksTheServerInUse) {
    RoomServer room;
    if (!room.Available()) GTEST_SKIP() << room.WhyUnavailable();
    room.Reset();
    room.SetAnswer("getVersionInfo", Json::Value(""));
    room.SetAnswer("modifyTavrel", Json::Value(), 1003, "", "考试机号已被占用");
    const std::string port = std::to_string(room.HttpPort());
    UpdateShared([&](SharedValues& v) {
        v.ServerIp = "localhost";
        v.ServerPort = port;
    });
    std::string message;
    EXPECT_FALSE(ApplySettingsChange({"127.0.0.1", "13"}, {PassThenModify, CloseChannel}, &message));
    EXPECT_EQ(message, "修改考试机号失败：" + Utf8ToAnsi("考试机号已被占用"));
    EXPECT_EQ(g_passDuringCall, PassOutcome::Continue);
    auto wentTo = [&](const char* route) {
        Json::Value first = room.Get(std::string("/requests?route=") + route)["requests"][0];
        std::string host;
        for (const Json::Value& line : first["headerLines"])
            if (ToLowerAscii(line.asString()).rfind("host:", 0) == 0) host = line.asString().substr(5);
        return TrimSpaces(host);
    };
    for (const char* route : {"getVersionInfo", "getStartupInfoAgent", "registeTavrel"})
        EXPECT_EQ(wentTo(route), "localhost:" + port) << route;
    EXPECT_EQ(wentTo("modifyTavrel"), "127.0.0.1:" + port);
    EXPECT_EQ(ReadShared(&SharedValues::ServerIp), "localhost");
    EXPECT_EQ(ReadIniString(ini, "Server", "Server"), "10.0.0.1");
}

}  // namespace
