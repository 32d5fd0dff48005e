#include "server/updates.h"

#include <mutex>

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

std::chrono::milliseconds NoteFailure(UpdateFailures& failures, const std::string& key) {
    std::lock_guard<std::mutex> lock(g_failuresLock);
    if (failures.key != key) failures = UpdateFailures{key, 0, {}};
    ++failures.count;
    std::chrono::milliseconds wait = DelayFor(failures.count, g_retryUnit);
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
    std::chrono::milliseconds wait = NoteFailure(g_moduleFailures, digest);
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
    std::string publisher = ReadShared(&SharedValues::UpdatePublisher);
    if (!publisher.empty()) {
        SignatureCheck check = RunInstallerSignatureCheck(setup);
        std::string refusal =
            InstallerRefusal(check, publisher, serverVersion, ReadShared(&SharedValues::UpdateThumbprint),
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
    if (!DownloadExamModule(server, packagePath, stop)) {
        LogInfo("UpgradeExamModule") << "更新考试流程文件失败";
        if (!(stop && *stop)) NoteFailedModule(serverMd5);
        return update;
    }
    // A cut or damaged download stays under the package name only until this check fails it, and the next
    // attempt deletes it before fetching again.
    update.ready = PackageDigest(packagePath) == serverMd5;
    if (update.ready) return update;
    LogInfo("UpgradeExamModule") << "下载upk文件MD5校验不通过";
    NoteFailedModule(serverMd5);
    return update;
}
