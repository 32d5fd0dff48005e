#include "server/updates.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <random>

#include "base/shared_values.h"
#include "base/install_layout.h"
#include "base/logger.h"
#include "server/installer_trust.h"
#include "server/server_api.h"
#include "system/file.h"
#include "system/held_file.h"
#include "system/process.h"
#include "system/text.h"

namespace {

// The digest becomes a file name and decides which file is deleted: only 32 hex digits may do that, never a
// text that could climb out of the Modules folder.
bool IsMd5Text(const std::string& text) {
    if (text.size() != 32) return false;
    for (char c : text) {
        bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
        if (!hex) return false;
    }
    return true;
}

// Failed attempts at one installer version or one module digest. Only the service thread updates them; the
// lock is for the tests that drive the updates from their own thread.
struct UpdateFailures {
    std::string key;  // the server version, or the module's digest
    int count = 0;
    std::chrono::steady_clock::time_point notBefore;
};
std::mutex g_failuresLock;
UpdateFailures g_failures;
UpdateFailures g_moduleFailures;
std::chrono::milliseconds g_retryUnit = std::chrono::minutes(1);

// False while the wait after a failure of this key runs; a new version or digest starts afresh.
bool AttemptDue(UpdateFailures& failures, const std::string& key) {
    std::lock_guard<std::mutex> lock(g_failuresLock);
    if (failures.key != key) failures = UpdateFailures{key, 0, {}};
    return failures.count == 0 || std::chrono::steady_clock::now() >= failures.notBefore;
}

std::chrono::milliseconds DelayFor(int failedLaunches, std::chrono::milliseconds unit) {
    const int cap = 30;
    int units = 1;
    for (int i = 1; i < failedLaunches && units < cap; ++i) units *= 2;
    return unit * (units < cap ? units : cap);
}

// A room whose module downloads failed together (a cut link, a server restart) must not come back together:
// each PC waits between half and one and a half times the step.
std::chrono::milliseconds Spread(std::chrono::milliseconds wait) {
    static std::mutex lock;
    static std::mt19937_64 random(std::random_device{}() ^
                                  static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::lock_guard<std::mutex> guard(lock);
    double factor = std::uniform_real_distribution<double>(0.5, 1.5)(random);
    return std::chrono::milliseconds(std::llround(static_cast<double>(wait.count()) * factor));
}

std::chrono::milliseconds NoteFailure(UpdateFailures& failures, const std::string& key, bool spread = false) {
    std::lock_guard<std::mutex> lock(g_failuresLock);
    if (failures.key != key) failures = UpdateFailures{key, 0, {}};
    ++failures.count;
    std::chrono::milliseconds wait = DelayFor(failures.count, g_retryUnit);
    if (spread) wait = Spread(wait);
    failures.notBefore = std::chrono::steady_clock::now() + wait;
    return wait;
}

bool InstallerAttemptDue(const std::string& serverVersion) { return AttemptDue(g_failures, serverVersion); }

// The wait is logged once, when it begins; the passes that meet it stay silent.
void NoteFailedInstaller(const std::string& serverVersion) {
    std::chrono::milliseconds wait = NoteFailure(g_failures, serverVersion);
    LogInfo("UpgradeExamVersion") << "版本" << serverVersion << "的安装包" << wait.count() / 1000.0 << "秒后重新下载";
}

void NoteFailedModule(const std::string& digest) {
    std::chrono::milliseconds wait = NoteFailure(g_moduleFailures, digest, true);
    LogInfo("UpgradeExamModule") << "考试流程文件" << digest << wait.count() / 1000.0 << "秒后重新下载";
}

// Digesting a package of hundreds of megabytes on every pass would read terabytes in a day when the exam
// client cannot start: a package unchanged in size and time since its check keeps its digest.
struct CheckedPackage {
    std::string path;
    FileStamp stamp;
    std::string digest;
};
std::mutex g_checkedLock;
CheckedPackage g_checked;

// A package renamed into place after its check keeps its size and time: the check need not be read again.
void RememberDigest(const std::string& path, const std::string& digest) {
    FileStamp stamp;
    if (!GetFileStamp(path, &stamp)) return;
    std::lock_guard<std::mutex> lock(g_checkedLock);
    g_checked = CheckedPackage{path, stamp, digest};
}

std::string PackageDigest(const std::string& path) {
    FileStamp stamp;
    bool stamped = GetFileStamp(path, &stamp);
    {
        std::lock_guard<std::mutex> lock(g_checkedLock);
        if (stamped && g_checked.path == path && g_checked.stamp == stamp) return g_checked.digest;
    }
    std::string digest = GetFileMd5(path);
    std::lock_guard<std::mutex> lock(g_checkedLock);
    if (stamped) g_checked = CheckedPackage{path, stamp, digest};
    return digest;
}

}  // namespace

std::chrono::milliseconds InstallerRetryDelay(int failedLaunches) {
    std::lock_guard<std::mutex> lock(g_failuresLock);
    return DelayFor(failedLaunches, g_retryUnit);
}

std::chrono::milliseconds ModuleRetryDelay(int failedDownloads) {
    std::lock_guard<std::mutex> lock(g_failuresLock);
    return Spread(DelayFor(failedDownloads, g_retryUnit));
}

void SetInstallerRetryUnit(std::chrono::milliseconds unit) {
    std::lock_guard<std::mutex> lock(g_failuresLock);
    g_retryUnit = unit;
}

void ForgetInstallerFailures() {
    std::lock_guard<std::mutex> lock(g_failuresLock);
    g_failures = UpdateFailures{};
    g_moduleFailures = UpdateFailures{};
}

bool ServerVersionNeedsUpdate(const std::string& serverVersion, const std::string& localVersion) {
    return !serverVersion.empty() && serverVersion != localVersion;
}

bool UpgradeExamVersion(const ServerEndpoint& server, const std::string& serverVersion,
                        const std::atomic<bool>* stop) {
    // Every attempt fetches the whole installer: after a failed launch, a room of PCs retrying on every pass
    // would fill the link, so the same version waits (logged once, when the wait begins).
    if (!InstallerAttemptDue(serverVersion)) return false;
    std::string exeDir = ReadShared(&SharedValues::ExeDir);
    std::string tempDir = InstallTempFolder(exeDir);
    std::string setupPath = InstallerDownloadPath(exeDir);
    LogInfo("UpgradeExamVersion") << "开始下载" << setupPath;
    if (FileExists(setupPath) && !IsDirectory(setupPath)) RemoveFile(setupPath);
    // A missing Temp folder would make every download fail for ever.
    CreateFolders(tempDir);
    if (!DownloadTavrelSetup(server, setupPath, stop)) {
        // A cut, refused or unwritable transfer leaves a damaged program that nobody may start.
        if (!IsDirectory(setupPath)) RemoveFile(setupPath);
        // Every PC of a room fetching the whole installer again on every pass keeps the link full for
        // nothing; an agent that is ending is no failure of the download.
        if (!(stop && *stop)) NoteFailedInstaller(serverVersion);
        return false;
    }
    LogInfo("UpgradeExamVersion") << "更新包下载完成";

    // One handle from here until the installer has started: the bytes checked are the bytes that run.
    MakeExecutable(setupPath);
    HeldFile setup = HoldFile(setupPath);
    // Every PC runs the installer as administrator: with a publisher configured, whoever can pose as the
    // server must not be able to hand the room a program of its own.
    // A signed agent without a configured publisher takes updates of its own signer only.
    UpdatePolicy policy = EffectiveUpdatePolicy(ReadShared(&SharedValues::UpdatePublisher),
                                                ReadShared(&SharedValues::UpdateThumbprint), OwnSignature());
    const std::string& publisher = policy.publisher;
    if (!publisher.empty()) {
        SignatureCheck check = RunInstallerSignatureCheck(setup);
        std::string refusal = InstallerRefusal(check, publisher, serverVersion, policy.thumbprint,
                                               ReadShared(&SharedValues::LocalVersion));
        if (!refusal.empty()) {
            ReleaseHeldFile(setup);
            RemoveFile(setupPath);
            LogInfo("UpgradeExamVersion") << "安装包签名校验失败，已删除：" << setupPath << " 签名者:\"" << check.signer
                                           << "\" 要求:\"" << publisher << "\" " << refusal << " " << check.detail;
            NoteFailedInstaller(serverVersion);
            return false;
        }
        LogInfo("UpgradeExamVersion") << "安装包签名校验通过：" << check.signer;
    }

    // The installer runs as SYSTEM and unpacks its plug-ins into its TEMP: the agent's Temp, which only
    // administrators may write, never SYSTEM's, which every user may.
    ProcessHandle installer;
    {
        TempFolderForPrograms temp(tempDir);
        installer = RunHeldProgram(setup, AnsiToWide("/S /D " + InstallRootFolder(exeDir)), AnsiToWide(tempDir));
    }
    ReleaseHeldFile(setup);
    // The service stops only once the installer runs: stopping for an installer that never started would
    // leave the machine out of service, silently, until someone restarts the agent.
    if (!installer) {
        LogInfo("UpgradeExamVersion") << "安装程序启动失败：" << setupPath;
        NoteFailedInstaller(serverVersion);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(g_failuresLock);
        g_failures = UpdateFailures{};
    }
    CloseProcessHandle(installer);  // the installer is not waited for; the agent is about to close
    return true;
}

ModuleUpdate UpgradeExamModule(const ServerEndpoint& server, const std::atomic<bool>* stop) {
    ModuleUpdate update;
    std::string serverMd5;
    if (!GetExamModuleInfo(server, serverMd5)) {
        LogInfo("UpgradeExamModule") << "[UpgradeExamModule]获取服务端版本MD5失败";
        return update;
    }
    if (!IsMd5Text(serverMd5)) {
        LogInfo("UpgradeExamModule") << "[UpgradeExamModule]服务端MD5格式错误：" << serverMd5;
        return update;
    }
    serverMd5 = ToUpperAscii(serverMd5);
    update.package = ModulePackageName(serverMd5);
    std::string exeDir = ReadShared(&SharedValues::ExeDir);
    std::string packagePath = ModulePackagePath(exeDir, update.package);

    if (FileExists(packagePath)) {
        update.ready = PackageDigest(packagePath) == serverMd5;
        if (update.ready) return update;
        RemoveFile(packagePath);
    }
    // A package of hundreds of megabytes that failed is not fetched again on every pass by a whole room.
    if (!AttemptDue(g_moduleFailures, serverMd5)) return update;
    LogInfo("UpgradeExamModule") << "更新考试流程文件：" << serverMd5;
    CreateFolders(ModulesFolder(exeDir));
    // The bytes arrive beside the package, and only whole and checked do they take its name: a cut, stopped
    // or failed transfer never leaves a file under the name the exam client is given, and what arrived is
    // continued by the next attempt.
    std::string partPath = packagePath + ".part";
    if (!DownloadExamModule(server, partPath, stop)) {
        LogInfo("UpgradeExamModule") << "更新考试流程文件失败";
        if (!(stop && *stop)) NoteFailedModule(serverMd5);
        return update;
    }
    std::string digest = GetFileMd5(partPath);
    if (digest != serverMd5) {
        LogInfo("UpgradeExamModule") << "下载upk文件MD5校验不通过";
        RemoveFile(partPath);  // wrong bytes are no start to continue from
        NoteFailedModule(serverMd5);
        return update;
    }
    if (std::rename(partPath.c_str(), packagePath.c_str()) != 0) {
        LogInfo("UpgradeExamModule") << "考试流程文件改名失败：" << partPath;
        RemoveFile(partPath);
        NoteFailedModule(serverMd5);
        return update;
    }
    RememberDigest(packagePath, digest);
    update.ready = true;
    return update;
}
