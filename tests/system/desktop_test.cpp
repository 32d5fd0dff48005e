#include <gtest/gtest.h>

#include <string>

#include "support/graphical_session.h"
#include "support/registry_probe.h"
#include "support/test_support.h"
#include "system/desktop.h"
#include "system/text.h"

namespace {

using tavrel::test::GraphicalSession;
using tavrel::test::kTypeBinary;
using tavrel::test::kTypeDword;
using tavrel::test::ReadRegistryEntry;
using tavrel::test::RegistryEntry;
using tavrel::test::RegistryRoot;
using tavrel::test::TempFolder;
using tavrel::test::WriteRegistryEntry;

const std::string kSystem = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
const std::string kExplorer = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
const std::string kKeyboardLayout = "SYSTEM\\CurrentControlSet\\Control\\Keyboard Layout";

std::string Bytes(std::initializer_list<unsigned> values) {
    std::string bytes;
    for (unsigned v : values) bytes += static_cast<char>(v);
    return bytes;
}

const std::string kZero = Bytes({0, 0, 0, 0});
const std::string kOne = Bytes({1, 0, 0, 0});
// Both logo keys (E05B, E05C) mapped to nothing.
const std::string kWindowsKeysOff =
    Bytes({0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0x5B, 0xE0, 0, 0, 0x5C, 0xE0, 0, 0, 0, 0});
// An administrator's own map: Caps Lock (3A) as left Ctrl (1D).
const std::string kCapsAsCtrl = Bytes({0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0x1D, 0, 0x3A, 0, 0, 0, 0, 0});

struct Policy {
    const std::string& key;
    const char* name;
} const kPolicies[] = {
    {kSystem, "DisableTaskmgr"},   {kSystem, "DisableLockWorkstation"}, {kSystem, "DisableChangePassword"},
    {kSystem, "DisableSwitchUserOption"}, {kExplorer, "NoChangeStartMenu"}, {kExplorer, "NoClose"},
    {kExplorer, "NoLogOff"},       {kExplorer, "NoRun"},                {kExplorer, "NoSetFolders"},
};

// On Linux the registry stand-in lives beside the agent; each test gets its own agent folder.
class DesktopTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetRegistryFolder(m_dir.Path() + PathSeparator());
    }
    void TearDown() override {
        EnableWindowsKeys();  // never leave the logo keys mapped off in the machine's registry
        SetRegistryFolder("");
    }
    TempFolder m_dir;
};

TEST_F(DesktopTest, RestoreClearsTheNinePoliciesOfALockedDesktop) {
    for (const Policy& p : kPolicies)
        ASSERT_TRUE(WriteRegistryEntry(RegistryRoot::CurrentUser, p.key, p.name, kTypeDword, kOne)) << p.name;
    EXPECT_TRUE(RestoreDesktop());
    for (const Policy& p : kPolicies) {
        RegistryEntry e = ReadRegistryEntry(RegistryRoot::CurrentUser, p.key, p.name);
        EXPECT_TRUE(e.found) << p.name;
        EXPECT_EQ(e.type, kTypeDword) << p.name;
        EXPECT_EQ(e.bytes, kZero) << p.name;
    }
}

TEST_F(DesktopTest, RestoreOnANeverLockedDesktopWritesTheValuesAsZero) {
    EXPECT_TRUE(RestoreDesktop());
    EXPECT_TRUE(RestoreDesktop()) << "twice in a row";
    for (const Policy& p : kPolicies) {
        RegistryEntry e = ReadRegistryEntry(RegistryRoot::CurrentUser, p.key, p.name);
        EXPECT_TRUE(e.found && e.type == kTypeDword && e.bytes == kZero) << p.name;
    }
}

TEST_F(DesktopTest, WindowsKeysOffWritesTheExactScancodeMap) {
    struct Row {
        const char* before;
        bool hadMap;
        std::string map;
    } rows[] = {
        {"no map yet", false, ""},
        {"an administrator's map for other keys", true, kCapsAsCtrl},
        {"already off", true, kWindowsKeysOff},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.before);
        EnableWindowsKeys();
        if (row.hadMap) {
            ASSERT_TRUE(WriteRegistryEntry(RegistryRoot::LocalMachine, kKeyboardLayout, "Scancode Map", kTypeBinary,
                                           row.map));
        }
        EXPECT_TRUE(DisableWindowsKeys());
        RegistryEntry e = ReadRegistryEntry(RegistryRoot::LocalMachine, kKeyboardLayout, "Scancode Map");
        ASSERT_TRUE(e.found);
        EXPECT_EQ(e.type, kTypeBinary);
        EXPECT_EQ(e.bytes.size(), 24u);
        EXPECT_EQ(e.bytes, kWindowsKeysOff);
    }
}

TEST_F(DesktopTest, WindowsKeysOnRemovesTheMapAndSucceedsWithoutOne) {
    ASSERT_TRUE(DisableWindowsKeys());
    EXPECT_TRUE(EnableWindowsKeys());
    EXPECT_FALSE(ReadRegistryEntry(RegistryRoot::LocalMachine, kKeyboardLayout, "Scancode Map").found);
    EXPECT_TRUE(EnableWindowsKeys()) << "no map to remove";
    EXPECT_FALSE(ReadRegistryEntry(RegistryRoot::LocalMachine, kKeyboardLayout, "Scancode Map").found);

    ASSERT_TRUE(WriteRegistryEntry(RegistryRoot::LocalMachine, kKeyboardLayout, "Scancode Map", kTypeBinary,
                                   kCapsAsCtrl));
    EXPECT_TRUE(EnableWindowsKeys());
    EXPECT_FALSE(ReadRegistryEntry(RegistryRoot::LocalMachine, kKeyboardLayout, "Scancode Map").found)
        << "an administrator's own map goes as well";
}

TEST_F(DesktopTest, ShiftLatchHotKeyAlreadyAsAskedNeedsNoChange) {
    GraphicalSession session;
    if (!session.Ready()) GTEST_SKIP() << "no desktop for the keyboard settings: " << session.WhyNot();
    bool before = false, after = false;
    if (!session.ReadShiftLatchHotKey(&before)) GTEST_SKIP() << "this desktop has no latching-modifier settings";
    EXPECT_TRUE(SetShiftLatchHotKey(before));
    ASSERT_TRUE(session.ReadShiftLatchHotKey(&after));
    EXPECT_EQ(after, before);
}

TEST_F(DesktopTest, ShiftLatchHotKeyEndsUpAsAsked) {
    GraphicalSession session;
    if (!session.Ready()) GTEST_SKIP() << "no desktop for the keyboard settings: " << session.WhyNot();
    bool on = false;
    if (!session.ReadShiftLatchHotKey(&on)) GTEST_SKIP() << "this desktop has no latching-modifier settings";
    if (!session.WriteShiftLatchHotKey(!on)) {
        // A desktop that keeps the setting fixed (Wine): asking for the other state must say it failed.
        EXPECT_FALSE(SetShiftLatchHotKey(!on));
        bool after = false;
        ASSERT_TRUE(session.ReadShiftLatchHotKey(&after));
        EXPECT_EQ(after, on);
        GTEST_SKIP() << "this desktop cannot change the latching-modifier setting; only the refusal was checked";
    }
    struct Row {
        bool before;
        bool asked;
    } rows[] = {{false, true}, {true, true}, {true, false}, {false, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.before ? "on" : "off") + " -> " + (row.asked ? "on" : "off"));
        ASSERT_TRUE(session.WriteShiftLatchHotKey(row.before));
        ASSERT_TRUE(session.ReadShiftLatchHotKey(&on));
        ASSERT_EQ(on, row.before);
        EXPECT_TRUE(SetShiftLatchHotKey(row.asked));
        ASSERT_TRUE(session.ReadShiftLatchHotKey(&on));
        EXPECT_EQ(on, row.asked);
    }
    // The restore after an exam turns it back on.
    ASSERT_TRUE(session.WriteShiftLatchHotKey(false));
    RestoreDesktop();
    ASSERT_TRUE(session.ReadShiftLatchHotKey(&on));
    EXPECT_TRUE(on);
}

}  // namespace
