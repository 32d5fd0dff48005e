#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "system/command_line.h"
#include "system/file.h"
#include "system/process.h"
#include "system/text.h"

namespace {

using tavrel::test::HelperPath;
using tavrel::test::ReadFileBytes;
using tavrel::test::TempFolder;
using tavrel::test::WriteFileBytes;

#ifdef _WIN32
constexpr int kKilledExitCode = 259;  // STILL_ACTIVE, handed to TerminateProcess
#else
constexpr int kKilledExitCode = 128 + 9;  // SIGKILL
#endif
constexpr unsigned kPatienceMs = 20000;

// Narrow texts, the literals here included, are in the ANSI code page (GBK on the Windows build).
std::wstring Wide(const std::string& ansi) { return AnsiToWide(ansi); }

// A process name nobody else on this machine uses, so parallel test runs never see or kill each other's.
std::string UniqueName(const std::string& prefix) {
    static std::mt19937 random(static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::ostringstream name;
    name << prefix << std::hex << (random() & 0xFFFFFF) << ".exe";
    return name.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// Copies of tavrel_stub under chosen names, started from one scratch folder; they live until the object
// goes (or until killed) and are always waited for.
class Stubs {
public:
    Stubs() : m_until(m_dir / "stop-now") {}
    ~Stubs() {
        WriteFileBytes(m_until, "stop");
        for (ProcessHandle h : m_handles) {
            WaitProcessEnd(h, nullptr, kPatienceMs);
            CloseProcessHandle(h);
        }
    }
    const TempFolder& Folder() const { return m_dir; }

    std::string Install(const std::string& name) {
        std::string path = m_dir / name;
        if (!FileExists(path)) {
            WriteFileBytes(path, ReadFileBytes(HelperPath("tavrel_stub")));
            MakeExecutable(path);
        }
        return path;
    }

    ProcessHandle Start(const std::string& name) {
        ProcessHandle h = RunProgram(Wide(Install(name)), Wide("--until \"" + m_until + "\""), Wide(m_dir.Path()));
        if (h) m_handles.push_back(h);
        return h;
    }

private:
    TempFolder m_dir;
    std::string m_until;
    std::vector<ProcessHandle> m_handles;
};

TEST(ProcessRunning, TwoInstancesCountAsRunningOneDoesNot) {
    for (std::string name : {std::string("Tavrel.exe"), UniqueName("TvlPair")}) {
        SCOPED_TRACE(name);
        if (name == "Tavrel.exe" && IsProcessRunning(Wide(name)))
            GTEST_SKIP() << "another Tavrel.exe pair already runs on this machine";
        Stubs stubs;
        EXPECT_FALSE(IsProcessRunning(Wide(name))) << "none";
        ASSERT_TRUE(stubs.Start(name));
        EXPECT_FALSE(IsProcessRunning(Wide(name))) << "one instance";
        ASSERT_TRUE(stubs.Start(name));
        EXPECT_TRUE(IsProcessRunning(Wide(name))) << "two instances";
        ASSERT_TRUE(stubs.Start(name));
        EXPECT_TRUE(IsProcessRunning(Wide(name))) << "three instances";
    }
}

TEST(ProcessRunning, NamesMatchWholeAndWithCase) {
    Stubs stubs;
    const std::string name = UniqueName("TvlCase");
    ASSERT_TRUE(stubs.Start(name));
    ASSERT_TRUE(stubs.Start(name));
    const std::string stem = name.substr(0, name.size() - 4);
    struct Row {
        std::string asked;
        bool running;
    } rows[] = {
        {name, true},
        {ToLowerAscii(name), false},
        {ToUpperAscii(name), false},
        {stem, false},
        {name.substr(1), false},
        {name + " ", false},
        {" " + name, false},
        {"", false},
    };
    for (const Row& row : rows) EXPECT_EQ(IsProcessRunning(Wide(row.asked)), row.running) << "[" << row.asked << "]";
}

TEST(ProcessRunning, NamesLongerThanTheKernelsShortNameStillMatch) {
    // keyboardHook.exe has 16 characters; the Linux kernel keeps 15 of a process's name.
    Stubs stubs;
    const std::string name = UniqueName("keyboardHook");
    ASSERT_GT(name.size(), 15u);
    ASSERT_TRUE(stubs.Start(name));
    ASSERT_TRUE(stubs.Start(name));
    EXPECT_TRUE(IsProcessRunning(Wide(name)));
    EXPECT_FALSE(IsProcessRunning(Wide(name.substr(0, 15)))) << "the cut name is not the name";
    EXPECT_FALSE(IsProcessRunning(Wide(name.substr(0, 16))));
}

TEST(ProcessKill, EveryMatchEndsAndIsWaitedFor) {
    Stubs stubs;
    const std::string name = UniqueName("TvlKill");
    const std::string bystanderName = UniqueName("TvlStay");
    std::vector<ProcessHandle> victims;
    for (int i = 0; i < 3; ++i) {
        victims.push_back(stubs.Start(name));
        ASSERT_TRUE(victims.back());
    }
    ProcessHandle bystander = stubs.Start(bystanderName);
    ASSERT_TRUE(bystander);

    EXPECT_NE(KillProcessesByName(Wide(name)), 0);
    EXPECT_FALSE(IsProcessRunning(Wide(name)));
    for (ProcessHandle h : victims) {
        int code = -1;
        // No waiting here: the kill has already waited for every process it ended.
        ASSERT_TRUE(WaitProcessEnd(h, &code, 0));
        EXPECT_EQ(code, kKilledExitCode);
    }
    EXPECT_FALSE(WaitProcessEnd(bystander, nullptr, 0)) << "a process of another name lives on";
    EXPECT_EQ(KillProcessesByName(Wide(name)), 0) << "nothing left to kill";
}

TEST(ProgramRunning, OnlyProcessesOfThatFileCountAndEnd) {
    Stubs mine, elsewhere;
    const std::string name = UniqueName("TvlImage");
    const std::wstring image = Wide(mine.Folder() / name);
    ASSERT_TRUE(elsewhere.Start(name));
    ProcessHandle other = elsewhere.Start(name);
    ASSERT_TRUE(other);
    EXPECT_TRUE(IsProcessRunning(Wide(name))) << "by name, the two elsewhere run";
    EXPECT_FALSE(IsProgramRunning(image)) << "same name, another file";
    const std::string firstUntil = mine.Folder() / "stop-first";
    ProcessHandle first = RunProgram(Wide(mine.Install(name)), Wide("--until \"" + firstUntil + "\""),
                                     Wide(mine.Folder().Path()));
    ASSERT_TRUE(first);
    EXPECT_FALSE(IsProgramRunning(image)) << "one of that file";
    ProcessHandle second = mine.Start(name);
    ASSERT_TRUE(second);
    EXPECT_TRUE(IsProgramRunning(image));
    // One of the two found last time ends and a third runs that file: looked for again, it still runs.
    ASSERT_TRUE(mine.Start(name));
    WriteFileBytes(firstUntil, "stop");
    EXPECT_TRUE(WaitProcessEnd(first, nullptr, kPatienceMs));
    CloseProcessHandle(first);
    EXPECT_TRUE(IsProgramRunning(image)) << "the second and the third";
    EXPECT_NE(KillProgramProcesses(image), 0);
    EXPECT_TRUE(WaitProcessEnd(second, nullptr, 0));
    EXPECT_FALSE(IsProgramRunning(image));
    EXPECT_FALSE(WaitProcessEnd(other, nullptr, 0)) << "the program of the same name elsewhere lives on";
    EXPECT_EQ(KillProgramProcesses(image), 0) << "nothing of that file is left";
}

TEST(ProcessKill, NoMatchGivesZero) {
    EXPECT_EQ(KillProcessesByName(Wide(UniqueName("TvlNobody"))), 0);
    EXPECT_EQ(KillProcessesByName(L""), 0);
}

TEST(RunProgram, ArgumentsArriveAsWindowsSplitsThem) {
    struct Row {
        const char* parameters;
        std::vector<std::string> words;
    } rows[] = {
        {"a b c", {"a", "b", "c"}},
        {"  a \t b  ", {"a", "b"}},
        {R"("a b" c)", {"a b", "c"}},
        {R"("" x)", {"", "x"}},
        {R"(a\\b c\)", {R"(a\\b)", R"(c\)"}},
        {R"(a\"b)", {R"(a"b)"}},
        {R"(a\\\"b)", {R"(a\"b)"}},
        {R"("a\\" b)", {R"(a\)", "b"}},
        {R"(a"b c"d)", {"ab cd"}},
        {R"("a""b")", {R"(a"b)"}},
        {R"(C:\Program Files\Tavrel)", {R"(C:\Program)", R"(Files\Tavrel)"}},
        {"--shell-app-name=\"考试 客户端\" --shell-app-ecp-id=12",
         {"--shell-app-name=考试 客户端", "--shell-app-ecp-id=12"}},
        {"", {}},
    };
    Stubs stubs;
    const std::string stub = stubs.Install("tavrel_stub.exe");
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.parameters);
        EXPECT_EQ(SplitCommandLine(row.parameters), row.words) << "the splitter itself";

        const std::string record = stubs.Folder() / ("words" + std::to_string(n++) + ".txt");
        ProcessHandle h = RunProgram(Wide(stub), Wide("--record \"" + record + "\" -- " + row.parameters),
                                     Wide(stubs.Folder().Path()));
        ASSERT_TRUE(h);
        int code = -1;
        EXPECT_TRUE(WaitProcessEnd(h, &code, kPatienceMs));
        CloseProcessHandle(h);
        EXPECT_EQ(code, 0);
        std::vector<std::string> lines = Lines(ReadFileBytes(record));  // the stub writes UTF-8
        ASSERT_FALSE(lines.empty());
        std::vector<std::string> got;
        for (size_t i = 1; i < lines.size(); ++i) got.push_back(Utf8ToAnsi(lines[i]));
        EXPECT_EQ(got, row.words) << "what the program got";
    }
}

TEST(RunProgram, StartsInTheGivenWorkingFolder) {
    namespace fs = std::filesystem;
    Stubs stubs;
    const std::string stub = stubs.Install("tavrel_stub.exe");
    TempFolder elsewhere;
    struct Row {
        std::string folder;
        fs::path expected;
    } rows[] = {
        {elsewhere.Path(), fs::path(elsewhere.Path())},
        {"", fs::current_path()},  // none given: the agent's own
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.folder);
        const std::string record = stubs.Folder() / "cwd.txt";
        RemoveFile(record);
        ProcessHandle h = RunProgram(Wide(stub), Wide("--record \"" + record + "\""), Wide(row.folder));
        ASSERT_TRUE(h);
        EXPECT_TRUE(WaitProcessEnd(h, nullptr, kPatienceMs));
        CloseProcessHandle(h);
        std::vector<std::string> lines = Lines(ReadFileBytes(record));
        ASSERT_FALSE(lines.empty());
        EXPECT_TRUE(fs::equivalent(fs::path(Utf8ToAnsi(lines[0])), row.expected)) << lines[0];
    }
}

TEST(RunProgram, NothingToStartGivesNoHandle) {
    TempFolder dir;
    EXPECT_FALSE(RunProgram(Wide(dir / "missing.exe"), L"", L""));
    EXPECT_FALSE(RunProgram(Wide(dir / "missing.exe"), L"--x", Wide(dir.Path())));
    EXPECT_FALSE(RunProgram(L"", L"", L""));
}

TEST(RunProgram, ExitCodeCanBeReadAgainAndWaitsCanTimeOut) {
    Stubs stubs;
    const std::string stub = stubs.Install("tavrel_stub.exe");
    ProcessHandle h = RunProgram(Wide(stub), L"--exit 7", L"");
    ASSERT_TRUE(h);
    int first = -1, second = -1;
    EXPECT_TRUE(WaitProcessEnd(h, &first, kPatienceMs));
    EXPECT_TRUE(WaitProcessEnd(h, &second, 0));
    EXPECT_EQ(first, 7);
    EXPECT_EQ(second, 7);
    CloseProcessHandle(h);

    ProcessHandle running = stubs.Start(UniqueName("TvlWait"));
    ASSERT_TRUE(running);
    EXPECT_FALSE(WaitProcessEnd(running, nullptr, 50)) << "still running";
    EXPECT_FALSE(WaitProcessEnd(ProcessHandle{}, nullptr, 0)) << "no handle, nothing to wait for";
}

}  // namespace
