#pragma once
// The real agent in a temporary installation tree (Agent, Modules, Temp, log, ExamData) whose "shell.ini"
// points at tools/room-server, with the stand-in exam client beside it as Tavrel.exe; and what the tests read
// back from the tree and from the server. The agent's own messages are checked as plain literals: they
// compile to the agent's narrow encoding on each platform (GBK on Windows), as the agent's do.
#include <gtest/gtest.h>
#include <json/json.h>

#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/agent_process.h"
#include "support/room_server.h"
#include "support/test_support.h"
#include "system/file.h"
#include "system/process.h"
#include "system/text.h"

namespace tavrel::test {

#ifdef _WIN32
constexpr const char* kAgentFile = "TavrelAgent.exe";
#else
constexpr const char* kAgentFile = "TavrelAgent";
#endif

// One start of the stand-in exam client, as it wrote it into exam_client_calls.log.
struct ExamClientCall {
    long pid = 0;
    std::string name, cwd, line;
    std::vector<std::string> args;
    bool startedByAgent() const { return line.find("--shell-app-") != std::string::npos; }
};

inline std::vector<ExamClientCall> ParseCalls(const std::string& text, std::set<long>* ended = nullptr) {
    std::vector<ExamClientCall> calls;
    std::istringstream in(text);
    std::string row;
    ExamClientCall* open = nullptr;
    while (std::getline(in, row)) {
        if (row.compare(0, 5, "call ") == 0) {
            calls.emplace_back();
            open = &calls.back();
            open->pid = std::atol(row.c_str() + 5);
        } else if (row.compare(0, 6, "ended ") == 0) {
            if (ended) ended->insert(std::atol(row.c_str() + 6));
        } else if (row == "end") {
            open = nullptr;
        } else if (open && row.compare(0, 5, "name=") == 0) {
            open->name = row.substr(5);
        } else if (open && row.compare(0, 4, "cwd=") == 0) {
            open->cwd = row.substr(4);
        } else if (open && row.compare(0, 5, "line=") == 0) {
            open->line = row.substr(5);
        } else if (open && row.compare(0, 4, "arg=") == 0) {
            open->args.push_back(row.substr(4));
        }
    }
    return calls;
}

// Polls until `done` holds or the time is up; the answer of the last look.
inline bool WaitUntil(const std::function<bool()>& done, unsigned timeoutMs, unsigned stepMs = 100) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
    }
}

inline std::string Text(const Json::Value& value) { return value.isString() ? value.asString() : std::string(); }

// The value of a raw query pair list [[k, v], ...].
inline std::string QueryValue(const Json::Value& pairs, const std::string& key) {
    for (const Json::Value& pair : pairs)
        if (pair.isArray() && pair.size() == 2 && Text(pair[0]) == key) return Text(pair[1]);
    return std::string();
}

class AgentTree {
public:
    explicit AgentTree(RoomServer& room) : m_room(room) {
        for (const char* folder : {"Agent", "Agent\\log", "Modules", "Temp", "log", "ExamData", "ExamData\\nrvq"})
            CreateFolders(m_root / folder);
        Copy(AgentExecutable(), AgentPath());
        Copy(HelperPath("exam_client_stub"), AgentFolder() + "Tavrel.exe");
        WriteFileBytes(AgentFolder() + "shell.ini",
                       "[Server]\r\nServer=" + room.Host() + "\r\nServerPort=" + std::to_string(room.HttpPort()) +
                           "\r\nSocketPort=" + std::to_string(room.SocketPort()) +
                           "\r\n[Application]\r\nAppTitle=Tavrel\xE8\x80\x83\xE8\xAF\x95\xE7\xB3\xBB\xE7\xBB\x9F\r\n");
        WriteFileBytes(m_root / "log\\Tavrel.log", "exam client log of this run\n");
        SetClientStay(4000);
    }

    ~AgentTree() {
        // No stand-in outlives its test: release them all, then end the agent and whatever it left.
        ReleaseClients();
        if (m_agent) {
            m_agent.reset();
            const std::string output = AgentOutput();
            if (output.find("Sanitizer") != std::string::npos) ADD_FAILURE() << "the agent reported:\n" << output;
        }
        // The stand-ins end on the release file or on their own time limit, so waiting is enough.
        for (ProcessHandle& handle : m_started) {
            WaitProcessEnd(handle, nullptr, 15000);
            CloseProcessHandle(handle);
        }
    }

    std::string Root() const { return m_root.Path(); }
    std::string AgentFolder() const { return m_root / "Agent" + PathSeparator(); }
    std::string AgentPath() const { return AgentFolder() + kAgentFile; }
    std::string Path(const std::string& relative) const { return m_root / relative; }

    static bool Copy(const std::string& from, const std::string& to) {
        std::string bytes = ReadFileBytes(from);
        if (bytes.empty() || !WriteFileBytes(to, bytes)) return false;
        MakeExecutable(to);
        return true;
    }

    void SetClientStay(long ms) { WriteFileBytes(AgentFolder() + "exam_client_control.txt", "stay_ms=" + std::to_string(ms) + "\n"); }
    // The stand-ins end soon after the release file appears; without it they stay their time.
    void ReleaseClients() { WriteFileBytes(AgentFolder() + "exam_client_release", ""); }
    void HoldClients() { RemoveFile(AgentFolder() + "exam_client_release"); }

    AgentProcess& Agent() { return *m_agent; }
    // withoutNetwork: Linux only, an agent that never learns its identity (AgentProcess::WithoutNetwork).
    bool StartAgent(bool withoutNetwork = false) {
        m_agent = std::make_unique<AgentProcess>();
        if (withoutNetwork) m_agent->WithoutNetwork();
        return m_agent->Start(AgentPath(), AgentFolder(), m_root / "agent-output.txt");
    }
    // What the agent wrote to its standard streams (Linux), sanitizer reports included.
    std::string AgentOutput() const { return ReadFileBytes(m_root / "agent-output.txt"); }

    // A program of the tree started by the test itself, not by the agent.
    ProcessHandle StartInTree(const std::string& file, const std::string& parameters) {
        ProcessHandle handle = RunProgram(AnsiToWide(AgentFolder() + file), AnsiToWide(parameters), AnsiToWide(AgentFolder()));
        if (handle) m_started.push_back(handle);
        return handle;
    }

    std::vector<ExamClientCall> Calls(std::set<long>* ended = nullptr) const {
        return ParseCalls(ReadFileBytes(AgentFolder() + "exam_client_calls.log"), ended);
    }
    std::vector<ExamClientCall> AgentStartedCalls() const {
        std::vector<ExamClientCall> calls;
        for (const ExamClientCall& call : Calls())
            if (call.startedByAgent()) calls.push_back(call);
        return calls;
    }

    // Every dated log file of the tree, one after the other.
    std::string AgentLog() const {
        std::string all;
        std::time_t now = std::time(nullptr);
        for (std::time_t when : {now - 86400, now, now + 86400}) {
            std::tm date{};
#ifdef _WIN32
            localtime_s(&date, &when);
#else
            localtime_r(&when, &date);
#endif
            all += ReadFileBytes(LogFilePathFor(date));
        }
        return all;
    }

private:
    std::string LogFilePathFor(const std::tm& date) const {
        char name[64];
        std::snprintf(name, sizeof name, "TavrelAgent.%04d%02d%02d.log", date.tm_year + 1900, date.tm_mon + 1,
                      date.tm_mday);
        return m_root / (std::string("Agent\\log\\") + name);
    }

    RoomServer& m_room;
    TempFolder m_root;
    std::unique_ptr<AgentProcess> m_agent;
    std::vector<ProcessHandle> m_started;
};

// Server records since a sequence number, for one route (or every request with an empty route).
class Records {
public:
    explicit Records(RoomServer& room) : m_room(room) {}

    Json::Value Requests(const std::string& route, long since = 0, int minCount = 0, int waitMs = 0) {
        std::string query = "/requests?since=" + std::to_string(since);
        if (!route.empty()) query += "&route=" + route;
        if (waitMs > 0) query += "&min=" + std::to_string(minCount < 1 ? 1 : minCount) + "&wait=" + std::to_string(waitMs);
        return m_room.Get(query, waitMs + 30000L)["requests"];
    }
    Json::Value Connections(long since = 0, int minCount = 0, int waitMs = 0, bool openOnly = false) {
        std::string query = "/connections?since=" + std::to_string(since);
        if (openOnly) query += "&open=1";
        if (waitMs > 0) query += "&min=" + std::to_string(minCount < 1 ? 1 : minCount) + "&wait=" + std::to_string(waitMs);
        return m_room.Get(query, waitMs + 30000L)["connections"];
    }
    // The sequence number of the newest request and connection, to look only at what comes after.
    long Mark() {
        long newest = 0;
        for (const Json::Value& r : Requests("")) newest = std::max<long>(newest, r["seq"].asInt64());
        for (const Json::Value& c : Connections()) newest = std::max<long>(newest, c["seq"].asInt64());
        return newest;
    }

private:
    RoomServer& m_room;
};

constexpr unsigned kPassMs = 3000;  // give or take 250 ms at random
constexpr unsigned kFewPassesMs = 6 * kPassMs;

// Every end-to-end test starts from a fresh room-server and reads its records.
class AgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!room.Available()) GTEST_SKIP() << room.WhyUnavailable();
        room.Reset();
    }

    // Start-up information of a numbered machine in a room, without the start allowed.
    static Json::Value Numbered(int ecpId, const std::string& roomCode) {
        Json::Value data(Json::objectValue);
        data["ecpId"] = ecpId;
        data["ecpRoomCode"] = roomCode;
        data["isStartup"] = false;
        return data;
    }

    RoomServer room;
    Records records{room};
};

}  // namespace tavrel::test
