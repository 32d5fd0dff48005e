#pragma once
// The room-server as the server suites use it: RoomServer, plus answers and faults written as JSON texts
// and the recorded requests of one route as a list.
#include <json/json.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/room_server.h"

namespace tavrel::test {

class RoomPeer : public RoomServer {
public:
    // The room-server takes UTF-8: a JSON text holding Chinese goes through AnsiToUtf8 first.
    static Json::Value Parse(const std::string& json) {
        Json::Value value;
        Json::CharReaderBuilder reader;
        std::string errors;
        std::istringstream in(json);
        if (!Json::parseFromStream(reader, in, &value, &errors)) throw std::runtime_error("bad JSON: " + json);
        return value;
    }

    // {"route":..., "code"/"data"/"message"} | {"route":..., "bytes":...}; returns the control answer (with
    // "md5" for bytes).
    Json::Value Answer(const std::string& json) { return SetAnswer(Parse(json)); }
    // {"route":..., "kind":..., "count": n, ...}
    void Fault(const std::string& json) { SetFault(Parse(json)); }
    void AnswerRaw(const std::string& route, const std::string& utf8Body) { SetRawAnswer(route, utf8Body); }

    // Requests recorded for one route ("getVersionInfo"), waiting up to waitMs for at least `min` of them.
    std::vector<Json::Value> Requests(const std::string& route, int min = 0, int waitMs = 0) {
        std::string query = "/requests?route=" + route;
        if (min > 0) query += "&min=" + std::to_string(min) + "&wait=" + std::to_string(waitMs);
        return List(Get(query, waitMs + 30000L));
    }
    // By path, for a path that is no route of the exam server.
    std::vector<Json::Value> RequestsAt(const std::string& path) { return List(Get("/requests?path=" + path)); }
    std::vector<Json::Value> AllRequests() { return List(Get("/requests")); }

private:
    static std::vector<Json::Value> List(const Json::Value& answer) {
        const Json::Value& requests = answer["requests"];
        return std::vector<Json::Value>(requests.begin(), requests.end());
    }
};

// The raw body bytes of a recorded request, and the bytes of a recorded part.
inline std::string BodyOf(const Json::Value& request) { return RoomServer::BodyOf(request); }
inline std::string PartData(const Json::Value& part) { return RoomServer::Base64Decode(part["data"].asString()); }

// Header lines exactly as they arrived.
inline std::vector<std::string> HeaderLinesOf(const Json::Value& request) {
    std::vector<std::string> lines;
    for (const Json::Value& line : request["headerLines"]) lines.push_back(line.asString());
    return lines;
}

}  // namespace tavrel::test
