// Linux only: the registry stand-in is a file an operator reads, so its exact text is part of the deal.
#include <gtest/gtest.h>

#include <string>

#include "support/graphical_session.h"
#include "support/test_support.h"
#include "system/desktop.h"
#include "system/registry_file_posix.h"

namespace {

using tavrel::test::NoGraphicalSession;
using tavrel::test::ReadFileBytes;
using tavrel::test::TempFolder;
using tavrel::test::WriteFileBytes;

class RegistryFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetRegistryFolder(m_dir.Path() + "/");
    }
    void TearDown() override { SetRegistryFolder(""); }
    std::string File() const { return m_dir / "registry.reg"; }
    TempFolder m_dir;
};

TEST_F(RegistryFileTest, LivesBesideTheAgent) { EXPECT_EQ(RegistryFilePath(), File()); }

TEST_F(RegistryFileTest, WindowsKeysOffReadsAsARegistryExport) {
    ASSERT_TRUE(DisableWindowsKeys());
    EXPECT_EQ(ReadFileBytes(File()),
              "Windows Registry Editor Version 5.00\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Keyboard Layout]\n"
              "\"Scancode Map\"=hex:00,00,00,00,00,00,00,00,03,00,00,00,00,00,5b,e0,00,00,5c,e0,00,00,00,00\n");
    ASSERT_TRUE(EnableWindowsKeys());
    EXPECT_EQ(ReadFileBytes(File()),
              "Windows Registry Editor Version 5.00\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Keyboard Layout]\n")
        << "the key stays, as the registry keeps it";
}

TEST_F(RegistryFileTest, RestoredPoliciesReadAsDwordZeroInOrder) {
    NoGraphicalSession none;
    ASSERT_TRUE(RestoreDesktop());
    EXPECT_EQ(ReadFileBytes(File()),
              "Windows Registry Editor Version 5.00\n"
              "\n"
              "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System]\n"
              "\"DisableTaskmgr\"=dword:00000000\n"
              "\"DisableLockWorkstation\"=dword:00000000\n"
              "\"DisableChangePassword\"=dword:00000000\n"
              "\"DisableSwitchUserOption\"=dword:00000000\n"
              "\n"
              "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer]\n"
              "\"NoChangeStartMenu\"=dword:00000000\n"
              "\"NoClose\"=dword:00000000\n"
              "\"NoLogOff\"=dword:00000000\n"
              "\"NoRun\"=dword:00000000\n"
              "\"NoSetFolders\"=dword:00000000\n");
}

TEST_F(RegistryFileTest, AnOperatorsFileKeepsWhatTheAgentDoesNotTouch) {
    // Written by hand: other case in the key path, a long list over two lines, a text value, comments.
    ASSERT_TRUE(WriteFileBytes(File(),
                               "Windows Registry Editor Version 5.00\r\n"
                               "; kept by the room's administrator\r\n"
                               "\r\n"
                               "[HKEY_LOCAL_MACHINE\\system\\CurrentControlSet\\Control\\keyboard layout\\]\r\n"
                               "\"Scancode Map\"=hex:00,00,00,00,00,00,00,00,02,00,00,00,1d,00,\\\r\n"
                               "  3a,00,00,00,00,00\r\n"
                               "\"Note\"=\"caps is \\\"ctrl\\\"\"\r\n"
                               "\r\n"
                               "[HKEY_CURRENT_USER\\Software\\Room]\r\n"
                               "\"Seat\"=dword:0000002a\r\n"
                               "@=hex(7):41,00,00,00\r\n"));
    {
        RegistryFile registry(RegistryFilePath());
        RegistryValue map;
        ASSERT_TRUE(registry.QueryValue("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Keyboard Layout",
                                        "scancode map", &map));
        EXPECT_EQ(map.type, kRegBinary);
        EXPECT_EQ(map.bytes, std::string("\0\0\0\0\0\0\0\0\2\0\0\0\x1d\0\x3a\0\0\0\0\0", 20));
    }
    ASSERT_TRUE(DisableWindowsKeys());
    EXPECT_EQ(ReadFileBytes(File()),
              "Windows Registry Editor Version 5.00\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\system\\CurrentControlSet\\Control\\keyboard layout]\n"
              "\"Scancode Map\"=hex:00,00,00,00,00,00,00,00,03,00,00,00,00,00,5b,e0,00,00,5c,e0,00,00,00,00\n"
              "\"Note\"=\"caps is \\\"ctrl\\\"\"\n"
              "\n"
              "[HKEY_CURRENT_USER\\Software\\Room]\n"
              "\"Seat\"=dword:0000002a\n"
              "@=hex(7):41,00,00,00\n");
}

TEST_F(RegistryFileTest, BrokenLinesAreDroppedAndNeverTrusted) {
    struct Row {
        const char* line;
        bool kept;
    } rows[] = {
        {"\"Empty\"=dword:", false},
        {"\"Long\"=dword:123456789", false},
        {"\"Letters\"=dword:0000zz00", false},
        {"\"BadHex\"=hex:zz,00", false},
        {"\"Wide\"=hex:100", false},
        {"\"NoType\"=hex():00", false},
        {"\"OpenType\"=hex(7", false},
        {"\"Open\"=\"no end", false},
        {"NoQuotes=dword:00000001", false},
        {"\"Deleted\"=-", false},
        {"\"Good\"=dword:00000001", true},
        {"@=hex:", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        ASSERT_TRUE(WriteFileBytes(File(), std::string("[HKEY_CURRENT_USER\\Room]\n") + row.line + "\n"));
        RegistryFile registry(RegistryFilePath());
        std::string text = registry.Text();
        EXPECT_EQ(text.find(row.line) != std::string::npos, row.kept) << text;
    }
    // A list that announces a further line and then ends with the file.
    ASSERT_TRUE(WriteFileBytes(File(), "[HKEY_CURRENT_USER\\Room]\n\"Cut\"=hex:01,\\\n"));
    RegistryFile registry(RegistryFilePath());
    RegistryValue value;
    EXPECT_FALSE(registry.QueryValue("HKEY_CURRENT_USER\\Room", "Cut", &value));
    EXPECT_TRUE(registry.KeyExists("HKEY_CURRENT_USER\\Room"));
}

TEST_F(RegistryFileTest, AnUnwritableFolderFailsTheRestoreButNotTheKeyCommands) {
    SetRegistryFolder(m_dir / "no-such-folder/");
    NoGraphicalSession none;
    EXPECT_FALSE(RestoreDesktop());
    EXPECT_TRUE(DisableWindowsKeys());
    EXPECT_TRUE(EnableWindowsKeys());
}

TEST_F(RegistryFileTest, WithoutADisplayTheHotKeyCannotBeSet) {
    NoGraphicalSession none;
    EXPECT_FALSE(SetShiftLatchHotKey(true));
    EXPECT_FALSE(SetShiftLatchHotKey(false));
}

}  // namespace
