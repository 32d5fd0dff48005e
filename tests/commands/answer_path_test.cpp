// Where command 2002 looks for an examinee's answer file, and that the server's three texts can never
// point it anywhere but below the answer folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "commands/command_channel.h"
#include "system/text.h"

namespace {

const std::string kExeDir = NativePath("C:\\A\\");

std::string Answer(const std::string& task, const std::string& batch, const std::string& examinee) {
    std::string path;
    return BuildAnswerFilePath(kExeDir, task, batch, examinee, &path) ? path : std::string("<refused>");
}

TEST(AnswerFilePath, IsJoinedFromTheAgentFolderAsItIs) {
    EXPECT_EQ(Answer("T1", "B1", "E1"), NativePath("C:\\A\\..\\ExamData\\nrvq\\T1\\B1\\E1\\answer\\E1.oef"));
    EXPECT_EQ(Answer("task 7", "2024-06", "E.1"),
              NativePath("C:\\A\\..\\ExamData\\nrvq\\task 7\\2024-06\\E.1\\answer\\E.1.oef"));
    EXPECT_EQ(Answer("考试", "批次", "考生"),
              NativePath("C:\\A\\..\\ExamData\\nrvq\\考试\\批次\\考生\\answer\\考生.oef"));
    // Names that only look like devices or parents are ordinary names.
    EXPECT_EQ(Answer("CONSOLE", "COM10", "E1"), NativePath("C:\\A\\..\\ExamData\\nrvq\\CONSOLE\\COM10\\E1\\answer\\E1.oef"));
    EXPECT_EQ(Answer(".", "B1", ".E1"), NativePath("C:\\A\\..\\ExamData\\nrvq\\.\\B1\\.E1\\answer\\.E1.oef"));
}

TEST(AnswerFilePath, TextsThatCouldLeadElsewhereAreRefused) {
    const std::string hostile[] = {
        "..", "...", "a..b", "..\\x", "../x", "x\\..", "x/..", "\\", "/", "\\\\host\\share", "C:", "C:x", "x:stream",
        std::string("a\0b", 3), "CON", "con", "Prn", "AUX", "NUL", "nul.oef", "CON .txt", "COM1", "com9", "LPT1",
        "lpt5.dat", "CONIN$", "CONOUT$",
    };
    for (const std::string& text : hostile) {
        SCOPED_TRACE(text);
        std::string path = "untouched";
        EXPECT_FALSE(BuildAnswerFilePath(kExeDir, text, "B1", "E1", &path));
        EXPECT_FALSE(BuildAnswerFilePath(kExeDir, "T1", text, "E1", &path));
        EXPECT_FALSE(BuildAnswerFilePath(kExeDir, "T1", "B1", text, &path));
    }
}

// Every combination of awkward pieces: a path that is accepted stays, once "." and ".." are resolved as
// Windows and Linux resolve them, below the answer folder.
TEST(AnswerFilePath, NoAcceptedPathLeavesTheAnswerFolder) {
    const std::vector<std::string> pieces = {"",     ".",   "..",  "...", ". .", " ..", ".. ", "x\\..", "x/..",
                                             "\\",   "/",   "C:",  "~",   "T1",  "*",   "?",   "%TEMP%", "$HOME",
                                             " ",    "\t", "a.b", ".x",  "COM1", "E1"};
    namespace fs = std::filesystem;
    // Backslashes count as separators here on every platform, as they do on Windows.
    auto normal = [](std::string path) {
        for (char& c : path)
            if (c == '\\') c = '/';
        return fs::path(path).lexically_normal().generic_string();
    };
    const std::string root = normal(kExeDir + "../ExamData/nrvq/");
    size_t accepted = 0;
    for (const std::string& task : pieces) {
        for (const std::string& batch : pieces) {
            for (const std::string& examinee : pieces) {
                std::string path;
                if (!BuildAnswerFilePath(kExeDir, task, batch, examinee, &path)) continue;
                ++accepted;
                std::string resolved = normal(path);
                EXPECT_EQ(resolved.compare(0, root.size(), root), 0)
                    << "[" << task << "][" << batch << "][" << examinee << "] -> " << resolved;
                EXPECT_EQ(resolved.find("/answer/"), resolved.rfind("/answer/")) << resolved;
            }
        }
    }
    EXPECT_GT(accepted, 1000u);
}

}  // namespace
