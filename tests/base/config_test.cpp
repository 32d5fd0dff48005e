#include <gtest/gtest.h>

#include "base/shared_values.h"
#include "base/config.h"
#include "base/server_endpoint.h"
#include "support/test_support.h"
#include "system/file.h"
#include "system/text.h"

namespace {

using tavrel::test::TempFolder;
using tavrel::test::WriteFileBytes;

class Configuration : public ::testing::Test {
protected:
    void SetUp() override { ResetShared(); }
    void TearDown() override { ResetShared(); }
};

TEST_F(Configuration, ReadsTheFourValuesAndBuildsTheUrls) {
    TempFolder dir;
    std::string ini = dir / "shell.ini";
    ASSERT_TRUE(WriteFileBytes(ini,
                               "[Server]\r\nServer=10.0.0.1\r\nServerPort=8080\r\nSocketPort=8081\r\n"
                               "[Application]\r\nAppTitle=Tavrel\r\n"));
    ReadConfiguration(ini);
    EXPECT_EQ(ReadShared(&SharedValues::ServerIp), "10.0.0.1");
    EXPECT_EQ(BaseUrlOf(ServerEndpointOf(SnapshotShared())), "http://10.0.0.1:8080");
    EXPECT_EQ(SocketUrlOf(ServerEndpointOf(SnapshotShared())), "http://10.0.0.1:8081");
    EXPECT_EQ(ReadShared(&SharedValues::AppTitle), "Tavrel");

    // A changed address counts for every endpoint built after it, and for the exam client's command line.
    WriteShared(&SharedValues::ServerIp, std::string("10.0.0.9"));
    EXPECT_EQ(BaseUrlOf(ServerEndpointOf(SnapshotShared())), "http://10.0.0.9:8080");
    EXPECT_EQ(SocketUrlOf(SnapshotShared()), "http://10.0.0.9:8081");
}

TEST_F(Configuration, MissingServerSectionGivesAnEmptyHostAndPort) {
    TempFolder dir;
    std::string ini = dir / "shell.ini";
    ASSERT_TRUE(WriteFileBytes(ini, "[Application]\r\nAppTitle=x\r\n"));
    ReadConfiguration(ini);
    EXPECT_EQ(BaseUrlOf(ServerEndpointOf(SnapshotShared())), "http://:");
    EXPECT_EQ(SocketUrlOf(ServerEndpointOf(SnapshotShared())), "http://:");
    ReadConfiguration(dir / "missing.ini");
    EXPECT_EQ(ReadShared(&SharedValues::AppTitle), "");
}

TEST_F(Configuration, ValuesAreTakenAsTheyAre) {
    TempFolder dir;
    std::string ini = dir / "shell.ini";
    ASSERT_TRUE(WriteFileBytes(ini, "[Server]\r\nServer=not-an-address\r\nServerPort=abc\r\n"));
    ReadConfiguration(ini);
    EXPECT_EQ(BaseUrlOf(ServerEndpointOf(SnapshotShared())), "http://not-an-address:abc");
}

// Held as UTF-8 until it becomes wide text: through the ANSI code page of an English PC it would be "??".
TEST_F(Configuration, ChineseTitleIsHeldAsTheFileHasIt) {
    TempFolder dir;
    std::string ini = dir / "shell.ini";
    // "考试" in UTF-8, as the file keeps it.
    ASSERT_TRUE(WriteFileBytes(ini, "[Application]\r\nAppTitle=\xE8\x80\x83\xE8\xAF\x95\r\n"));
    ReadConfiguration(ini);
    EXPECT_EQ(ReadShared(&SharedValues::AppTitle), "\xE8\x80\x83\xE8\xAF\x95");
    EXPECT_EQ(Utf8ToWide(ReadShared(&SharedValues::AppTitle)), L"\u8003\u8BD5");
}

// An odd number of UTF-8 bytes: read as ANSI text and back, the last character was lost. Written by Notepad,
// with its byte-order mark, lower-case names, blanks and quotes.
TEST_F(Configuration, AChineseTitleOfAnOddByteCountArrivesWhole) {
    TempFolder dir;
    std::string ini = dir / "shell.ini";
    const std::string title = "\xE8\x80\x83\xE8\xAF\x95\xE5\xAE\xA2\xE6\x88\xB7\xE7\xAB\xAF";  // 考试客户端
    for (const std::string& file : {"[Application]\r\nAppTitle=" + title + "\r\n",
                                     "\xEF\xBB\xBF[application]\r\n  apptitle = \"" + title + "\"  \r\n[Server]\r\n"}) {
        SCOPED_TRACE(file);
        ASSERT_TRUE(WriteFileBytes(ini, file));
        ReadConfiguration(ini);
        EXPECT_EQ(ReadShared(&SharedValues::AppTitle), title);
    }
}

TEST_F(Configuration, WritingTheAddressTouchesOnlyThatKey) {
    TempFolder dir;
    std::string ini = dir / "shell.ini";
    ASSERT_TRUE(WriteFileBytes(ini, "[Server]\r\nServer=10.0.0.1\r\nServerPort=8080\r\nSocketPort=8081\r\n"));
    ASSERT_TRUE(WriteServerAddress(ini, "10.0.0.2"));
    EXPECT_EQ(ReadIniString(ini, "Server", "Server"), "10.0.0.2");
    EXPECT_EQ(ReadIniString(ini, "Server", "ServerPort"), "8080");
    EXPECT_EQ(ReadIniString(ini, "Server", "SocketPort"), "8081");
}

TEST_F(Configuration, SharedValuesStartAsAFreshProcess) {
    EXPECT_EQ(ReadShared(&SharedValues::TavrelExe), L"Tavrel.exe");
    EXPECT_EQ(ReadShared(&SharedValues::CurrentPhase), 0);
    EXPECT_EQ(ReadShared(&SharedValues::CurrentEcpId), "");
}

}  // namespace

namespace {

TEST_F(Configuration, TrustValuesSwitchTheSchemeAndNameTheCaBesideTheAgent) {
    TempFolder dir;
    std::string ini = dir / "shell.ini";
    ASSERT_TRUE(WriteFileBytes(ini,
                               "[Server]\r\nServer=10.0.0.1\r\nServerPort=8443\r\nSocketPort=8444\r\nScheme=HTTPS\r\n"
                               "CaFile=room-ca.pem\r\n[Update]\r\nPublisher=Exam Vendor Ltd\r\nThumbprint=AB:cd\r\n"));
    ASSERT_TRUE(WriteFileBytes(dir / "room-ca.pem", "-----BEGIN CERTIFICATE-----\n"));
    ReadConfiguration(ini);
    WriteShared(&SharedValues::ExeDir, dir.Path() + PathSeparator());
    EXPECT_EQ(BaseUrlOf(ServerEndpointOf(SnapshotShared())), "https://10.0.0.1:8443");
    EXPECT_EQ(SocketUrlOf(ServerEndpointOf(SnapshotShared())), "https://10.0.0.1:8444");
    EXPECT_EQ(ReadShared(&SharedValues::UpdatePublisher), "Exam Vendor Ltd");
    EXPECT_EQ(ReadShared(&SharedValues::UpdateThumbprint), "AB:cd");
    TransportTrust trust = TransportTrustOf(SnapshotShared());
    EXPECT_TRUE(trust.secure);
    EXPECT_EQ(trust.problem, "");
    EXPECT_EQ(trust.caPath, dir / "room-ca.pem");

    // An absolute CaFile is taken as it is; one that cannot be read is a problem, never plain text.
    WriteShared(&SharedValues::CaFile, dir / "room-ca.pem");
    EXPECT_EQ(TransportTrustOf(SnapshotShared()).caPath, dir / "room-ca.pem");
    WriteShared(&SharedValues::CaFile, dir / "gone.pem");
    EXPECT_NE(TransportTrustOf(SnapshotShared()).problem, "");
}

TEST_F(Configuration, WithoutTrustValuesEverythingIsAsBefore) {
    TempFolder dir;
    for (const char* scheme : {"", "Scheme=http\r\n"}) {
        SCOPED_TRACE(scheme);
        std::string ini = dir / "shell.ini";
        ASSERT_TRUE(WriteFileBytes(ini, std::string("[Server]\r\nServer=10.0.0.1\r\nServerPort=80\r\n") + scheme));
        ReadConfiguration(ini);
        EXPECT_EQ(BaseUrlOf(ServerEndpointOf(SnapshotShared())), "http://10.0.0.1:80");
        TransportTrust trust = TransportTrustOf(SnapshotShared());
        EXPECT_FALSE(trust.secure);
        EXPECT_EQ(trust.problem, "");
        EXPECT_EQ(trust.caPath, "");
    }
}

}  // namespace
