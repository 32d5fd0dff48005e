#include <atomic>
#include <cstdio>
#include <ctime>

#include "base/shared_values.h"
#include "base/install_layout.h"
#include "base/logger.h"
#include "server/http_provider.h"
#include "server/server_answers.h"
#include "server/server_api.h"
#include "system/clock.h"
#include "system/file.h"
#include "system/text.h"

namespace {

using zuli::nio::HttpProvider;
using zuli::nio::RequestOptions;

// curl's write error, for a close that failed after a transfer curl saw through.
const int kWriteError = 23;

const char kNetworkTrouble[] = "服务异常，请检测网络连接！";

RequestOptions Limits(int timeout, int connectTimeout, int attempts) {
    RequestOptions options;
    options.timeout = timeout;
    options.connectTimeout = connectTimeout;
    options.attempts = attempts;
    return options;
}

// Most calls answer a pass of the service loop and must not hold it up for long.
const RequestOptions kQuick = Limits(1, 1, 3);
const RequestOptions kUpload = Limits(30, 5, 3);

// An installer of tens of megabytes shared by a whole room over one link takes minutes: the transfer ends
// when it stalls (under 1 KiB/s for 30 s) or after half an hour, never after a fixed few seconds.
RequestOptions InstallerLimits() {
    RequestOptions options = Limits(30 * 60, 5, 3);
    options.lowSpeedBytes = 1024;
    options.lowSpeedSeconds = 30;
    return options;
}

// A module package of hundreds of megabytes over a link a room shares takes as long as the link needs: 300 PCs
// x 512 MB is some 21 minutes at a full 1 Gb/s. Only a stall or the agent's stop ends it, and what arrived
// stays to be continued.
RequestOptions ModuleLimits() {
    RequestOptions options = InstallerLimits();
    options.connectTimeout = 30;
    options.noOverallLimit = true;
    return options;
}

// curl's "maximum file size exceeded": the server announced more than the cap.
const int kFileTooLarge = 63;

// A transfer that ended with the file's own bytes in the part (cut, stalled, stopped, an error status that
// wrote nothing) can be continued; a write error or an oversized answer cannot, nor a status whose body was
// written (a redirect's).
bool PartStaysGood(int result) { return result > 0 && result < 100 && result != kWriteError && result != kFileTooLarge; }

// An answer file is read once, at most this much, and those bytes go out with their digest on every attempt.
const unsigned long long kAnswerCap = 64ULL << 20;
// The exam client's log of one run: a few MB at most; more is no log.
const unsigned long long kExamLogCap = 16ULL << 20;

std::string Url(const ServerEndpoint& server, const char* path) { return BaseUrlOf(server) + path; }

// With Scheme=https every call names the one CA; a configuration that cannot be kept sends nothing at all.
const int kNoTrustedTransport = 77;  // curl's "problem with the CA file", as no transfer was tried

// The options point into server, which the caller holds for the whole call.
struct Trusted {
    RequestOptions options;
    bool ready;
    Trusted(const ServerEndpoint& server, const RequestOptions& base) : options(base), ready(TransportReady(server)) {
        if (!server.trust.caPath.empty()) options.caInfo = server.trust.caPath.c_str();
    }
    Trusted(const Trusted&) = delete;
};

int Get(const ServerEndpoint& server, const char* path, std::string& response, const RequestOptions& options) {
    Trusted trusted(server, options);
    if (!trusted.ready) return kNoTrustedTransport;
    std::atomic<bool> terminated{false};
    return HttpProvider().getRequest(Url(server, path), response, &trusted.options, terminated);
}

const std::atomic<bool>& FlagOrNever(const std::atomic<bool>* terminated) {
    static const std::atomic<bool> never{false};
    return terminated ? *terminated : never;
}

int Post(const ServerEndpoint& server, const char* path, const std::string& body, std::string& response,
         const std::atomic<bool>* terminated = nullptr) {
    Trusted trusted(server, kQuick);
    if (!trusted.ready) return kNoTrustedTransport;
    return HttpProvider().postRequest(Url(server, path), body, response, &trusted.options, FlagOrNever(terminated));
}

int Upload(const ServerEndpoint& server, const char* path, const HttpProvider::FieldMap& files,
           const HttpProvider::FieldMap& texts, std::string& response, const std::atomic<bool>* terminated = nullptr,
           const HttpProvider::BytesMap& byteFiles = HttpProvider::BytesMap()) {
    Trusted trusted(server, kUpload);
    if (!trusted.ready) return kNoTrustedTransport;
    // The flag that ends the retries also ends the transfer under way: shutdown waits for no upload.
    trusted.options.stop = terminated;
    return HttpProvider().uploadRequest(Url(server, path), files, byteFiles, texts, response, &trusted.options,
                                        FlagOrNever(terminated));
}

// What a reading call writes besides its error lines.
enum AnswerLines : unsigned {
    kErrorLinesOnly = 0,
    kAnswerLine = 1,        // "<call>:" + the answer, once it arrived
    kAnswerLineInAnsi = 2,  // the same, the answer turned into the ANSI code page
    kQuietOnNotJson = 4,    // the version check, asked every pass, says nothing of an answer that is no JSON
};

// The one ladder of the calls that read their answer: a failed transfer, an answer that is no JSON and a
// member of the wrong type (which fails the call rather than throwing out of it) each end the call with
// their own error line. decode runs only on an answer that arrived; true with its "code" in *code.
template <class Decode>
bool ReadAnswer(const char* call, unsigned lines, int result, const std::string& response, Decode decode,
                int* code) {
    if (result != 0) {
        LogError(call) << call << " Error[" << result << "]:" << response;
        return false;
    }
    if (lines & kAnswerLine) LogInfo(call) << call << ":" << response;
    if (lines & kAnswerLineInAnsi) LogInfo(call) << call << ":" << Utf8ToAnsi(response);
    AnswerStatus status = decode();
    if (status.error == AnswerError::NotJson) {
        if (!(lines & kQuietOnNotJson)) LogError(call) << call << " parse response error:" << response;
        return false;
    }
    if (status.error == AnswerError::WrongType) {
        LogError(call) << call << " response type error:" << response;
        return false;
    }
    *code = status.code;
    return true;
}

bool Download(const ServerEndpoint& server, const char* call, const char* path, const std::string& targetPath,
              const RequestOptions& options, const std::atomic<bool>* stop) {
    Trusted trusted(server, options);
    if (!trusted.ready) {
        LogError(call) << call << " Error[" << kNoTrustedTransport << "]";
        return false;
    }
    trusted.options.stop = stop;
    FILE* file = std::fopen(targetPath.c_str(), "wb+");
    int result = HttpProvider().downloadRequest(Url(server, path), file, &trusted.options);
    // A file that could not be closed was not written whole.
    if (file && std::fclose(file) != 0 && result == 0) result = kWriteError;
    if (result != 0) {
        LogError(call) << call << " Error[" << result << "]";
        return false;
    }
    return true;
}


}  // namespace

bool GetVersionInfo(const ServerEndpoint& server, std::string& serverVersion) {
    std::string response;
    int result = Get(server, "/client/getVersionInfo", response, kQuick);
    int code = 0;
    return ReadAnswer("GetVersionInfo", kQuietOnNotJson, result, response,
                      [&] { return DecodeTextData(response, serverVersion); }, &code) &&
           code == kCodeSuccess;
}

bool DownloadTavrelSetup(const ServerEndpoint& server, const std::string& targetPath, const std::atomic<bool>* stop) {
    return Download(server, "DownloadTavrelSetup", "/client/updateTavrel", targetPath, InstallerLimits(), stop);
}

bool DownloadExamModule(const ServerEndpoint& server, const std::string& targetPath, const std::atomic<bool>* stop) {
    const char* call = "DownloadExamModule";
    Trusted trusted(server, ModuleLimits());
    if (!trusted.ready) {
        LogError(call) << call << " Error[" << kNoTrustedTransport << "]";
        return false;
    }
    trusted.options.stop = stop;
    std::string url = Url(server, "/client/downloadModule");
    FileStamp part;
    long long have = GetFileStamp(targetPath, &part) && part.size > 0 ? part.size : 0;
    auto fetch = [&](long long from) {
        FILE* file = std::fopen(targetPath.c_str(), from > 0 ? "ab" : "wb");
        int result = HttpProvider().downloadRequest(url, file, &trusted.options, from);
        if (file && std::fclose(file) != 0 && result == 0) result = kWriteError;
        return result;
    };
    if (have > 0) LogInfo(call) << "续传" << targetPath << "，已有" << have << "字节";
    int result = fetch(have);
    bool refused = result == zuli::nio::kHttpRangeRefused;
    if (refused) {
        LogInfo(call) << "服务端未续传，从头下载：" << targetPath;
        result = fetch(0);
    }
    if (result == 0) return true;
    LogError(call) << call << " Error[" << result << "]";
    // A server that did not continue the part will not continue this one either: it would start over anyway.
    if (refused || !PartStaysGood(result)) RemoveFile(targetPath);
    return false;
}

bool GetStartupInfoAgent(const ServerEndpoint& server, const std::string& ip, const std::string& ecpKey,
                         ServiceStartupInfo& info) {
    std::string path = "/client/getStartupInfoAgent?ecpKey=" + ecpKey + "&ip=" + ip;
    std::string response;
    int result = Get(server, path.c_str(), response, kQuick);
    int code = 0;
    // The decoder takes the answer over whole or not at all.
    return ReadAnswer("GetStartupInfoAgent", kErrorLinesOnly, result, response,
                      [&] { return DecodeStartupInfo(response, info); }, &code) &&
           (code == kCodeSuccess || code == kCodeUnknownMachine);
}

bool RegisteTavrel(const ServerEndpoint& server, const std::string& ecpRoom, const std::string& ecpKey,
                   const std::string& ecpHostName, const std::string& ecpIp, std::string& ecpId) {
    // Each text is turned into UTF-8 before it is written into the body, so that no GBK trail byte can be
    // taken for a character the writer escapes.
    std::string body = StyledBody({
        {"ecpHostName", BodyText(AnsiToUtf8(ecpHostName))},
        {"ecpIp", BodyText(AnsiToUtf8(ecpIp))},
        {"ecpKey", BodyText(AnsiToUtf8(ecpKey))},
        {"ecpRoom", BodyText(AnsiToUtf8(ecpRoom))},
    });
    std::string response;
    int result = Post(server, "/client/registeTavrel", body, response);
    int code = 0;
    return ReadAnswer("RegisteTavrel", kAnswerLine, result, response,
                      [&] { return DecodeIntegerData(response, ecpId); }, &code) &&
           code == kCodeSuccess;
}

bool GetExamModuleInfo(const ServerEndpoint& server, std::string& md5) {
    std::string response;
    int result = Get(server, "/client/getModuleMD5", response, kQuick);
    int code = 0;
    return ReadAnswer("GetExamModuleInfo", kAnswerLine, result, response,
                      [&] { return DecodeTextData(response, md5); }, &code) &&
           code == kCodeSuccess;
}

bool ModifyEcpNo(const ServerEndpoint& server, const std::string& ecpKey, const std::string& ecpId,
                 std::string& message) {
    std::string body = StyledBody({{"ecpId", BodyText(ecpId)}, {"ecpKey", BodyText(ecpKey)}});
    std::string response;
    int result = Post(server, "/client/modifyTavrel", body, response);
    int code = 0;
    if (!ReadAnswer("ModifyEcpNo", kAnswerLineInAnsi, result, response,
                    [&] { return DecodeModifyAnswer(response, message); }, &code)) {
        message = kNetworkTrouble;
        return false;
    }
    return code == kCodeSuccess;
}

bool SendEcpState(const ServerEndpoint& server, const std::string& ecpKey, const std::string& ecpId,
                  const std::string& ecpIp, const std::string& ecpVersion, const std::string& ecpRoomCode, int status,
                  const std::atomic<bool>* terminated) {
    std::string body = StyledBody({
        {"ecpId", BodyText(ecpId)},
        {"ecpIp", BodyText(ecpIp)},
        {"ecpKey", BodyText(ecpKey)},
        {"ecpRoomCode", BodyText(ecpRoomCode)},
        {"ecpVersion", BodyText(ecpVersion)},
        {"message", BodyText("")},
        {"status", BodyInteger(status)},
    });
    std::string response;
    int result = Post(server, "/client/sendEcpState", body, response, terminated);
    if (result != 0) {
        LogError("SendEcpState") << "SendEcpState Error[" << result << "]:" << response;
        return false;
    }
    return true;
}

namespace {

// ExamData is written in the candidate's account, and a link planted there would have the elevated agent
// upload any file of the PC: the answer is opened through a handle that followed no link at its end and lies
// inside ExamData, or not at all (null). An answer too large to hold is copied through that handle into Temp
// (administrators' only), and the copy is what goes out, under the answer's name.
FILE* OpenAnswer(const std::string& filePath) {
    FILE* answer = OpenWithoutLinks(filePath, false);
    if (answer && !OpenFileIsInside(answer, ExamDataFolder(ReadShared(&SharedValues::ExeDir)))) {
        std::fclose(answer);
        return nullptr;
    }
    return answer;
}

// The whole answer, read once through such a handle, when it is no larger than maxBytes.
bool ReadAnswerUpTo(const std::string& filePath, unsigned long long maxBytes, std::string* bytes) {
    FILE* answer = OpenAnswer(filePath);
    if (!answer) return false;
    bool whole = ReadOpenFileUpTo(answer, maxBytes, bytes);
    std::fclose(answer);
    return whole;
}

std::string CopyAnswerForUpload(const std::string& filePath) {
    std::string exeDir = ReadShared(&SharedValues::ExeDir);
    FILE* answer = OpenAnswer(filePath);
    if (!answer) return std::string();
    std::string folder = AnswerCopyFolder(exeDir);
    CreateFolders(folder);
    std::string copyPath = folder + PathSeparator() + filePath.substr(filePath.find_last_of("/\\") + 1);
    FILE* copy = std::fopen(copyPath.c_str(), "wb");
    bool copied = copy != nullptr;
    char buffer[65536];
    for (size_t got; copied && (got = std::fread(buffer, 1, sizeof buffer, answer)) > 0;)
        copied = std::fwrite(buffer, 1, got, copy) == got;
    copied = copied && !std::ferror(answer);
    if (copy && std::fclose(copy) != 0) copied = false;
    std::fclose(answer);
    if (!copied) RemoveFile(copyPath);
    return copied ? copyPath : std::string();
}

}  // namespace

bool UploadExamAnswer(const ServerEndpoint& server, const std::string& taskId, const std::string& examineeId,
                      const std::string& batchNum, const std::string& filePath, const std::atomic<bool>* terminated) {
    HttpProvider::FieldMap texts{{"batchNum", batchNum}, {"examineeId", examineeId}, {"taskId", taskId}};
    HttpProvider::FieldMap files;
    HttpProvider::BytesMap byteFiles;
    HttpProvider::FilePart part;
    std::string copy;
    if (!FileExists(filePath)) {
        texts["checksum"] = "-1";
    } else if (ReadAnswerUpTo(filePath, kAnswerCap, &part.bytes)) {
        // A file still being written must not go out with the digest of other bytes than those sent.
        texts["checksum"] = ToLowerAscii(GetBytesMd5(part.bytes));
        part.fileName = filePath.substr(filePath.find_last_of(std::string("/") + PathSeparator()) + 1);
        byteFiles["file"] = std::move(part);
    } else {
        // Too large to hold, or refused: the copy in Temp is what goes out, with the digest of the copy.
        copy = CopyAnswerForUpload(filePath);
        if (copy.empty()) {
            LogInfo("UploadExamAnswer") << "答案文件不是ExamData下的普通文件，拒绝上传：" << filePath;
            return false;
        }
        texts["checksum"] = ToLowerAscii(GetFileMd5(copy));
        files["file"] = copy;
    }
    std::string response;
    int result = Upload(server, "/monitor/uploadRecoverAnswer", files, texts, response, terminated, byteFiles);
    if (!copy.empty()) RemoveFile(copy);
    LogInfo("UploadExamAnswer") << "UploadRecoverAnswer strResponse：" << response;
    if (result != 0) {
        LogError("UploadExamAnswer") << "UploadExamAnswer Error[" << result << "]:" << response;
        return false;
    }
    return true;
}

namespace {

// The exam client's log lies where the candidate may write: it is read as an answer is, through one handle
// that followed no link at its end and is a plain file with one name, and only up to a size the room's one
// server can take from every PC (a sparse terabyte costs a candidate nothing to make).
bool ReadExamClientLog(const std::string& filePath, std::string* bytes, bool* tooLarge) {
    *tooLarge = false;
    FILE* file = OpenWithoutLinks(filePath, false);
    if (!file) return false;
    bool whole = ReadOpenFileUpTo(file, kExamLogCap, bytes);
    if (!whole) *tooLarge = !std::ferror(file);
    std::fclose(file);
    return whole;
}

}  // namespace

bool UploadExamLog(const ServerEndpoint& server, const std::string& ecpKey, const std::string& ecpId,
                   const std::string& filePath) {
    std::tm now = LocalTimeOf(std::time(nullptr));
    HttpProvider::FieldMap texts{
        {"ecpId", ecpId},
        {"ecpKey", ecpKey},
        {"logName", LogUploadName(now.tm_year + 1900, now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min,
                                  now.tm_sec)},
    };
    HttpProvider::BytesMap byteFiles;
    HttpProvider::FilePart part;
    bool tooLarge = false;
    if (!ReadExamClientLog(filePath, &part.bytes, &tooLarge)) {
        if (tooLarge) LogInfo("UploadExamLog") << "考试机日志超过" << (kExamLogCap >> 20) << "MB，不上传：" << filePath;
        // 26: what libcurl answered for a file part it could not read.
        LogError("UploadExamLog") << "UploadExamLog Error[26]:" << filePath;
        return false;
    }
    part.fileName = filePath.substr(filePath.find_last_of(std::string("/") + PathSeparator()) + 1);
    byteFiles["file"] = std::move(part);
    std::string response;
    int result = Upload(server, "/client/uploadTavrelLogs", HttpProvider::FieldMap(), texts, response, nullptr, byteFiles);
    LogInfo("UploadExamLog") << "UploadExamLog strResponse：" << response;
    if (result != 0) {
        LogError("UploadExamLog") << "UploadExamLog Error[" << result << "]:" << response;
        return false;
    }
    return true;
}
