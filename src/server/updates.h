#pragma once
// The two updates a pass of the service workflow may make: the exam client installer when the server's
// version differs from ours, and the exam module package named after its MD5 digest.
#include <atomic>
#include <chrono>
#include <string>

#include "base/server_endpoint.h"

// An empty server version means the server has nothing to offer; any other difference, an older version
// included, is an update. Versions are compared byte for byte, never ordered.
bool ServerVersionNeedsUpdate(const std::string& serverVersion, const std::string& localVersion);

// Downloads "..\Temp\Tavrel_Setup.exe" beside the agent's folder and starts it silently into the
// installation root. True when the installer runs: the agent is then to end, which is the caller's to do. A
// failed download leaves no installer behind. When the download fails or the installer cannot be started the
// service goes on, and the same server version is not fetched again before InstallerRetryDelay has passed
// (false meanwhile). stop ends a download under way; a download it ended counts as no failure.
bool UpgradeExamVersion(const ServerEndpoint& server, const std::string& serverVersion,
                        const std::atomic<bool>* stop = nullptr);

// The wait after the n-th failed download or launch of one server version (n >= 1): 1 minute, doubling, at
// most 30.
std::chrono::milliseconds InstallerRetryDelay(int failedLaunches);
// The wait after the n-th failed download of one module digest: InstallerRetryDelay(n) spread at random
// over 50-150 %, so that a room whose downloads failed together does not come back together.
std::chrono::milliseconds ModuleRetryDelay(int failedDownloads);
// For tests: the unit of both schedules (the product's is one minute), and a fresh start without failures of
// either.
void SetInstallerRetryUnit(std::chrono::milliseconds unit);
void ForgetInstallerFailures();

// Makes "..\Modules\<MD5>.upk" hold the package the server names, downloading it when missing or damaged.
// The download goes to "<MD5>.upk.part", is continued there by later calls, and takes the package's name only
// once its digest matches. After a failed download the same digest is not fetched again before the wait has
// passed (ModuleRetryDelay; not ready meanwhile); a package unchanged in size and time since it was checked
// is not read again.
struct ModuleUpdate {
    bool ready = false;   // the package is present and its digest checked
    std::string package;  // "<MD5>.upk" whenever the server answered with a digest, ready or not; else ""
};
ModuleUpdate UpgradeExamModule(const ServerEndpoint& server, const std::atomic<bool>* stop = nullptr);
