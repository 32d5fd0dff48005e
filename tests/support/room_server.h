// Test-side client of tools/room-server's control interface: scripts the exam server's answers and faults,
// reads back what the agent sent over HTTP and Socket.IO, and drives the Socket.IO endpoint.
//
// The server is started by tests/with-room-server.sh, which exports TAVREL_ROOM_SERVER=127.0.0.1:<control port>
// (Wine hands the variable on to Windows test programs). Without it Available() is false and a test that
// needs the server should skip, e.g.:
//     tavrel::test::RoomServer room;
//     if (!room.Available()) GTEST_SKIP() << room.WhyUnavailable();
// Every other member throws RoomServerError when the control interface cannot be reached or refuses a call.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavrel::test {

class RoomServerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Who receives an emit or a disconnect.
struct Target {
    static Target Room(const std::string& room);
    static Target Socket(const std::string& socketId);
    static Target Key(const std::string& ecpKey); // the sockets whose query carried this ecpKey
    static Target All();                          // every socket of the namespace
    Json::Value ToJson() const;

    std::string member; // "room", "socket", "ecpKey" or "all"
    std::string value;
};

class RoomServer {
public:
    static constexpr const char* kEnvironmentVariable = "TAVREL_ROOM_SERVER";

    RoomServer();                                          // address from TAVREL_ROOM_SERVER
    explicit RoomServer(const std::string& controlAddress); // "127.0.0.1:<control port>"

    bool Available() const;
    const std::string& WhyUnavailable() const;
    const std::string& ControlAddress() const;

    // The exam server's two ports and the URLs the agent's configuration is built from.
    int HttpPort();
    int SocketPort();
    std::string Host() const; // host part of the control address
    std::string BaseUrl();    // "http://<host>:<http port>"
    std::string SocketUrl();  // "http://<host>:<socket port>"

    // Forgets answers, faults, machines and records; connected sockets stay.
    void Reset();

    // Answers. route is the last path segment ("getStartupInfoAgent") or the whole path; an empty key sets the
    // answer for every machine, otherwise only for the machine with that ecpKey.
    Json::Value SetAnswer(const Json::Value& answer); // {route, key?, code?, data?, message?, raw?, bytes?, gzip?}
    // The same as a JSON text (UTF-8: a text holding Chinese goes through AnsiToUtf8 first); with "md5" for bytes.
    Json::Value Answer(const std::string& json) { return SetAnswer(Parse(json)); }
    void SetAnswer(const std::string& route, const Json::Value& data, int code = 1000, const std::string& key = "",
                   const std::string& message = "");
    void SetRawAnswer(const std::string& route, const std::string& body, const std::string& key = "");
    void ClearAnswer(const std::string& route, const std::string& key = "");
    // Installer ("updateTavrel") or module ("downloadModule") bytes; returns their MD5 in lower-case hex.
    std::string SetBytes(const std::string& route, const std::string& bytes, bool gzip = false);
    std::string SetGeneratedBytes(const std::string& route, std::uint64_t size, std::uint32_t seed, bool gzip = false);

    // A machine's start-up information as getStartupInfoAgent reports it (members merged as given, null too).
    Json::Value SetMachine(const std::string& ecpKey, const Json::Value& startup,
                           const std::vector<std::string>& unset = {});
    void RemoveMachine(const std::string& ecpKey);
    Json::Value Machines();

    // Faults: kind is delay, status, cut, notjson, wrongtype, redirect or close; params carry its members
    // (ms, status, body, location, bytes, data, members, delayMs ...); count < 0 means every request.
    void SetFault(const Json::Value& fault);
    void SetFault(const std::string& route, const std::string& kind, const Json::Value& params = Json::objectValue,
                  int count = -1, const std::string& key = "");
    void ClearFault(const std::string& route, const std::string& key = "");
    void Fault(const std::string& json) { SetFault(Parse(json)); } // {"route":..., "kind":..., "count": n, ...}

    // Records, oldest first. With waitMs > 0 the call waits until at least minCount (at least 1) records match
    // or the time is up, and returns what matches then.
    Json::Value Requests(const std::string& path = "", int minCount = 0, int waitMs = 0);
    Json::Value Connections(int minCount = 0, int waitMs = 0, bool openOnly = false);
    Json::Value Events(const std::string& event = "", const std::string& kind = "", const std::string& dir = "",
                       int minCount = 0, int waitMs = 0);
    Json::Value Frames(const std::string& conn = "", const std::string& dir = "", int minCount = 0, int waitMs = 0);
    Json::Value Sockets(); // the sockets connected now
    // The requests of one route ("getVersionInfo"), waiting up to waitMs for at least minCount of them; all.
    std::vector<Json::Value> RouteRequests(const std::string& route, int minCount = 0, int waitMs = 0);
    std::vector<Json::Value> AllRequests();

    // Socket.IO. Arguments may hold Binary(...) values, which go out as binary attachments.
    int Emit(const Target& to, const std::string& event, const Json::Value& args = Json::arrayValue,
             const std::string& nsp = "/"); // returns the number of sockets reached
    // The acknowledgement's arguments (an array), or null when none came within timeoutMs.
    Json::Value EmitWithAck(const Target& to, const std::string& event, const Json::Value& args = Json::arrayValue,
                            int timeoutMs = 5000, const std::string& nsp = "/");
    Json::Value EmitRequest(const Json::Value& request); // the control answer as it is
    // closeTransport false: only the namespace DISCONNECT (41); true: 41, then the WebSocket is closed.
    int Disconnect(const Target& who, bool closeTransport, const std::string& nsp = "/");
    int DropConnection(const Target& who, const std::string& nsp = "/"); // TCP cut, no close frame
    void SetReply(const std::string& event, const Json::Value& args); // ack arguments for a client's event
    // acceptAndClose: the port stays open and closes every TCP connection it takes (a broken server).
    void StopSocket(bool drop = false, bool acceptAndClose = false);
    void StartSocket(); // same port as before
    void PausePings(int ms); // 0 resumes
    void SetPingTimers(int pingIntervalMs, int pingTimeoutMs); // for later handshakes; Reset() restores
    void Shutdown();

    // Generic control calls, for anything the members above do not cover.
    Json::Value Get(const std::string& pathAndQuery, long timeoutMs = 30000);
    Json::Value Post(const std::string& path, const Json::Value& body = Json::objectValue, long timeoutMs = 30000);

    // Helpers for recorded values: bodies and parts are base64, binary arguments {"$bin": base64}.
    static Json::Value Binary(const std::string& bytes);
    static bool IsBinary(const Json::Value& value);
    static std::string BinaryBytes(const Json::Value& value);
    static std::string BodyOf(const Json::Value& request);
    static const Json::Value* PartOf(const Json::Value& request, const std::string& name); // null if absent
    static std::string PartBytes(const Json::Value& part);
    static std::vector<std::string> HeaderLinesOf(const Json::Value& request); // exactly as they arrived
    static Json::Value Parse(const std::string& json);                          // throws on a bad text
    static std::string Base64Encode(const std::string& bytes);
    static std::string Base64Decode(const std::string& text);
    static std::string Escape(const std::string& queryValue);

private:
    Json::Value Call(const std::string& method, const std::string& target, const Json::Value* body, long timeoutMs);
    void LoadPorts();

    std::string address_;
    std::string whyUnavailable_;
    int httpPort_ = 0;
    int socketPort_ = 0;
};

} // namespace tavrel::test
