#pragma once
// The body of tavrel_stub, a stand-in program the process tests start under any name they need
// (Tavrel.exe, keyboardHook.exe, ...). Options, then "--", then words it records as they arrived:
//   --record FILE   write the working folder, then each word after "--", one per line
//   --until FILE    live until FILE exists
//   --max-ms N      end after N ms whatever happens (default: 60000 with --until, else 0), so no stub
//                   outlives its test
//   --exit N        the exit code (default 0)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

inline bool StubFileExists(const std::string& path) { return std::ifstream(path).good(); }

inline int StubMain(const std::vector<std::string>& args, const std::string& workingFolder) {
    std::string record, until;
    long maxMs = -1;
    int exitCode = 0;
    std::vector<std::string> words;
    bool rest = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (rest) {
            words.push_back(a);
        } else if (a == "--") {
            rest = true;
        } else if (i + 1 < args.size() && a == "--record") {
            record = args[++i];
        } else if (i + 1 < args.size() && a == "--until") {
            until = args[++i];
        } else if (i + 1 < args.size() && a == "--max-ms") {
            maxMs = std::atol(args[++i].c_str());
        } else if (i + 1 < args.size() && a == "--exit") {
            exitCode = std::atoi(args[++i].c_str());
        }
    }
    if (!record.empty()) {
        std::ofstream out(record + ".part", std::ios::binary);
        out << workingFolder << "\n";
        for (const std::string& w : words) out << w << "\n";
        out.close();
        std::rename((record + ".part").c_str(), record.c_str());  // the test never reads half a record
    }
    if (maxMs < 0) maxMs = until.empty() ? 0 : 60000;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
    while (std::chrono::steady_clock::now() < end) {
        if (!until.empty() && StubFileExists(until)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return exitCode;
}
