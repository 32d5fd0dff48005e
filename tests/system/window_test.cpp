#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "support/graphical_session.h"
#include "support/test_support.h"
#include "system/file.h"
#include "system/process.h"
#include "system/text.h"

namespace {

using tavrel::test::GraphicalSession;
using tavrel::test::HelperPath;
using tavrel::test::NoGraphicalSession;
using tavrel::test::ReadFileBytes;
using tavrel::test::TempFolder;

constexpr unsigned kPatienceMs = 20000;
constexpr unsigned kLifetimeMs = 30000;

// Titles are UTF-8, as "shell.ini" holds them; paths are in the ANSI code page.
std::wstring Wide(const std::string& ansi) { return AnsiToWide(ansi); }

std::string WaitForText(const std::string& path, const std::string& unlike, unsigned ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::string text = ReadFileBytes(path);
    while (text == unlike && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        text = ReadFileBytes(path);
    }
    return text;
}

// A title_window helper showing `title`; its record file says "ready", then what closed it.
class TitledWindow {
public:
    TitledWindow(const TempFolder& dir, const std::string& title, const std::string& recordName)
        : m_record(dir / recordName) {
        const std::wstring parameters =
            L"\"" + Utf8ToWide(title) + L"\" \"" + Wide(m_record) + L"\" " + std::to_wstring(kLifetimeMs);
        m_process = RunProgram(Wide(HelperPath("title_window")), parameters, L"");
    }
    ~TitledWindow() {
        if (!m_process) return;
        WaitProcessEnd(m_process, nullptr, kLifetimeMs + kPatienceMs);  // a window left open ends by itself
        CloseProcessHandle(m_process);
    }
    bool Shown() { return m_process && WaitForText(m_record, "", kPatienceMs) == "ready\n"; }
    // What the window recorded after being asked to close, or "ready\n" when nothing came within ms.
    std::string Outcome(unsigned ms) { return WaitForText(m_record, "ready\n", ms); }

private:
    std::string m_record;
    ProcessHandle m_process{};
};

std::string UniqueTitle() {
    std::mt19937 random(static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    return u8"考试客户端 Tavrel " + std::to_string(random() % 1000000);
}

TEST(CloseWindowByTitle, AsksTheWindowOfThatTitleToCloseWithMark16) {
    GraphicalSession session;
    if (!session.Ready()) GTEST_SKIP() << "no desktop for windows: " << session.WhyNot();
    TempFolder dir;
    const std::string title = UniqueTitle();
    struct Row {
        std::string asked;
        bool closes;
    } rows[] = {
        {"\t" + title, false},          // a tab is not a blank: it stays part of the searched title
        {title + "\t", false},
        {title.substr(0, title.size() - 1), false},
        {"", false},
        {"   ", false},                 // blanks alone: no title at all, not "any untitled window"
        {"   " + title + "  ", true},   // blanks around are dropped
    };
    TitledWindow window(dir, title, "record.txt");
    ASSERT_TRUE(window.Shown());
    for (const Row& row : rows) {
        SCOPED_TRACE("[" + row.asked + "]");
        CloseWindowByTitle(row.asked);
        if (row.closes)
            EXPECT_EQ(window.Outcome(kPatienceMs), "close 16\n");
        else
            EXPECT_EQ(window.Outcome(300), "ready\n") << "left alone";
    }
}

TEST(CloseWindowByTitle, AnAgentWithoutADisplayClosesNothing) {
    if (!NoGraphicalSession().Ready()) GTEST_SKIP() << "a Windows program cannot be without its desktop";
    GraphicalSession session;
    if (!session.Ready()) GTEST_SKIP() << "no desktop for windows: " << session.WhyNot();
    TempFolder dir;
    const std::string title = UniqueTitle();
    TitledWindow window(dir, title, "record.txt");
    ASSERT_TRUE(window.Shown());
    {
        NoGraphicalSession none;
        CloseWindowByTitle(title);
        EXPECT_EQ(window.Outcome(300), "ready\n");
    }
    CloseWindowByTitle(title);
    EXPECT_EQ(window.Outcome(kPatienceMs), "close 16\n");
}

}  // namespace
