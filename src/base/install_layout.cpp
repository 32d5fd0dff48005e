#include "base/install_layout.h"

#include <cstdio>

#include "system/text.h"

namespace {
std::string In(const std::string& folder, const std::string& name) { return folder + PathSeparator() + name; }
std::string LogFolder(const std::string& exeDir) { return InstallRootFolder(exeDir) + "log"; }
}  // namespace

std::string IniFilePath(const std::string& exeDir) { return exeDir + "shell.ini"; }

std::string InstallRootFolder(const std::string& exeDir) { return exeDir + ".." + PathSeparator(); }

std::string LogFilePath(const std::string& exeDir, const std::tm& localDate) {
    char name[64];
    std::snprintf(name, sizeof name, "TavrelAgent.%04d%02d%02d.log", localDate.tm_year + 1900, localDate.tm_mon + 1,
                  localDate.tm_mday);
    return In(SystemLogFolder(exeDir), name);
}

std::string SystemLogFolder(const std::string& exeDir) { return exeDir + "log"; }

std::string ExamClientLogPath(const std::string& exeDir) { return In(LogFolder(exeDir), "Tavrel.log"); }

std::string InstallTempFolder(const std::string& exeDir) { return InstallRootFolder(exeDir) + "Temp"; }
std::string InstallerDownloadPath(const std::string& exeDir) {
    return In(InstallTempFolder(exeDir), "Tavrel_Setup.exe");
}
std::string AnswerCopyFolder(const std::string& exeDir) { return In(InstallTempFolder(exeDir), "answer"); }

std::string ModulesFolder(const std::string& exeDir) { return InstallRootFolder(exeDir) + "Modules"; }
std::string ModulePackageName(const std::string& md5) { return md5 + ".upk"; }
std::string ModulePackagePath(const std::string& exeDir, const std::string& packageName) {
    return In(ModulesFolder(exeDir), packageName);
}

std::string ExamDataFolder(const std::string& exeDir) { return InstallRootFolder(exeDir) + "ExamData"; }
std::string AnswerFilesFolder(const std::string& exeDir) { return In(In(ExamDataFolder(exeDir), "nrvq"), ""); }
