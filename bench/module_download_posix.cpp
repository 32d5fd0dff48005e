// Downloads the room-server's module package through the agent's own DownloadExamModule and digests it with
// GetFileMd5, printing the time, speed and the process's peak resident memory after each step. The package
// is streamed to disk and read back in chunks, so the peak stays flat whatever its size.
//
//   module_download <http port> <target file> [expected md5]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/shared_values.h"
#include "server/server_api.h"
#include "system/file.h"
#include "system/text.h"

namespace {

long PeakRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;  // kilobytes on Linux
}

long long FileSize(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return 0;
    std::fseek(file, 0, SEEK_END);
    long long size = std::ftell(file);
    std::fclose(file);
    return size;
}

void Report(const char* step, double seconds, long long bytes) {
    double mib = static_cast<double>(bytes) / (1024.0 * 1024.0);
    std::printf("%-28s %8.2f s %9.1f MiB/s   peak RSS %ld KiB\n", step, seconds, seconds > 0 ? mib / seconds : 0.0,
                PeakRssKb());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <http port> <target file> [expected md5]\n", argv[0]);
        return 2;
    }
    UpdateShared([&](SharedValues& v) {
        v.ServerIp = "127.0.0.1";
        v.ServerPort = argv[1];
    });
    std::string target = argv[2];
    std::printf("%-28s %8s %15s   %s\n", "agent", "time", "speed", "memory");
    std::printf("%-28s %8s %15s   peak RSS %ld KiB\n", "before download", "", "", PeakRssKb());

    auto start = std::chrono::steady_clock::now();
    bool downloaded = DownloadExamModule(ServerEndpointOf(SnapshotShared()), target);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!downloaded) {
        std::fprintf(stderr, "download failed\n");
        return 1;
    }
    long long size = FileSize(target);
    Report("DownloadExamModule", seconds, size);

    start = std::chrono::steady_clock::now();
    std::string md5 = GetFileMd5(target);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Report("GetFileMd5", seconds, size);
    std::printf("size %lld bytes, MD5 %s\n", size, md5.c_str());
    if (argc > 3 && ToUpperAscii(argv[3]) != md5) {
        std::fprintf(stderr, "digest differs from the server's %s\n", argv[3]);
        return 1;
    }
    return 0;
}
