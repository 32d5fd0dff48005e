#pragma once
// The body of exam_client_stub, a stand-in for the exam client. It is copied beside the agent as Tavrel.exe
// (or Other.exe) and started by the agent like the real one:
//   - appends one block per start to "exam_client_calls.log" in its own folder:
//       call <pid>
//       name=<its file name>   cwd=<working folder>   line=<parameters as one text>   arg=<each word>
//       user=<the account it runs in> (Windows)
//       end
//     and "ended <pid>" once it has finished on its own (a killed client leaves no such line);
//   - shows the same on standard output when TAVREL_EXAM_CLIENT_ECHO is set (the demo sets it);
//   - lives as two processes of its own name, as the real exam client does: the first starts a copy of
//     itself that ends as soon as the first lets go of it or dies;
//   - stays "stay_ms" milliseconds (from "exam_client_control.txt" beside it, default 4000), or until a file
//     "exam_client_release" appears beside it; then the copy ends first and the first one last, so when the
//     agent sees its client end, no process of that name is left.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace exam_client_stub {

constexpr const char* kCopyVariable = "TAVREL_EXAM_CLIENT_COPY";
constexpr long kDefaultStayMs = 4000;
constexpr long kLongestStayMs = 10 * 60 * 1000;  // no stand-in outlives a forgotten test by much

inline bool FileThere(const std::string& path) { return std::ifstream(path).good(); }

// "stay_ms=N" from the control file; the default when it is missing or unreadable.
inline long StayMs(const std::string& folder) {
    std::ifstream control(folder + "exam_client_control.txt");
    std::string line;
    while (std::getline(control, line)) {
        if (line.compare(0, 8, "stay_ms=") != 0) continue;
        long value = std::strtol(line.c_str() + 8, nullptr, 10);
        if (value >= 0) return value > kLongestStayMs ? kLongestStayMs : value;
    }
    return kDefaultStayMs;
}

inline std::string CallRecord(long pid, const std::string& name, const std::string& workingFolder,
                              const std::string& line, const std::vector<std::string>& words,
                              const std::string& account = std::string()) {
    std::ostringstream text;
    text << "call " << pid << "\n"
         << "name=" << name << "\n"
         << "cwd=" << workingFolder << "\n"
         << "line=" << line << "\n";
    for (const std::string& word : words) text << "arg=" << word << "\n";
    if (!account.empty()) text << "user=" << account << "\n";
    text << "end\n";
    return text.str();
}

// Waits out the stay, or less when the release file turns up. The look grows from every 20 ms to every
// 250 ms: a test's quick release is seen at once, and a room of a thousand clients in a long exam does not
// wake the machine 50 000 times a second.
inline void Stay(const std::string& folder) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(StayMs(folder));
    const std::string release = folder + "exam_client_release";
    long waitMs = 20;
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= end || FileThere(release)) return;
        std::this_thread::sleep_for(std::min(std::chrono::milliseconds(waitMs),
                                             std::chrono::duration_cast<std::chrono::milliseconds>(end - now)));
        waitMs = std::min(waitMs * 5 / 4 + 1, 250L);
    }
}

}  // namespace exam_client_stub
