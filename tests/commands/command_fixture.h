#pragma once
// The agent's command channel against the room-server: shared values of an installed agent in a scratch
// folder, the process's own channel joined with a key of the test's own, the reported channel states, the
// power seam held by a recorder (no test may switch off the machine it runs on), and stand-ins for the
// exam client's processes and window.
#include <gtest/gtest.h>
#include <json/json.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/shared_values.h"
#include "commands/command_channel.h"
#include "commands/command_worker.h"
#include "support/registry_probe.h"
#include "support/room_server.h"
#include "support/test_support.h"
#include "system/file.h"
#include "system/power.h"
#include "system/process.h"
#include "system/desktop.h"
#include "system/text.h"

namespace command_test {

using tavrel::test::RegistryEntry;
using tavrel::test::RegistryRoot;
using tavrel::test::RoomServer;
using tavrel::test::Target;

inline const char* const kKeyboardLayout = "SYSTEM\\CurrentControlSet\\Control\\Keyboard Layout";

// The Windows build keeps the machine's own value, which the test puts back afterwards.
class ScancodeMapKeeper {
public:
    ScancodeMapKeeper() : m_before(Read()) {}
    ~ScancodeMapKeeper() {
        if (m_before.found)
            tavrel::test::WriteRegistryEntry(RegistryRoot::LocalMachine, kKeyboardLayout, "Scancode Map",
                                             m_before.type, m_before.bytes);
        else
            tavrel::test::DeleteRegistryEntry(RegistryRoot::LocalMachine, kKeyboardLayout, "Scancode Map");
    }
    static RegistryEntry Read() {
        return tavrel::test::ReadRegistryEntry(RegistryRoot::LocalMachine, kKeyboardLayout, "Scancode Map");
    }

private:
    RegistryEntry m_before;
};


// The channel's states in the order they were reported, written as the tray's statuses: 0 connected, 1 closed
// or failed, 2 retrying.
class PostedStatuses {
public:
    static void Observe(ChannelState state) {
        std::lock_guard<std::mutex> lock(Lock());
        Items().push_back(state == ChannelState::Connected ? 0 : state == ChannelState::Retrying ? 2 : 1);
    }
    static void Clear() {
        std::lock_guard<std::mutex> lock(Lock());
        Items().clear();
    }
    static std::vector<std::intptr_t> Taken() {
        std::lock_guard<std::mutex> lock(Lock());
        return Items();
    }
    static std::string Text() {
        std::string text;
        for (std::intptr_t s : Taken()) text += std::to_string(s);
        return text;
    }
    // Waits until the statuses posted so far end with `tail`.
    static bool WaitEndsWith(const std::string& tail, int ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            std::string text = Text();
            if (text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0)
                return true;
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

private:
    static std::mutex& Lock() {
        static std::mutex lock;
        return lock;
    }
    static std::vector<std::intptr_t>& Items() {
        static std::vector<std::intptr_t> items;
        return items;
    }
};

struct PowerCall {
    unsigned flags;
    unsigned reason;
};

// Holds the power seam for as long as it lives; every call is recorded and none reaches the system.
class PowerRecorder {
public:
    PowerRecorder() {
        SetExitWindowsHook([this](unsigned flags, unsigned reason) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_calls.push_back(PowerCall{flags, reason});
            return true;
        });
    }
    ~PowerRecorder() { SetExitWindowsHook(nullptr); }
    std::string Text() {
        std::lock_guard<std::mutex> lock(m_lock);
        std::string text;
        for (const PowerCall& c : m_calls) text += std::to_string(c.flags) + ":" + std::to_string(c.reason) + ";";
        return text;
    }

private:
    std::mutex m_lock;
    std::vector<PowerCall> m_calls;
};

inline std::string RandomHex(int digits) {
    static std::mt19937_64 random(
        static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count()));
    static std::mutex lock;
    std::lock_guard<std::mutex> hold(lock);
    const char* hex = "0123456789ABCDEF";
    std::string text;
    for (int i = 0; i < digits; ++i) text += hex[random() % 16];
    return text;
}

// Processes that carry the exam client's executable name: copies of tavrel_stub, each living until its
// own stop file appears (or a minute has passed).
class ExamClientStandIns {
public:
    explicit ExamClientStandIns(const std::string& folder)
        : m_folder(folder), m_name("tc" + RandomHex(6) + ".exe") {
        std::error_code ec;
        std::filesystem::copy_file(tavrel::test::HelperPath("tavrel_stub"), Program(),
                                   std::filesystem::copy_options::overwrite_existing, ec);
        MakeExecutable(Program());
    }
    ~ExamClientStandIns() {
        while (!m_running.empty()) StopOne();
    }
    std::wstring Name() const { return AnsiToWide(m_name); }
    std::string Program() const { return m_folder + PathSeparator() + m_name; }

    bool Start() {
        std::string stop = m_folder + PathSeparator() + "stop-" + std::to_string(m_started++);
        std::wstring parameters = L"--until \"" + AnsiToWide(stop) + L"\" --max-ms 60000";
        ProcessHandle h = RunProgram(AnsiToWide(Program()), parameters, AnsiToWide(m_folder));
        if (!h) return false;
        m_running.push_back(Running{h, stop});
        return true;
    }
    // Ends the last one started and waits for it.
    void StopOne() {
        if (m_running.empty()) return;
        Running last = m_running.back();
        m_running.pop_back();
        tavrel::test::WriteFileBytes(last.stop, "stop");
        WaitProcessEnd(last.handle, nullptr, 20000);
        CloseProcessHandle(last.handle);
    }
    // Until the process table agrees (two or more count as running).
    bool WaitRunning(bool running, int ms = 10000) const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (IsProcessRunning(Name()) != running) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

private:
    struct Running {
        ProcessHandle handle;
        std::string stop;
    };
    std::string m_folder;
    std::string m_name;
    int m_started = 0;
    std::vector<Running> m_running;
};

// A top-level window with the exam client's title that records the close request it gets. With an image
// name it runs as that program in `folder` (the agent's folder: the exam client itself); without, it is
// another program's window of the same title.
class ExamClientWindow {
public:
    ExamClientWindow(const std::string& folder, const std::string& title, const std::string& imageName = "")
        : m_title(title), m_record(folder + PathSeparator() + "window-" + RandomHex(4) + ".txt") {
        std::string program = tavrel::test::HelperPath("title_window");
        if (!imageName.empty()) {
            const std::string copy = folder + PathSeparator() + imageName;
            std::error_code ec;
            if (!std::filesystem::exists(copy))
                std::filesystem::copy_file(program, copy, std::filesystem::copy_options::overwrite_existing, ec);
            MakeExecutable(copy);
            program = copy;
        }
        std::wstring parameters = L"\"" + Utf8ToWide(title) + L"\" \"" + AnsiToWide(m_record) + L"\" 30000";
        m_process = RunProgram(AnsiToWide(program), parameters, L"");
    }
    ~ExamClientWindow() {
        if (!m_process) return;
        // A window the test left open is closed as the agent would close it.
        if (!WaitProcessEnd(m_process, nullptr, 0)) CloseWindowByTitle(m_title);
        WaitProcessEnd(m_process, nullptr, 10000);
        CloseProcessHandle(m_process);
    }
    bool Started() const { return static_cast<bool>(m_process); }
    bool WaitReady(int ms = 15000) const { return WaitRecord("ready\n", ms); }
    bool WaitRecord(const std::string& text, int ms) const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (Record() != text) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
    std::string Record() const { return tavrel::test::ReadFileBytes(m_record); }

private:
    std::string m_title;
    std::string m_record;
    ProcessHandle m_process{};
};

// One installed agent per test: its folder, its identity and the room it sits in, with the process's
// command channel joined to the room-server.
class CommandChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!room.Available()) GTEST_SKIP() << room.WhyUnavailable();
        try {
            room.StartSocket();
        } catch (const std::exception&) {
            // already listening
        }
        room.Reset();
        ResetShared();
        mac = "02-7C-" + RandomHex(2) + "-" + RandomHex(2) + "-" + RandomHex(2) + "-" + RandomHex(2);
        exeDir = (install / "agent") + PathSeparator();
        CreateFolders(exeDir);
        // UTF-8 as "shell.ini" holds it, and Chinese: a PC whose code page is not 936 must find it too.
        title = u8"考试客户端 Tavrel " + RandomHex(6);
        UpdateShared([&](SharedValues& v) {
            v.ExeDir = exeDir;
            v.LocalVersion = "3.1.4.1";
            v.LocalIp = "10.0.7.21";
            v.LocalMac = mac;
            v.ServerIp = room.Host();
            v.ServerPort = std::to_string(room.HttpPort());
            v.SocketPort = std::to_string(room.SocketPort());
            v.AppTitle = title;
            v.CurrentRoomCode = "R7";
        });
        SetRegistryFolder(exeDir);
        PostedStatuses::Clear();
        InstallChannelListeners(&PostedStatuses::Observe);
        auto client = CommandChannelClient();
        ASSERT_TRUE(client);
        client->set_reconnect_delay(100);
        client->set_reconnect_delay_max(400);
    }

    void TearDown() override {
        if (auto client = CommandChannelClient()) client->close();
        // Work a test left behind must not reach into the next one.
        StopCommandWorker();
        ResetShared();
    }

    // Joins the room and waits until the server has the machine's socket of "/".
    void Join() {
        ConnectCommandChannel(ServerEndpointOf(SnapshotShared()));
        ASSERT_TRUE(WaitSocketCount(1, 10000)) << "the agent never joined its room";
    }

    bool WaitSocketCount(size_t count, int ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            size_t found = 0;
            for (const Json::Value& s : room.Sockets()) {
                for (const Json::Value& r : s["rooms"])
                    if (r.asString() == "key:" + mac) ++found;
            }
            if (found == count) return true;
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    static Json::Value Command(const Json::Value& code, const Json::Value& data = Json::Value()) {
        Json::Value command(Json::objectValue);
        command["code"] = code;
        if (!data.isNull()) command["data"] = data;
        return command;
    }
    static Json::Value Args(const Json::Value& first) {
        Json::Value args(Json::arrayValue);
        args.append(first);
        return args;
    }

    int Broadcast(const Json::Value& command) { return room.Emit(Target::Key(mac), "broadcast", Args(command)); }

    // Handlers run one at a time in order of arrival: once this acknowledgement is back, every event sent
    // before it has been dispatched; the HTTP work they started ends on the channel's worker after that.
    void Barrier() {
        Json::Value ack = room.EmitWithAck(Target::Key(mac), "broadcast", Args(Command(1)), 20000);
        ASSERT_TRUE(ack.isArray()) << "the agent did not acknowledge the barrier";
        ASSERT_TRUE(WaitCommandWorkIdle(60000)) << "the command worker never ran empty";
    }

    // The texts of the frames the agent sent on its current connection.
    std::vector<std::string> FramesIn() {
        std::vector<std::string> texts;
        for (const Json::Value& f : room.Frames(CommandChannelClient()->get_sessionid(), "in"))
            if (f["type"].asString() == "text") texts.push_back(f["text"].asString());
        return texts;
    }

    // Frames the agent sent in answer to events, all but the heartbeat's pongs.
    std::vector<std::string> RepliesIn() {
        std::vector<std::string> replies;
        for (const std::string& t : FramesIn())
            if (t != "3" && t != "40") replies.push_back(t);
        return replies;
    }

    std::string ExamDataPath(const std::string& relative) const {
        return exeDir + NativePath("..\\ExamData\\" + relative);
    }

    RoomServer room;
    tavrel::test::TempFolder install;
    tavrel::test::LogCapture log;
    PowerRecorder power;  // for every test: nothing here may reach the real shutdown
    std::string mac;
    std::string exeDir;
    std::string title;
};

}  // namespace command_test
