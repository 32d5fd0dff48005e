#include "server/http_provider.h"

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "base/logger.h"
#include "base/shared_values.h"
#include "system/text.h"

void InitHttpTransport() {
    static std::once_flag once;
    std::call_once(once, [] {
        // OpenSSL's first set-up decides for the whole process: no configuration file is read, now or later,
        // whoever asks. One could load an engine or a provider into the elevated agent from a folder that
        // any user may create (OPENSSLDIR). libcurl sets OpenSSL up in its own global set-up, whatever the
        // scheme, so this comes first.
        uint64_t options = OPENSSL_INIT_NO_LOAD_CONFIG;
        // Plain HTTP needs no TLS: OpenSSL's tables of cipher and digest names and its error texts stay
        // unbuilt, and their pages untouched (they are a good part of an idle agent's memory).
        if (!SecureSchemeOf(SnapshotShared())) {
            options |= OPENSSL_INIT_NO_ADD_ALL_CIPHERS | OPENSSL_INIT_NO_ADD_ALL_DIGESTS |
                       OPENSSL_INIT_NO_LOAD_SSL_STRINGS | OPENSSL_INIT_NO_LOAD_CRYPTO_STRINGS;
        }
        OPENSSL_init_ssl(options, nullptr);
        curl_global_init(CURL_GLOBAL_ALL);
    });
}

namespace zuli::nio {

namespace {

const char kUploadSource[] = "zuli::nio::HttpProvider::uploadRequest";
const char kDownloadSource[] = "zuli::nio::HttpProvider::downloadRequest";
const char kPostSource[] = "zuli::nio::HttpProvider::postRequest";
const char kGetSource[] = "zuli::nio::HttpProvider::getRequest";

// Where the text writer appends, and how much it may take.
struct TextSink {
    std::string* text;
    unsigned long long cap;
};

// Anything but the byte count makes libcurl abort with a write error.
size_t WriteToText(char* data, size_t size, size_t count, void* target) {
    TextSink* sink = static_cast<TextSink*>(target);
    if (!data || !sink || !sink->text) return static_cast<size_t>(-1);
    size_t bytes = size * count;
    if (sink->text->size() + bytes > sink->cap) return 0;
    sink->text->append(data, bytes);
    return bytes;
}

constexpr long kDownloadBufferBytes = 512L * 1024;

struct FileSink {
    FILE* file;
    unsigned long long written;
    unsigned long long cap;
};

size_t WriteToFile(char* data, size_t size, size_t count, void* target) {
    FileSink* sink = static_cast<FileSink*>(target);
    if (std::ferror(sink->file)) return 0x10000000;
    unsigned long long bytes = static_cast<unsigned long long>(size) * count;
    if (sink->written + bytes > sink->cap) return 0;
    sink->written += bytes;
    return std::fwrite(data, size, count, sink->file);
}

unsigned long long CapOf(const RequestOptions& o, long long fallback) {
    return static_cast<unsigned long long>(o.maxBytes > 0 ? o.maxBytes : fallback);
}

// A refused certificate shows only as a number in the callers' lines; the reason goes to the log file here
// (information level: error lines reach only the standard error stream, which nobody reads on a room PC).
bool IsTlsFailure(CURLcode res) {
    return res == CURLE_SSL_CONNECT_ERROR || res == CURLE_PEER_FAILED_VERIFICATION || res == CURLE_SSL_CACERT_BADFILE ||
           res == CURLE_SSL_CERTPROBLEM || res == CURLE_SSL_CIPHER || res == CURLE_SSL_ISSUER_ERROR ||
           res == CURLE_SSL_PINNEDPUBKEYNOTMATCH || res == CURLE_SSL_INVALIDCERTSTATUS;
}

struct ErrorText {
    char text[CURL_ERROR_SIZE] = {};
};

void LogTlsFailure(const char* source, const std::string& url, CURLcode res, const ErrorText& error) {
    if (!IsTlsFailure(res)) return;
    LogInfo(source) << "TLS refused " << url << " res:" << res << " " << error.text;
}

int KeepGoing(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) { return 0; }

// libcurl calls this at least once a second, also while nothing arrives; non-zero ends the transfer.
int GoOnUnlessStopped(void* flag, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::atomic<bool>*>(flag)->load() ? 1 : 0;
}

struct EasyDeleter {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct FormDeleter {
    void operator()(curl_httppost* form) const { curl_formfree(form); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;
using Form = std::unique_ptr<curl_httppost, FormDeleter>;

Easy MakeEasy() {
    InitHttpTransport();
    return Easy(curl_easy_init());
}

HeaderList MakeHeaders(std::initializer_list<const char*> lines) {
    curl_slist* list = nullptr;
    for (const char* line : lines) {
        curl_slist* grown = curl_slist_append(list, line);
        if (!grown) break;
        list = grown;
    }
    return HeaderList(list);
}

long OrDefault(int seconds) { return seconds > 0 ? seconds : 30; }

void ApplyCommonOptions(CURL* curl, const RequestOptions& o) {
    if (o.caInfo) {
        // That CA alone: no system store beside it, the host name checked, nothing older than TLS 1.2.
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
        curl_easy_setopt(curl, CURLOPT_CAINFO, o.caInfo);
        curl_easy_setopt(curl, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
        curl_easy_setopt(curl, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    } else {
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, OrDefault(o.connectTimeout));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, o.noOverallLimit ? 0L : OrDefault(o.timeout));
    curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
    if (o.stop) {
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, GoOnUnlessStopped);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(o.stop));
    }
    if (o.lowSpeedBytes > 0 && o.lowSpeedSeconds > 0) {
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, static_cast<long>(o.lowSpeedBytes));
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(o.lowSpeedSeconds));
    }
}

// What the headers of a continuing download said; the body is written only once they said "the rest".
struct RangeAnswer {
    long long have = 0;
    long status = 0;
    std::string contentRange;
    bool encoded = false;
    bool refused = false;
};

std::string TrimmedField(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Decides at the blank line that ends the final answer's headers, before libcurl hands over a byte of its
// body: a refusal ends the transfer there.
size_t ReadRangeHeader(char* data, size_t size, size_t count, void* target) {
    RangeAnswer* answer = static_cast<RangeAnswer*>(target);
    size_t bytes = size * count;
    std::string line = TrimmedField(std::string(data, bytes));
    std::string lower = ToLowerAscii(line);
    auto value = [&](const char* name) { return TrimmedField(line.substr(std::string(name).size())); };
    if (lower.compare(0, 5, "http/") == 0) {
        long long have = answer->have;
        *answer = RangeAnswer();
        answer->have = have;
        size_t blank = line.find(' ');
        if (blank != std::string::npos) answer->status = std::strtol(line.c_str() + blank + 1, nullptr, 10);
    } else if (lower.compare(0, 14, "content-range:") == 0) {
        answer->contentRange = value("content-range:");
    } else if (lower.compare(0, 17, "content-encoding:") == 0) {
        // Ranges of a coded body count its coded bytes, not the file's.
        answer->encoded = ToLowerAscii(value("content-encoding:")) != "identity";
    } else if (line.empty() && answer->status >= 200 && (answer->status < 400 || answer->status == 416)) {
        // An error status is the server's failure, not an answer about the range: it fails the transfer as
        // any download's would, and the file stays to be continued.
        answer->refused = answer->encoded || !ContinuesFile(answer->status, answer->contentRange, answer->have);
        if (answer->refused) return 0;
    }
    return bytes;
}

// Every attempt writes into a fresh buffer: bytes of a failed attempt must not end up in front of the answer
// of the next one. Only the last attempt's bytes reach the caller.
int PerformWithRetries(CURL* curl, const std::string& url, std::string& response, const RequestOptions& o,
                       const std::atomic<bool>& bIsTerminated, bool logUpload, const char* source) {
    ErrorText error;
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error.text);
    std::string received;
    TextSink sink{&received, CapOf(o, kTextCap)};
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteToText);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    int tryCnt = 0;
    CURLcode res = CURLE_OK;
    for (;;) {
        received.clear();
        res = curl_easy_perform(curl);
        if (logUpload) LogInfo(kUploadSource) << "【HttpProvider::uploadRequest::curl_easy_perform】 res:" << res;
        if (res == CURLE_OK) break;
        ++tryCnt;
        if (tryCnt >= o.attempts || bIsTerminated || (o.stop && *o.stop)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    }
    if (logUpload) {
        LogInfo(kUploadSource) << "【HttpProvider::uploadRequest::curl_easy_perform】最终返回，res:" << res
                               << ",tryCnt:" << tryCnt << ",m_bIsTerminated:" << (bIsTerminated ? 1 : 0);
    }
    response.append(received);
    LogTlsFailure(source, url, res, error);
    if (res != CURLE_OK) return res;

    long code = 0;
    CURLcode info = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    if (logUpload) {
        LogInfo(kUploadSource) << "【HttpProvider::uploadRequest::curl_easy_getinfo】返回，res:" << info
                               << ",code:" << code;
    }
    if (info != CURLE_OK) return info;
    if (code != 200) return static_cast<int>(code);
    return kHttpOk;
}

const RequestOptions& OptionsOrDefault(const RequestOptions* options) {
    static const RequestOptions defaults;
    return options ? *options : defaults;
}

}  // namespace

bool ContinuesFile(long status, const std::string& contentRange, long long have) {
    if (status != 206) return false;
    std::string range = ToLowerAscii(contentRange);
    if (range.compare(0, 6, "bytes ") != 0) return false;
    size_t dash = range.find('-', 6);
    if (dash == std::string::npos || dash == 6) return false;
    std::string first = range.substr(6, dash - 6);
    if (first.find_first_not_of("0123456789") != std::string::npos || first.size() > 18) return false;
    return std::stoll(first) == have;
}

int HttpProvider::postRequest(const std::string& url, const std::string& body, std::string& response,
                              const RequestOptions* options, const std::atomic<bool>& bIsTerminated) {
    Easy curl = MakeEasy();
    if (!curl) return kHttpNoHandle;
    const RequestOptions& o = OptionsOrDefault(options);
    HeaderList headers = MakeHeaders({"Client-Name:Mova-agent", "Content-Type:application/json;charset=UTF-8"});
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl.get(), CURLOPT_POST, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_HTTPPOST, static_cast<curl_httppost*>(nullptr));
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    ApplyCommonOptions(curl.get(), o);
    return PerformWithRetries(curl.get(), url, response, o, bIsTerminated, false, kPostSource);
}

int HttpProvider::getRequest(const std::string& url, std::string& response, const RequestOptions* options,
                             const std::atomic<bool>& bIsTerminated) {
    Easy curl = MakeEasy();
    if (!curl) return kHttpNoHandle;
    const RequestOptions& o = OptionsOrDefault(options);
    HeaderList headers = MakeHeaders({"Client-Name:Mova-agent"});
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl.get(), CURLOPT_READFUNCTION, static_cast<curl_read_callback>(nullptr));
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    ApplyCommonOptions(curl.get(), o);
    return PerformWithRetries(curl.get(), url, response, o, bIsTerminated, false, kGetSource);
}

int HttpProvider::uploadRequest(const std::string& url, const FieldMap& fileFields, const FieldMap& textFields,
                                std::string& response, const RequestOptions* options,
                                const std::atomic<bool>& bIsTerminated) {
    return uploadRequest(url, fileFields, BytesMap(), textFields, response, options, bIsTerminated);
}

int HttpProvider::uploadRequest(const std::string& url, const FieldMap& fileFields, const BytesMap& byteFields,
                                const FieldMap& textFields, std::string& response, const RequestOptions* options,
                                const std::atomic<bool>& bIsTerminated) {
    Easy curl = MakeEasy();
    if (!curl) return kHttpNoHandle;
    const RequestOptions& o = OptionsOrDefault(options);
    curl_httppost* first = nullptr;
    curl_httppost* last = nullptr;
    for (const auto& [name, value] : textFields) {
        curl_formadd(&first, &last, CURLFORM_COPYNAME, name.c_str(), CURLFORM_COPYCONTENTS, value.c_str(),
                     CURLFORM_END);
    }
    for (const auto& [name, path] : fileFields) {
        curl_formadd(&first, &last, CURLFORM_COPYNAME, name.c_str(), CURLFORM_FILE, path.c_str(), CURLFORM_END);
    }
    for (const auto& [name, part] : byteFields) {
        curl_formadd(&first, &last, CURLFORM_COPYNAME, name.c_str(), CURLFORM_BUFFER, part.fileName.c_str(),
                     CURLFORM_BUFFERPTR, part.bytes.data(), CURLFORM_BUFFERLENGTH,
                     static_cast<long>(part.bytes.size()), CURLFORM_END);
    }
    Form form(first);
    HeaderList headers = MakeHeaders({"Client-Name:Mova-agent"});
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl.get(), CURLOPT_HTTPPOST, form.get());
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    ApplyCommonOptions(curl.get(), o);
    return PerformWithRetries(curl.get(), url, response, o, bIsTerminated, true, kUploadSource);
}

int HttpProvider::downloadRequest(const std::string& url, FILE* file, const RequestOptions* options, long long have) {
    // A target that could not be opened is never handed to the file writer: nothing is fetched for it.
    if (!file) {
        LogError(kDownloadSource) << "【HttpProvider::downloadRequest】 file not open, res:" << CURLE_WRITE_ERROR;
        return CURLE_WRITE_ERROR;
    }
    Easy curl = MakeEasy();
    if (!curl) return kHttpNoHandle;
    const RequestOptions& o = OptionsOrDefault(options);
    HeaderList headers = MakeHeaders({"Accept-Encoding:gzip", "Client-Name:kelm-agent"});
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl.get(), CURLOPT_READFUNCTION, static_cast<curl_read_callback>(nullptr));
    FileSink sink{file, have > 0 ? static_cast<unsigned long long>(have) : 0, CapOf(o, kDownloadCap)};
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, WriteToFile);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &sink);
    // A module is hundreds of megabytes: taken from the socket and written in pieces of 512 KiB rather than
    // libcurl's 16 KiB, a thirty-second of the calls for the same bytes.
    curl_easy_setopt(curl.get(), CURLOPT_BUFFERSIZE, kDownloadBufferBytes);
    // A download announced larger than the cap is refused before a byte reaches the disk.
    curl_easy_setopt(curl.get(), CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(sink.cap > sink.written ? sink.cap - sink.written : 0));
    RangeAnswer range;
    range.have = have;
    std::string rangeText = std::to_string(have) + "-";
    if (have > 0) {
        curl_easy_setopt(curl.get(), CURLOPT_RANGE, rangeText.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_HEADERFUNCTION, ReadRangeHeader);
        curl_easy_setopt(curl.get(), CURLOPT_HEADERDATA, &range);
    }
    curl_easy_setopt(curl.get(), CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl.get(), CURLOPT_XFERINFOFUNCTION, KeepGoing);
    curl_easy_setopt(curl.get(), CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    ApplyCommonOptions(curl.get(), o);
    ErrorText error;
    curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, error.text);

    CURLcode res = curl_easy_perform(curl.get());
    LogTlsFailure(kDownloadSource, url, res, error);
    // Bytes still in the stream's buffer are part of the file: a full disk often shows only here.
    if (res == CURLE_OK && (std::fflush(file) != 0 || std::ferror(file))) res = CURLE_WRITE_ERROR;
    LogInfo(kDownloadSource) << "【HttpProvider::downloadRequest::curl_easy_perform】 res:" << res;
    long code = 0;
    bool answered = curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &code) == CURLE_OK;
    // A 416 fails before its headers end (it is an error status), and is a refusal all the same.
    if (have > 0 && (range.refused || (answered && code == 416))) {
        LogInfo(kDownloadSource) << "【HttpProvider::downloadRequest】 range " << rangeText << " refused, code:" << code
                                 << " Content-Range:" << range.contentRange;
        return kHttpRangeRefused;
    }
    long expected = have > 0 ? 206 : 200;
    if (answered && code != expected) {
        LogError(kDownloadSource) << "【HttpProvider::downloadRequest::curl_easy_getinfo】 code:" << code;
        if (res == CURLE_OK && code >= 100) return static_cast<int>(code);
    }
    return res;
}

}  // namespace zuli::nio
