// HttpProvider against the room-server: headers as they arrive, the retry loop, result codes, the form's
// part order, downloads (gzip, redirects, error statuses) and the transport's log lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>

#include "server/http_provider.h"
#include "server/server_fixture.h"
#include "support/test_support.h"
#include "system/file.h"
#include "system/text.h"

namespace tavrel::test {
namespace {

using zuli::nio::HttpProvider;
using zuli::nio::RequestOptions;
using Clock = std::chrono::steady_clock;

RequestOptions Options(int timeout, int connectTimeout, int attempts) {
    RequestOptions o;
    o.timeout = timeout;
    o.connectTimeout = connectTimeout;
    o.attempts = attempts;
    return o;
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool HasLine(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

size_t LinesNamed(const std::vector<std::string>& lines, const std::string& name) {
    std::string prefix = ToLowerAscii(name) + ":";
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return ToLowerAscii(l.substr(0, prefix.size())) == prefix;
    }));
}

// Port 1 has no listener on a test machine: every connection is refused at once.
const char kClosedUrl[] = "http://127.0.0.1:1/client/getVersionInfo";

class HttpProviderTest : public ServerTest {
protected:
    std::string Url(const std::string& path) { return BaseUrlOf(SnapshotShared()) + path; }

    HttpProvider m_http;
    std::atomic<bool> m_terminated{false};
    RequestOptions m_quick = Options(1, 1, 3);
};

TEST_F(HttpProviderTest, RefusedConnectionIsTriedThreeTimesASecondApart) {
    std::string response;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(m_http.getRequest(kClosedUrl, response, &m_quick, m_terminated), 7);
    double elapsed = SecondsSince(start);
    EXPECT_GE(elapsed, 1.9) << "two pauses of a second between three transfers";
    EXPECT_LT(elapsed, 8.0);
    EXPECT_EQ(response, "");
}

TEST_F(HttpProviderTest, EachOperationRetriesFailedTransfersUpToAttempts) {
    // The server takes each request and closes the connection without an answer.
    m_room.Fault(R"({"route":"*","kind":"close"})");
    struct Row {
        const char* name;
        const char* route;
        std::function<int(HttpProvider&, const RequestOptions*, std::atomic<bool>&, std::string&)> call;
    };
    std::string base = BaseUrlOf(SnapshotShared());
    const Row rows[] = {
        {"post", "sendEcpState",
         [&](HttpProvider& h, const RequestOptions* o, std::atomic<bool>& t, std::string& r) {
             return h.postRequest(base + "/client/sendEcpState", "{}", r, o, t);
         }},
        {"get", "getVersionInfo",
         [&](HttpProvider& h, const RequestOptions* o, std::atomic<bool>& t, std::string& r) {
             return h.getRequest(base + "/client/getVersionInfo", r, o, t);
         }},
        {"upload", "uploadTavrelLogs",
         [&](HttpProvider& h, const RequestOptions* o, std::atomic<bool>& t, std::string& r) {
             return h.uploadRequest(base + "/client/uploadTavrelLogs", {}, {{"a", "1"}}, r, o, t);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string response;
        EXPECT_EQ(row.call(m_http, &m_quick, m_terminated, response), 52);  // CURLE_GOT_NOTHING
        std::vector<Json::Value> seen = m_room.RouteRequests(row.route);
        ASSERT_EQ(seen.size(), 3u);
        for (size_t i = 1; i < seen.size(); ++i) {
            double gap = seen[i]["time"].asDouble() - seen[i - 1]["time"].asDouble();
            EXPECT_GE(gap, 900.0) << "transfer " << i;
            EXPECT_LT(gap, 4000.0) << "transfer " << i;
        }
    }
}

TEST_F(HttpProviderTest, AttemptsOfOneOrLessMeanOneTransfer) {
    m_room.Fault(R"({"route":"getVersionInfo","kind":"close"})");
    for (int attempts : {1, 0, -5}) {
        SCOPED_TRACE(attempts);
        m_room.Reset();
        m_room.Fault(R"({"route":"getVersionInfo","kind":"close"})");
        RequestOptions o = Options(1, 1, attempts);
        std::string response;
        EXPECT_EQ(m_http.getRequest(Url("/client/getVersionInfo"), response, &o, m_terminated), 52);
        EXPECT_EQ(m_room.RouteRequests("getVersionInfo").size(), 1u);
    }
}

TEST_F(HttpProviderTest, TerminateFlagStopsTheRetries) {
    m_room.Fault(R"({"route":"getVersionInfo","kind":"close"})");
    m_terminated = true;
    std::string response;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(m_http.getRequest(Url("/client/getVersionInfo"), response, &m_quick, m_terminated), 52);
    EXPECT_LT(SecondsSince(start), 0.9) << "no pause after the only transfer";
    EXPECT_EQ(m_room.RouteRequests("getVersionInfo").size(), 1u);
}

TEST_F(HttpProviderTest, HttpStatusIsTheResultAfterOneTransfer) {
    // A completed transfer is not repeated whatever its status.
    m_room.Fault(R"({"route":"sendEcpState","kind":"status","status":404})");
    m_room.Fault(R"({"route":"getVersionInfo","kind":"status","status":500})");
    std::string response;
    EXPECT_EQ(m_http.postRequest(Url("/client/sendEcpState"), "{}", response, &m_quick, m_terminated), 404);
    EXPECT_EQ(m_room.RouteRequests("sendEcpState").size(), 1u);
    EXPECT_NE(response.find("404"), std::string::npos) << "the error page is still handed back: " << response;

    response.clear();
    EXPECT_EQ(m_http.getRequest(Url("/client/getVersionInfo"), response, &m_quick, m_terminated), 500);
    EXPECT_EQ(m_room.RouteRequests("getVersionInfo").size(), 1u);

    // A path the server does not know answers 404 too.
    response.clear();
    EXPECT_EQ(m_http.postRequest(Url("/client/nothingHere"), "{}", response, &m_quick, m_terminated), 404);
    EXPECT_EQ(m_room.Requests("/client/nothingHere").size(), 1u);
}

TEST_F(HttpProviderTest, ResponseHoldsOnlyTheLastAttemptsBytes) {
    // The first answer is cut in the middle; its half must not stand in front of the second, whole answer.
    m_room.Fault(R"({"route":"getVersionInfo","kind":"cut","count":1})");
    m_room.Answer(R"({"route":"getVersionInfo","code":1000,"data":"9.9.9.9"})");
    std::string response = "before:";
    EXPECT_EQ(m_http.getRequest(Url("/client/getVersionInfo"), response, &m_quick, m_terminated), 0);
    EXPECT_EQ(m_room.RouteRequests("getVersionInfo").size(), 2u);
    EXPECT_EQ(response, R"(before:{"code":1000,"data":"9.9.9.9","message":""})");
}

TEST_F(HttpProviderTest, TimeOutGivesCode28) {
    m_room.Fault(R"({"route":"getVersionInfo","kind":"delay","ms":2500})");
    RequestOptions o = Options(1, 1, 1);
    std::string response;
    EXPECT_EQ(m_http.getRequest(Url("/client/getVersionInfo"), response, &o, m_terminated), 28);
}

TEST_F(HttpProviderTest, HeaderLinesGoOutByteForByte) {
    std::string response;
    m_http.postRequest(Url("/client/sendEcpState"), "{}", response, &m_quick, m_terminated);
    m_http.getRequest(Url("/client/getVersionInfo"), response, &m_quick, m_terminated);
    m_http.uploadRequest(Url("/client/uploadTavrelLogs"), {}, {{"a", "1"}}, response, &m_quick, m_terminated);
    TempFolder folder;
    FILE* file = std::fopen((folder / "module.upk").c_str(), "wb+");
    ASSERT_NE(file, nullptr);
    RequestOptions o = Options(5, 5, 3);
    EXPECT_EQ(m_http.downloadRequest(Url("/client/downloadModule"), file, &o), 0);
    std::fclose(file);

    struct Row {
        const char* route;
        std::vector<std::string> lines;
        const char* method;
    } rows[] = {
        {"sendEcpState", {"Client-Name:Mova-agent", "Content-Type:application/json;charset=UTF-8"}, "POST"},
        {"getVersionInfo", {"Client-Name:Mova-agent"}, "GET"},
        {"uploadTavrelLogs", {"Client-Name:Mova-agent"}, "POST"},
        {"downloadModule", {"Accept-Encoding:gzip", "Client-Name:kelm-agent"}, "GET"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.route);
        std::vector<Json::Value> seen = m_room.RouteRequests(row.route);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0]["method"].asString(), row.method);
        std::vector<std::string> lines = HeaderLinesOf(seen[0]);
        for (const std::string& line : row.lines) {
            EXPECT_TRUE(HasLine(lines, line)) << line;
            EXPECT_EQ(LinesNamed(lines, line.substr(0, line.find(':'))), 1u) << line;
        }
        EXPECT_EQ(LinesNamed(lines, "Client-Name"), 1u);
    }
}

TEST_F(HttpProviderTest, PostSendsTheBodyAsGiven) {
    std::string body = "{\n   \"a\" : \"1\"\n}\n";
    std::string response;
    EXPECT_EQ(m_http.postRequest(Url("/client/sendEcpState"), body, response, &m_quick, m_terminated), 0);
    std::vector<Json::Value> seen = m_room.RouteRequests("sendEcpState");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(BodyOf(seen[0]), body);
    EXPECT_EQ(response, R"({"code":1000,"data":null,"message":""})");
}

TEST_F(HttpProviderTest, FormPartsGoTextsFirstThenFilesEachInKeyOrder) {
    TempFolder folder;
    ASSERT_TRUE(WriteFileBytes(folder / "answer.oef", std::string("file\0bytes", 10)));
    ASSERT_TRUE(WriteFileBytes(folder / "second.bin", "2nd"));
    std::string response;
    EXPECT_EQ(m_http.uploadRequest(Url("/monitor/uploadRecoverAnswer"),
                                   {{"zfile", folder / "second.bin"}, {"file", folder / "answer.oef"}},
                                   {{"b", "2"}, {"a", "1"}, {"B", "3"}}, response, &m_quick, m_terminated),
              0);
    std::vector<Json::Value> seen = m_room.RouteRequests("uploadRecoverAnswer");
    ASSERT_EQ(seen.size(), 1u);
    const Json::Value& parts = seen[0]["parts"];
    ASSERT_EQ(parts.size(), 5u);
    const char* names[] = {"B", "a", "b", "file", "zfile"};
    for (Json::ArrayIndex i = 0; i < parts.size(); ++i) EXPECT_EQ(parts[i]["name"].asString(), names[i]) << i;
    EXPECT_EQ(parts[1]["text"].asString(), "1");
    EXPECT_EQ(parts[3]["filename"].asString(), "answer.oef");
    EXPECT_EQ(PartData(parts[3]), std::string("file\0bytes", 10));
    EXPECT_EQ(PartData(parts[4]), "2nd");
}

TEST_F(HttpProviderTest, UploadLogsEveryTransferAndTheOutcome) {
    LogCapture log;
    std::string response;
    EXPECT_EQ(m_http.uploadRequest(Url("/client/uploadTavrelLogs"), {}, {{"a", "1"}}, response, &m_quick,
                                   m_terminated),
              0);
    std::vector<CapturedLine> lines = log.Lines();
    ASSERT_EQ(lines.size(), 3u);
    for (const CapturedLine& line : lines) {
        EXPECT_EQ(line.level, LogLevel::Info);
        EXPECT_EQ(line.routine, "zuli::nio::HttpProvider::uploadRequest");
    }
    EXPECT_EQ(lines[0].text, "【HttpProvider::uploadRequest::curl_easy_perform】 res:0");
    EXPECT_EQ(lines[1].text, "【HttpProvider::uploadRequest::curl_easy_perform】最终返回，res:0,tryCnt:0,m_bIsTerminated:0");
    EXPECT_EQ(lines[2].text, "【HttpProvider::uploadRequest::curl_easy_getinfo】返回，res:0,code:200");
}

TEST_F(HttpProviderTest, UploadLogsEachFailedAttempt) {
    m_room.Fault(R"({"route":"uploadTavrelLogs","kind":"close"})");
    LogCapture log;
    std::string response;
    EXPECT_EQ(m_http.uploadRequest(Url("/client/uploadTavrelLogs"), {}, {{"a", "1"}}, response, &m_quick,
                                   m_terminated),
              52);
    EXPECT_EQ(log.Count("【HttpProvider::uploadRequest::curl_easy_perform】 res:52"), 3u);
    EXPECT_EQ(log.Count("【HttpProvider::uploadRequest::curl_easy_perform】最终返回，res:52,tryCnt:3,m_bIsTerminated:0"),
              1u);
    EXPECT_EQ(log.Count("curl_easy_getinfo"), 0u) << "no status query after a failed transfer";
}

TEST_F(HttpProviderTest, DownloadWritesTheServedBytes) {
    Json::Value served = m_room.Answer(R"({"route":"downloadModule","bytes":{"size":300000,"seed":11}})");
    TempFolder folder;
    std::string path = folder / "m.upk";
    FILE* file = std::fopen(path.c_str(), "wb+");
    ASSERT_NE(file, nullptr);
    LogCapture log;
    RequestOptions o = Options(60, 30, 3);
    EXPECT_EQ(m_http.downloadRequest(Url("/client/downloadModule"), file, &o), 0);
    std::fclose(file);
    EXPECT_EQ(ToLowerAscii(GetFileMd5(path)), served["md5"].asString());
    EXPECT_TRUE(log.Contains(LogLevel::Info, "【HttpProvider::downloadRequest::curl_easy_perform】 res:0"));
    EXPECT_FALSE(log.Contains(LogLevel::Error, "code:"));
}

TEST_F(HttpProviderTest, GzipEncodedDownloadIsDecodedOnReceipt) {
    Json::Value served = m_room.Answer(R"({"route":"downloadModule","bytes":{"size":200000,"seed":5},"gzip":true})");
    TempFolder folder;
    std::string path = folder / "m.upk";
    FILE* file = std::fopen(path.c_str(), "wb+");
    ASSERT_NE(file, nullptr);
    RequestOptions o = Options(60, 30, 3);
    EXPECT_EQ(m_http.downloadRequest(Url("/client/downloadModule"), file, &o), 0);
    std::fclose(file);
    std::vector<Json::Value> seen = m_room.RouteRequests("downloadModule");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0]["response"]["gzip"].asBool()) << "the server sent it compressed";
    EXPECT_EQ(ToLowerAscii(GetFileMd5(path)), served["md5"].asString());
}

TEST_F(HttpProviderTest, RedirectIsNotFollowedAndFailsTheDownload) {
    m_room.Fault(R"({"route":"downloadModule","kind":"redirect","status":302})");
    TempFolder folder;
    FILE* file = std::fopen((folder / "m.upk").c_str(), "wb+");
    ASSERT_NE(file, nullptr);
    LogCapture log;
    RequestOptions o = Options(5, 5, 3);
    EXPECT_EQ(m_http.downloadRequest(Url("/client/downloadModule"), file, &o), 302);
    std::fclose(file);
    EXPECT_TRUE(log.Contains(LogLevel::Error, "【HttpProvider::downloadRequest::curl_easy_getinfo】 code:302"));
    std::vector<Json::Value> all = m_room.AllRequests();
    ASSERT_EQ(all.size(), 1u) << "the redirect's target was never asked for";
    EXPECT_FALSE(all[0]["redirected"].asBool());
}

TEST_F(HttpProviderTest, DownloadErrorStatusFailsWithCode22) {
    m_room.Fault(R"({"route":"downloadModule","kind":"status","status":404})");
    TempFolder folder;
    std::string path = folder / "m.upk";
    FILE* file = std::fopen(path.c_str(), "wb+");
    ASSERT_NE(file, nullptr);
    LogCapture log;
    RequestOptions o = Options(5, 5, 3);
    EXPECT_EQ(m_http.downloadRequest(Url("/client/downloadModule"), file, &o), 22);
    std::fclose(file);
    EXPECT_EQ(m_room.RouteRequests("downloadModule").size(), 1u) << "downloads are not retried";
    EXPECT_TRUE(log.Contains(LogLevel::Info, "【HttpProvider::downloadRequest::curl_easy_perform】 res:22"));
    EXPECT_TRUE(log.Contains(LogLevel::Error, "【HttpProvider::downloadRequest::curl_easy_getinfo】 code:404"));
    EXPECT_EQ(ReadFileBytes(path), "") << "the error page is not written into the file";
}

TEST_F(HttpProviderTest, DownloadIntoAFileThatIsNotOpenFailsAndFetchesNothing) {
    LogCapture log;
    RequestOptions o = Options(5, 5, 3);
    int result = m_http.downloadRequest(Url("/client/downloadModule"), nullptr, &o);
    EXPECT_NE(result, 0);
    EXPECT_LT(result, 100);
    EXPECT_TRUE(m_room.RouteRequests("downloadModule").empty());
    EXPECT_TRUE(log.Contains(LogLevel::Error, "res:"));
}

TEST_F(HttpProviderTest, DownloadCutInTheMiddleFails) {
    m_room.Fault(R"({"route":"downloadModule","kind":"cut","bytes":1000})");
    TempFolder folder;
    std::string path = folder / "m.upk";
    FILE* file = std::fopen(path.c_str(), "wb+");
    ASSERT_NE(file, nullptr);
    RequestOptions o = Options(5, 5, 3);
    EXPECT_EQ(m_http.downloadRequest(Url("/client/downloadModule"), file, &o), 18);  // CURLE_PARTIAL_FILE
    std::fclose(file);
}

// A server that streams without end is cut off at the cap with curl's write error, even under the uploads'
// generous 30-second limits; an answer of exactly the cap is still taken.
TEST_F(HttpProviderTest, TextAnswersStopAtTheCap) {
    m_room.Fault(R"({"route":"uploadTavrelLogs","kind":"endless","count":1})");
    RequestOptions upload = Options(30, 5, 1);
    std::string response;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(m_http.uploadRequest(Url("/client/uploadTavrelLogs"), {}, {{"a", "1"}}, response, &upload, m_terminated), 23);
    EXPECT_LT(SecondsSince(start), 10.0) << "ended by the cap, not by a time limit";
    EXPECT_LE(response.size(), static_cast<size_t>(zuli::nio::kTextCap));

    const size_t cap = static_cast<size_t>(zuli::nio::kTextCap);
    m_room.SetRawAnswer("getVersionInfo", std::string(cap, 'a'));
    response.clear();
    EXPECT_EQ(m_http.getRequest(Url("/client/getVersionInfo"), response, &m_quick, m_terminated), 0);
    EXPECT_EQ(response.size(), cap);
    m_room.SetRawAnswer("getVersionInfo", std::string(cap + 1, 'a'));
    EXPECT_EQ(m_http.getRequest(Url("/client/getVersionInfo"), response, &m_quick, m_terminated), 23);
}

TEST_F(HttpProviderTest, EndlessDownloadStopsAtItsCap) {
    m_room.Fault(R"({"route":"downloadModule","kind":"endless"})");
    TempFolder folder;
    std::string path = folder / "m.upk";
    FILE* file = std::fopen(path.c_str(), "wb+");
    ASSERT_NE(file, nullptr);
    RequestOptions o = Options(60, 30, 3);
    o.maxBytes = 100000;
    EXPECT_EQ(m_http.downloadRequest(Url("/client/downloadModule"), file, &o), 23);
    std::fclose(file);
    EXPECT_LE(ReadFileBytes(path).size(), 100000u);
}

TEST_F(HttpProviderTest, StalledDownloadEndsAfterTheStallTime) {
    // 300 bytes a second is below a limit of 1 KiB/s; the whole-transfer limit is far away.
    m_room.Answer(R"({"route":"downloadModule","bytes":{"size":200000,"seed":4}})");
    m_room.Fault(R"({"route":"downloadModule","kind":"throttle","bytesPerSecond":300})");
    TempFolder folder;
    FILE* file = std::fopen((folder / "m.upk").c_str(), "wb+");
    ASSERT_NE(file, nullptr);
    RequestOptions o = Options(600, 5, 1);
    o.lowSpeedBytes = 1024;
    o.lowSpeedSeconds = 2;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(m_http.downloadRequest(Url("/client/downloadModule"), file, &o), 28);  // CURLE_OPERATION_TIMEDOUT
    std::fclose(file);
    double elapsed = SecondsSince(start);
    EXPECT_GE(elapsed, 1.5);
    EXPECT_LT(elapsed, 8.0);
}

// Only a 206 that begins where the file ends continues it.
TEST(ContinuesFile, OnlyA206FromTheFilesEnd) {
    struct Row {
        long status;
        const char* contentRange;
        long long have;
        bool continues;
    } rows[] = {
        {206, "bytes 1000-4999/5000", 1000, true},
        {206, "BYTES 1000-4999/*", 1000, true},
        {206, "bytes 0-4999/5000", 1000, false},    // another range
        {206, "bytes 999-4999/5000", 1000, false},
        {206, "", 1000, false},
        {206, "bytes */5000", 1000, false},
        {206, "items 1000-4999/5000", 1000, false},
        {206, "bytes 1000x-4999/5000", 1000, false},
        {200, "bytes 1000-4999/5000", 1000, false},  // the whole, ranges ignored
        {416, "bytes */1000", 1000, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.status) + " " + row.contentRange);
        EXPECT_EQ(zuli::nio::ContinuesFile(row.status, row.contentRange, row.have), row.continues);
    }
}

// A slow link is no failure when the whole transfer has no limit: 150 kB at 100 kB/s under a limit of 1 s.
TEST_F(HttpProviderTest, DownloadWithoutOverallLimitOutlastsTheTimeout) {
    Json::Value served = m_room.Answer(R"({"route":"downloadModule","bytes":{"size":150000,"seed":12}})");
    TempFolder folder;
    std::string path = folder / "m.upk";
    for (bool unlimited : {false, true}) {
        SCOPED_TRACE(unlimited);
        m_room.Fault(R"({"route":"downloadModule","kind":"throttle","bytesPerSecond":100000,"count":1})");
        FILE* file = std::fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        RequestOptions o = Options(1, 5, 1);
        o.noOverallLimit = unlimited;
        EXPECT_EQ(m_http.downloadRequest(Url("/client/downloadModule"), file, &o), unlimited ? 0 : 28);
        std::fclose(file);
    }
    EXPECT_EQ(ToLowerAscii(GetFileMd5(path)), served["md5"].asString());
}

TEST_F(HttpProviderTest, DownloadIntoAStreamThatCannotBeWrittenFails) {
    TempFolder folder;
    std::string path = folder / "m.upk";
    ASSERT_TRUE(WriteFileBytes(path, "old"));
    FILE* file = std::fopen(path.c_str(), "rb");  // open, but not for writing
    ASSERT_NE(file, nullptr);
    RequestOptions o = Options(60, 30, 3);
    EXPECT_EQ(m_http.downloadRequest(Url("/client/downloadModule"), file, &o), 23);
    std::fclose(file);
    EXPECT_EQ(ReadFileBytes(path), "old");
}

}  // namespace
}  // namespace tavrel::test
