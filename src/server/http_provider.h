#pragma once
// The agent's only HTTP client: four blocking operations over libcurl's easy interface. Each call makes its
// own handle, header list and form and frees them before it returns, so calls on several threads share
// nothing.
#include <atomic>
#include <cstdio>
#include <map>
#include <string>

namespace zuli::nio {

// Owned by the caller; the CA path must outlive the call.
struct RequestOptions {
    const char* caInfo = nullptr;       // also switches peer verification on
    int timeout = 0;                    // seconds for the whole transfer; 0 or less means 30
    // No limit on the whole transfer at all (timeout is not used): a download of hundreds of megabytes over a
    // shared link ends when it stalls or is stopped, never because it is slow.
    bool noOverallLimit = false;
    int connectTimeout = 0;             // seconds; 0 or less means 30
    int attempts = 0;                   // transfers tried by the retrying operations; 1 or less means one
    // A transfer slower than lowSpeedBytes per second for lowSpeedSeconds ends with CURLE_OPERATION_TIMEDOUT;
    // either 0 or less means no such limit.
    int lowSpeedBytes = 0;
    int lowSpeedSeconds = 0;
    // Most bytes an answer may bring; 0 or less means kTextCap for the text operations, kDownloadCap for a
    // download. A larger answer ends the transfer with curl's write error (23); a download announced larger
    // than that ends at once with CURLE_FILESIZE_EXCEEDED (63).
    long long maxBytes = 0;
    // When given, a transfer under way ends within about a second of this flag rising
    // (CURLE_ABORTED_BY_CALLBACK, 42), and no further attempt is made.
    const std::atomic<bool>* stop = nullptr;
};

// Result codes: 0 success, 2 no easy handle, other values below 100 a CURLcode, 100 and above an HTTP
// status other than 200.
enum : int {
    kHttpOk = 0,
    kHttpNoHandle = 2,
    kHttpRangeRefused = 33,  // curl's range error: the answer did not continue the file (see downloadRequest)
};

// True for the answer that continues a file of `have` bytes: a 206 whose Content-Range ("bytes N-M/T")
// begins at exactly `have`.
bool ContinuesFile(long status, const std::string& contentRange, long long have);

// A server streaming without end must not fill the agent's memory (texts) or disk (downloads).
constexpr long long kTextCap = 1LL << 20;
constexpr long long kDownloadCap = 4LL << 30;

class HttpProvider {
public:
    using FieldMap = std::map<std::string, std::string>;

    // The answer of the last attempt is appended to response; the terminate flag is read between attempts.
    int postRequest(const std::string& url, const std::string& body, std::string& response,
                    const RequestOptions* options, const std::atomic<bool>& bIsTerminated);
    int getRequest(const std::string& url, std::string& response, const RequestOptions* options,
                   const std::atomic<bool>& bIsTerminated);
    // Text fields go out before file fields, each map in ascending key order.
    int uploadRequest(const std::string& url, const FieldMap& fileFields, const FieldMap& textFields,
                      std::string& response, const RequestOptions* options, const std::atomic<bool>& bIsTerminated);
    // The same, with file parts whose bytes are given (name -> file name and bytes) instead of read from a
    // path: every attempt sends these very bytes. They go out after the path fields.
    struct FilePart {
        std::string fileName;
        std::string bytes;
    };
    using BytesMap = std::map<std::string, FilePart>;
    int uploadRequest(const std::string& url, const FieldMap& fileFields, const BytesMap& byteFields,
                      const FieldMap& textFields, std::string& response, const RequestOptions* options,
                      const std::atomic<bool>& bIsTerminated);
    // One transfer into a stream the caller opened and closes; no retry. A completed transfer whose status is
    // not 200 returns that status: a redirect's or an error's body is never the file that was asked for.
    // With `have` > 0 the file already holds the first `have` bytes and the stream appends: only the rest is
    // asked for ("Range: bytes=<have>-"), and only an answer that ContinuesFile, in no content coding, is
    // written; any other (200, another range, 416) ends the transfer before a byte is written, with
    // kHttpRangeRefused.
    int downloadRequest(const std::string& url, FILE* file, const RequestOptions* options, long long have = 0);
};

}  // namespace zuli::nio

// OpenSSL's and libcurl's process-wide set-up, done once, for the scheme the shared values name then (TLS
// only for https; no OpenSSL configuration ever). The operations call it themselves; start-up calls it once
// the configuration is read and before any thread could race another into it.
void InitHttpTransport();
