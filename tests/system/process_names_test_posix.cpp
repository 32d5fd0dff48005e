// Linux only: which name a process goes by when it was not started straight from its own file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/test_support.h"
#include "system/file.h"
#include "system/process.h"
#include "system/text.h"

namespace {

using tavrel::test::HelperPath;
using tavrel::test::ReadFileBytes;
using tavrel::test::TempFolder;
using tavrel::test::WriteFileBytes;

constexpr unsigned kPatienceMs = 20000;

std::string Unique(const std::string& prefix) { return prefix + std::to_string(getpid()) + ".exe"; }

class Started {
public:
    explicit Started(const std::string& stop) : m_stop(stop) {}
    ~Started() {
        WriteFileBytes(m_stop, "stop");
        for (ProcessHandle h : m_handles) {
            WaitProcessEnd(h, nullptr, kPatienceMs);
            CloseProcessHandle(h);
        }
    }
    bool Run(const std::string& file, const std::string& parameters) {
        ProcessHandle h = RunProgram(AnsiToWide(file), AnsiToWide(parameters), L"");
        if (h) m_handles.push_back(h);
        return static_cast<bool>(h);
    }

private:
    std::string m_stop;
    std::vector<ProcessHandle> m_handles;
};

TEST(ProcessNamesOnLinux, AProgramStartedThroughASymlinkGoesByTheLinksName) {
    TempFolder dir;
    const std::string real = dir / "khook-real";
    ASSERT_TRUE(WriteFileBytes(real, ReadFileBytes(HelperPath("tavrel_stub"))));
    ASSERT_TRUE(MakeExecutable(real));
    const std::string link = Unique("keyboardHookLink");  // longer than the kernel's 15 characters
    ASSERT_EQ(symlink(real.c_str(), (dir / link).c_str()), 0);
    const std::string stop = dir / "stop";
    {
        Started started(stop);
        ASSERT_TRUE(started.Run(dir / link, "--until " + stop));
        ASSERT_TRUE(started.Run(dir / link, "--until " + stop));
        EXPECT_TRUE(IsProcessRunning(AnsiToWide(link)));
        EXPECT_FALSE(IsProcessRunning(L"khook-real")) << "the file behind the link is not the name it was started as";
        EXPECT_NE(KillProcessesByName(AnsiToWide(link)), 0);
        EXPECT_FALSE(IsProcessRunning(AnsiToWide(link)));
    }
}

TEST(ProcessNamesOnLinux, AScriptGoesByItsOwnName) {
    TempFolder dir;
    const std::string script = Unique("examClientScript");
    const std::string stop = dir / "stop";
    ASSERT_TRUE(WriteFileBytes(dir / script, "#!/bin/sh\nn=0\nwhile [ ! -e '" + stop +
                                                  "' ] && [ $n -lt 600 ]; do sleep 0.05; n=$((n+1)); done\n"));
    ASSERT_TRUE(MakeExecutable(dir / script));
    Started started(stop);
    ASSERT_TRUE(started.Run(dir / script, ""));
    ASSERT_TRUE(started.Run(dir / script, ""));
    EXPECT_TRUE(IsProcessRunning(AnsiToWide(script)));
    EXPECT_NE(KillProcessesByName(AnsiToWide(script)), 0);
    EXPECT_FALSE(IsProcessRunning(AnsiToWide(script)));
}

TEST(ProcessNamesOnLinux, AFileThatCannotRunGivesNoHandle) {
    TempFolder dir;
    ASSERT_TRUE(WriteFileBytes(dir / "notes.exe", "not a program"));  // no execute permission
    EXPECT_FALSE(RunProgram(AnsiToWide(dir / "notes.exe"), L"", L""));
    ASSERT_TRUE(MakeExecutable(dir / "notes.exe"));
    EXPECT_FALSE(RunProgram(AnsiToWide(dir / "notes.exe"), L"", L"")) << "no valid program format";
    const std::string stub = dir / "stub.exe";
    ASSERT_TRUE(WriteFileBytes(stub, ReadFileBytes(HelperPath("tavrel_stub"))));
    ASSERT_TRUE(MakeExecutable(stub));
    EXPECT_FALSE(RunProgram(AnsiToWide(stub), L"", AnsiToWide(dir / "no-such-folder")))
        << "a working folder that does not exist";
}

}  // namespace
