#include "room_server.h"

#include <curl/curl.h>

#include <cstdlib>
#include <memory>
#include <sstream>

namespace tavrel::test {
namespace {

size_t AppendToString(char* data, size_t size, size_t count, void* target)
{
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

std::string Compact(const Json::Value& value)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

bool ParseJson(const std::string& text, Json::Value& out, std::string& error)
{
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    return reader->parse(text.data(), text.data() + text.size(), &out, &error);
}

// host:port with a non-empty host and a port of 1 to 65535.
bool LooksLikeAddress(const std::string& address)
{
    const auto colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == address.size()) return false;
    long port = 0;
    for (size_t i = colon + 1; i < address.size(); ++i) {
        if (address[i] < '0' || address[i] > '9') return false;
        port = port * 10 + (address[i] - '0');
        if (port > 65535) return false;
    }
    return port > 0;
}

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

} // namespace

Target Target::Room(const std::string& room) { return {"room", room}; }
Target Target::Socket(const std::string& socketId) { return {"socket", socketId}; }
Target Target::Key(const std::string& ecpKey) { return {"ecpKey", ecpKey}; }
Target Target::All() { return {"all", ""}; }

Json::Value Target::ToJson() const
{
    Json::Value json(Json::objectValue);
    if (member == "all") json["all"] = true;
    else json[member] = value;
    return json;
}

RoomServer::RoomServer()
{
    const char* value = std::getenv(kEnvironmentVariable);
    if (value == nullptr || *value == '\0') {
        whyUnavailable_ = std::string(kEnvironmentVariable) +
                          " is not set: tests that need the exam-server peer must be run through "
                          "tests/with-room-server.sh";
        return;
    }
    address_ = value;
    if (!LooksLikeAddress(address_)) {
        whyUnavailable_ = std::string(kEnvironmentVariable) + "=\"" + address_ + "\" is not host:port";
        address_.clear();
    }
}

RoomServer::RoomServer(const std::string& controlAddress) : address_(controlAddress)
{
    if (!LooksLikeAddress(address_)) {
        whyUnavailable_ = "\"" + address_ + "\" is not host:port";
        address_.clear();
    }
}

bool RoomServer::Available() const { return !address_.empty(); }
const std::string& RoomServer::WhyUnavailable() const { return whyUnavailable_; }
const std::string& RoomServer::ControlAddress() const { return address_; }

std::string RoomServer::Host() const { return address_.substr(0, address_.rfind(':')); }

void RoomServer::LoadPorts()
{
    if (httpPort_ != 0) return;
    const Json::Value ports = Get("/ports");
    httpPort_ = ports["http"].asInt();
    socketPort_ = ports["socket"].asInt();
}

int RoomServer::HttpPort()
{
    LoadPorts();
    return httpPort_;
}

int RoomServer::SocketPort()
{
    LoadPorts();
    return socketPort_;
}

std::string RoomServer::BaseUrl() { return "http://" + Host() + ":" + std::to_string(HttpPort()); }
std::string RoomServer::SocketUrl() { return "http://" + Host() + ":" + std::to_string(SocketPort()); }

void RoomServer::Reset() { Post("/reset"); }

Json::Value RoomServer::SetAnswer(const Json::Value& answer) { return Post("/answer", answer); }

void RoomServer::SetAnswer(const std::string& route, const Json::Value& data, int code, const std::string& key,
                           const std::string& message)
{
    Json::Value answer(Json::objectValue);
    answer["route"] = route;
    answer["code"] = code;
    answer["data"] = data;
    answer["message"] = message;
    if (!key.empty()) answer["key"] = key;
    SetAnswer(answer);
}

void RoomServer::SetRawAnswer(const std::string& route, const std::string& body, const std::string& key)
{
    Json::Value answer(Json::objectValue);
    answer["route"] = route;
    answer["raw"] = body;
    if (!key.empty()) answer["key"] = key;
    SetAnswer(answer);
}

void RoomServer::ClearAnswer(const std::string& route, const std::string& key)
{
    Json::Value answer(Json::objectValue);
    answer["route"] = route;
    answer["clear"] = true;
    if (!key.empty()) answer["key"] = key;
    SetAnswer(answer);
}

std::string RoomServer::SetBytes(const std::string& route, const std::string& bytes, bool gzip)
{
    Json::Value answer(Json::objectValue);
    answer["route"] = route;
    answer["bytes"]["base64"] = Base64Encode(bytes);
    answer["gzip"] = gzip;
    return SetAnswer(answer)["md5"].asString();
}

std::string RoomServer::SetGeneratedBytes(const std::string& route, std::uint64_t size, std::uint32_t seed, bool gzip)
{
    Json::Value answer(Json::objectValue);
    answer["route"] = route;
    answer["bytes"]["size"] = Json::UInt64(size);
    answer["bytes"]["seed"] = Json::UInt(seed);
    answer["gzip"] = gzip;
    // The server digests a generated body once; a large one takes a few seconds.
    return Post("/answer", answer, 600000)["md5"].asString();
}

Json::Value RoomServer::SetMachine(const std::string& ecpKey, const Json::Value& startup,
                                   const std::vector<std::string>& unset)
{
    Json::Value body(Json::objectValue);
    body["ecpKey"] = ecpKey;
    body["startup"] = startup.isNull() ? Json::Value(Json::objectValue) : startup;
    body["unset"] = Json::arrayValue;
    for (const auto& name : unset) body["unset"].append(name);
    return Post("/machine", body)["machine"];
}

void RoomServer::RemoveMachine(const std::string& ecpKey)
{
    Json::Value body(Json::objectValue);
    body["ecpKey"] = ecpKey;
    body["remove"] = true;
    Post("/machine", body);
}

Json::Value RoomServer::Machines() { return Get("/machines")["machines"]; }

void RoomServer::SetFault(const Json::Value& fault) { Post("/fault", fault); }

void RoomServer::SetFault(const std::string& route, const std::string& kind, const Json::Value& params, int count,
                          const std::string& key)
{
    Json::Value fault = params.isObject() ? params : Json::Value(Json::objectValue);
    fault["route"] = route;
    fault["kind"] = kind;
    if (count >= 0) fault["count"] = count;
    if (!key.empty()) fault["key"] = key;
    SetFault(fault);
}

void RoomServer::ClearFault(const std::string& route, const std::string& key)
{
    SetFault(route, "none", Json::objectValue, -1, key);
}

namespace {

// "?a=1&b=2" from the pairs whose value is not empty.
std::string Query(std::initializer_list<std::pair<const char*, std::string>> pairs)
{
    std::string query;
    for (const auto& [name, value] : pairs) {
        if (value.empty()) continue;
        query += (query.empty() ? "?" : "&");
        query += name;
        query += "=" + RoomServer::Escape(value);
    }
    return query;
}

std::string Count(int n) { return n > 0 ? std::to_string(n) : std::string(); }

} // namespace

Json::Value RoomServer::Requests(const std::string& path, int minCount, int waitMs)
{
    return Get("/requests" + Query({{"path", path}, {"min", Count(minCount)}, {"wait", Count(waitMs)}}),
               waitMs + 30000L)["requests"];
}

Json::Value RoomServer::Connections(int minCount, int waitMs, bool openOnly)
{
    return Get("/connections" + Query({{"open", openOnly ? "1" : ""}, {"min", Count(minCount)}, {"wait", Count(waitMs)}}),
               waitMs + 30000L)["connections"];
}

Json::Value RoomServer::Events(const std::string& event, const std::string& kind, const std::string& dir, int minCount,
                               int waitMs)
{
    return Get("/events" + Query({{"event", event}, {"kind", kind}, {"dir", dir}, {"min", Count(minCount)},
                                  {"wait", Count(waitMs)}}),
               waitMs + 30000L)["events"];
}

Json::Value RoomServer::Frames(const std::string& conn, const std::string& dir, int minCount, int waitMs)
{
    return Get("/frames" + Query({{"conn", conn}, {"dir", dir}, {"min", Count(minCount)}, {"wait", Count(waitMs)}}),
               waitMs + 30000L)["frames"];
}

Json::Value RoomServer::Sockets() { return Get("/sockets")["sockets"]; }

std::vector<Json::Value> RoomServer::RouteRequests(const std::string& route, int minCount, int waitMs)
{
    std::string query = "/requests?route=" + Escape(route);
    if (minCount > 0) query += "&min=" + std::to_string(minCount) + "&wait=" + std::to_string(waitMs);
    const Json::Value requests = Get(query, waitMs + 30000L)["requests"];
    return std::vector<Json::Value>(requests.begin(), requests.end());
}

std::vector<Json::Value> RoomServer::AllRequests()
{
    const Json::Value requests = Requests();
    return std::vector<Json::Value>(requests.begin(), requests.end());
}

int RoomServer::Emit(const Target& to, const std::string& event, const Json::Value& args, const std::string& nsp)
{
    Json::Value request = to.ToJson();
    request["event"] = event;
    request["args"] = args.isNull() ? Json::Value(Json::arrayValue) : args;
    request["nsp"] = nsp;
    return EmitRequest(request)["sent"].asInt();
}

Json::Value RoomServer::EmitWithAck(const Target& to, const std::string& event, const Json::Value& args, int timeoutMs,
                                    const std::string& nsp)
{
    Json::Value request = to.ToJson();
    request["event"] = event;
    request["args"] = args.isNull() ? Json::Value(Json::arrayValue) : args;
    request["nsp"] = nsp;
    request["ack"] = true;
    request["timeoutMs"] = timeoutMs;
    const Json::Value answer = Post("/emit", request, timeoutMs + 30000L);
    if (!answer["ok"].asBool()) return Json::nullValue;
    if (answer.isMember("ack")) return answer["ack"];
    return answer["acks"];
}

Json::Value RoomServer::EmitRequest(const Json::Value& request)
{
    const long wait = request.isMember("timeoutMs") ? request["timeoutMs"].asInt() : 5000;
    return Post("/emit", request, wait + 30000L);
}

int RoomServer::Disconnect(const Target& who, bool closeTransport, const std::string& nsp)
{
    Json::Value request = who.ToJson();
    request["close"] = closeTransport;
    request["nsp"] = nsp;
    return Post("/disconnect", request)["count"].asInt();
}

int RoomServer::DropConnection(const Target& who, const std::string& nsp)
{
    Json::Value request = who.ToJson();
    request["drop"] = true;
    request["nsp"] = nsp;
    return Post("/disconnect", request)["count"].asInt();
}

void RoomServer::SetReply(const std::string& event, const Json::Value& args)
{
    Json::Value request(Json::objectValue);
    request["event"] = event;
    request["args"] = args;
    Post("/reply", request);
}

void RoomServer::StopSocket(bool drop, bool acceptAndClose)
{
    Json::Value request(Json::objectValue);
    request["drop"] = drop;
    request["acceptAndClose"] = acceptAndClose;
    Post("/socket/stop", request);
}

void RoomServer::StartSocket() { Post("/socket/start"); }

void RoomServer::PausePings(int ms)
{
    Json::Value request(Json::objectValue);
    request["ms"] = ms;
    Post("/socket/pause-pings", request);
}

void RoomServer::SetPingTimers(int pingIntervalMs, int pingTimeoutMs)
{
    Json::Value request(Json::objectValue);
    request["pingInterval"] = pingIntervalMs;
    request["pingTimeout"] = pingTimeoutMs;
    Post("/socket/timers", request);
}

void RoomServer::Shutdown() { Post("/shutdown"); }

Json::Value RoomServer::Get(const std::string& pathAndQuery, long timeoutMs)
{
    return Call("GET", pathAndQuery, nullptr, timeoutMs);
}

Json::Value RoomServer::Post(const std::string& path, const Json::Value& body, long timeoutMs)
{
    return Call("POST", path, &body, timeoutMs);
}

Json::Value RoomServer::Call(const std::string& method, const std::string& target, const Json::Value* body,
                             long timeoutMs)
{
    if (!Available()) throw RoomServerError(whyUnavailable_);
    static const bool curlReady = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    if (!curlReady) throw RoomServerError("curl_global_init failed");

    const std::string what = "room-server " + method + " " + target;
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> handle(curl_easy_init(), &curl_easy_cleanup);
    if (!handle) throw RoomServerError(what + ": no curl handle");
    CURL* h = handle.get();
    const std::string url = "http://" + address_ + target;
    const std::string payload = body != nullptr ? Compact(*body) : std::string();
    std::string response;
    char error[CURL_ERROR_SIZE] = {0};
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(
        curl_slist_append(nullptr, "Content-Type: application/json"), &curl_slist_free_all);

    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_PROXY, ""); // loopback only, whatever the environment's proxy settings
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, 5000L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &AppendToString);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &response);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
    if (body != nullptr) {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, payload.data());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(payload.size()));
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    }
    const CURLcode rc = curl_easy_perform(h);
    if (rc != CURLE_OK) {
        throw RoomServerError(what + ": " + curl_easy_strerror(rc) + (error[0] ? std::string(" (") + error + ")" : ""));
    }
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);

    Json::Value answer;
    std::string parseError;
    if (!ParseJson(response, answer, parseError)) {
        throw RoomServerError(what + ": answer is not JSON (" + parseError + "): " + response.substr(0, 200));
    }
    if (status != 200) {
        throw RoomServerError(what + ": HTTP " + std::to_string(status) + ": " +
                              (answer.isObject() ? answer.get("error", "").asString() : response));
    }
    return answer;
}

Json::Value RoomServer::Binary(const std::string& bytes)
{
    Json::Value value(Json::objectValue);
    value["$bin"] = Base64Encode(bytes);
    return value;
}

bool RoomServer::IsBinary(const Json::Value& value)
{
    return value.isObject() && value.size() == 1 && value.isMember("$bin") && value["$bin"].isString();
}

std::string RoomServer::BinaryBytes(const Json::Value& value)
{
    return IsBinary(value) ? Base64Decode(value["$bin"].asString()) : std::string();
}

std::string RoomServer::BodyOf(const Json::Value& request) { return Base64Decode(request.get("body", "").asString()); }

const Json::Value* RoomServer::PartOf(const Json::Value& request, const std::string& name)
{
    const Json::Value& parts = request["parts"];
    if (!parts.isArray()) return nullptr;
    for (const auto& part : parts) {
        if (part["name"].isString() && part["name"].asString() == name) return &part;
    }
    return nullptr;
}

std::string RoomServer::PartBytes(const Json::Value& part) { return Base64Decode(part.get("data", "").asString()); }

std::vector<std::string> RoomServer::HeaderLinesOf(const Json::Value& request)
{
    std::vector<std::string> lines;
    for (const Json::Value& line : request["headerLines"]) lines.push_back(line.asString());
    return lines;
}

Json::Value RoomServer::Parse(const std::string& json)
{
    Json::Value value;
    std::string error;
    if (!ParseJson(json, value, error)) throw RoomServerError("bad JSON (" + error + "): " + json);
    return value;
}

std::string RoomServer::Base64Encode(const std::string& bytes)
{
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) | static_cast<unsigned char>(bytes[i + 2]);
        out += kBase64[(v >> 18) & 63];
        out += kBase64[(v >> 12) & 63];
        out += kBase64[(v >> 6) & 63];
        out += kBase64[v & 63];
    }
    if (i < bytes.size()) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += kBase64[(v >> 18) & 63];
        out += kBase64[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kBase64[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string RoomServer::Base64Decode(const std::string& text)
{
    std::string out;
    unsigned buffer = 0;
    int bits = 0;
    for (const char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z') v = c - 'A';
        else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
        else if (c >= '0' && c <= '9') v = c - '0' + 52;
        else if (c == '+' || c == '-') v = 62;
        else if (c == '/' || c == '_') v = 63;
        else continue; // padding and line breaks
        buffer = (buffer << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    return out;
}

std::string RoomServer::Escape(const std::string& queryValue)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : queryValue) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
            c == '.' || c == '~' || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

} // namespace tavrel::test
