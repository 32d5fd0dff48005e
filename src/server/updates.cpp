#include "server/updates.h"

#include <mutex>

#include "base/shared_values.h"
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

// Failed launches of the installer for one server version. Only the service thread updates them; the lock is
// for the tests that drive the update from their own thread.
struct InstallerFailures {
    std::string version;
    int count = 0;
    std::chrono::steady_clock::time_point notBefore;
};
std::mutex g_failuresLock;
InstallerFailures g_failures;
std::chrono::milliseconds g_retryUnit = std::chrono::minutes(1);

// False while the wait after a failed launch of this version runs; a new version starts afresh.
bool InstallerAttemptDue(const std::string& serverVersion) {
    std::lock_guard<std::mutex> lock(g_failuresLock);
    if (g_failures.version != serverVersion) g_failures = InstallerFailures{serverVersion, 0, {}};
    return g_failures.count == 0 || std::chrono::steady_clock::now() >= g_failures.notBefore;
}

std::chrono::milliseconds DelayFor(int failedLaunches, std::chrono::milliseconds unit) {
    const int cap = 30;
    int units = 1;
    for (int i = 1; i < failedLaunches && units < cap; ++i) units *= 2;
    return unit * (units < cap ? units : cap);
}

std::chrono::milliseconds NoteFailedLaunch(const std::string& serverVersion) {
    std::lock_guard<std::mutex> lock(g_failuresLock);
    if (g_failures.version != serverVersion) g_failures = InstallerFailures{serverVersion, 0, {}};
    ++g_failures.count;
    std::chrono::milliseconds wait = DelayFor(g_failures.count, g_retryUnit);
    g_failures.notBefore = std::chrono::steady_clock::now() + wait;
    return wait;
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
    g_failures = InstallerFailures{};
}

bool ServerVersionNeedsUpdate(const std::string& serverVersion, const std::string& localVersion) {
    return !serverVersion.empty() && serverVersion != localVersion;
}

bool UpgradeExamVersion(const std::string& serverVersion) {
    // Every attempt fetches the whole installer: after a failed launch, a room of PCs retrying on every pass
    // would fill the link, so the same version waits (logged once, when the wait begins).
    if (!InstallerAttemptDue(serverVersion)) return false;
    std::string exeDir = ReadShared(&SharedValues::ExeDir);
    std::string tempDir = exeDir + NativePath("..\\Temp");
    std::string setupPath = exeDir + NativePath("..\\Temp\\Tavrel_Setup.exe");
    LogInfo("UpgradeExamVersion") << "开始下载" << setupPath;
    if (FileExists(setupPath) && !IsDirectory(setupPath)) RemoveFile(setupPath);
    // A missing Temp folder would make every download fail for ever.
    CreateFolders(tempDir);
    if (!DownloadTavrelSetup(setupPath)) {
        // A cut, refused or unwritable transfer leaves a damaged program that nobody may start.
        if (!IsDirectory(setupPath)) RemoveFile(setupPath);
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
            InstallerRefusal(check, publisher, serverVersion, ReadShared(&SharedValues::UpdateThumbprint));
        if (!refusal.empty()) {
            ReleaseHeldFile(setup);
            RemoveFile(setupPath);
            std::chrono::milliseconds wait = NoteFailedLaunch(serverVersion);
            LogInfo("UpgradeExamVersion") << "安装包签名校验失败，已删除：" << setupPath << " 签名者:\"" << check.signer
                                           << "\" 要求:\"" << publisher << "\" " << refusal << " " << check.detail;
            LogInfo("UpgradeExamVersion") << "版本" << serverVersion << "的安装包" << wait.count() / 1000.0
                                          << "秒后重新下载";
            return false;
        }
        LogInfo("UpgradeExamVersion") << "安装包签名校验通过：" << check.signer;
    }

    ProcessHandle installer = RunHeldProgram(setup, AnsiToWide("/S /D " + exeDir + NativePath("..\\")),
                                             AnsiToWide(tempDir));
    ReleaseHeldFile(setup);
    // The service stops only once the installer runs: stopping for an installer that never started would
    // leave the machine out of service, silently, until someone restarts the agent.
    if (!installer) {
        std::chrono::milliseconds wait = NoteFailedLaunch(serverVersion);
        LogInfo("UpgradeExamVersion") << "安装程序启动失败：" << setupPath;
        LogInfo("UpgradeExamVersion") << "版本" << serverVersion << "的安装包" << wait.count() / 1000.0
                                      << "秒后重新下载";
        return false;
    }
    ForgetInstallerFailures();
    StopFlag = true;
    CloseProcessHandle(installer);  // the installer is not waited for; the agent is about to close
    return true;
}

bool UpgradeExamModule() {
    std::string serverMd5;
    if (!GetExamModuleInfo(serverMd5)) {
        LogInfo("UpgradeExamModule") << "[UpgradeExamModule]获取服务端版本MD5失败";
        return false;
    }
    if (!IsMd5Text(serverMd5)) {
        LogInfo("UpgradeExamModule") << "[UpgradeExamModule]服务端MD5格式错误：" << serverMd5;
        return false;
    }
    serverMd5 = ToUpperAscii(serverMd5);
    std::string package = serverMd5 + ".upk";
    WriteShared(&SharedValues::ExamPackage, package);
    std::string exeDir = ReadShared(&SharedValues::ExeDir);
    std::string packagePath = exeDir + NativePath("..\\Modules\\") + package;

    if (FileExists(packagePath)) {
        if (GetFileMd5(packagePath) == serverMd5) return true;
        RemoveFile(packagePath);
    }
    LogInfo("UpgradeExamModule") << "更新考试流程文件：" << serverMd5;
    CreateFolders(exeDir + NativePath("..\\Modules"));
    if (!DownloadExamModule(packagePath)) {
        LogInfo("UpgradeExamModule") << "更新考试流程文件失败";
        return false;
    }
    // A cut or damaged download stays under the package name only until this check fails it, and the next
    // pass deletes it before fetching again.
    if (GetFileMd5(packagePath) == serverMd5) return true;
    LogInfo("UpgradeExamModule") << "下载upk文件MD5校验不通过";
    return false;
}
