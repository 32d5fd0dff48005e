#pragma once
// The installation: a root that holds the agent's folder (ExeDir, "Agent", with "shell.ini") and beside it
// "log", "Temp", "Modules" and "ExamData\nrvq". Every path the agent uses there is built here from ExeDir,
// which ends with its separator, in the platform's separators.
#include <ctime>
#include <string>

std::string IniFilePath(const std::string& exeDir);
// The root the installer installs into ("/D"), with its separator.
std::string InstallRootFolder(const std::string& exeDir);

// The logs SYSTEM writes, the agent's and its service's: "log" inside the agent's folder, which only
// Administrators and SYSTEM may open at all. The root's "log" is the candidate's to write (the exam client
// writes Tavrel.log there): a log of SYSTEM's there could be emptied, deleted, held under an oplock that stops
// its writer, or have the folder turned into a junction that sends SYSTEM's writes elsewhere. The service,
// which sees nothing of this floor, names the same folder beside its own program: "log\TavrelService.*.log".
std::string SystemLogFolder(const std::string& exeDir);
// The agent's file of the given local date ("TavrelAgent.YYYYMMDD.log"), in SystemLogFolder.
std::string LogFilePath(const std::string& exeDir, const std::tm& localDate);
// The exam client's own log, in the root's "log".
std::string ExamClientLogPath(const std::string& exeDir);

// Temp, which only administrators may write: the downloaded installer and the copies of answers to upload.
std::string InstallTempFolder(const std::string& exeDir);
std::string InstallerDownloadPath(const std::string& exeDir);
std::string AnswerCopyFolder(const std::string& exeDir);

// Modules: the exam module packages, each named by the MD5 text of its bytes.
std::string ModulesFolder(const std::string& exeDir);
std::string ModulePackageName(const std::string& md5);
std::string ModulePackagePath(const std::string& exeDir, const std::string& packageName);

// ExamData, written in the candidate's account; the answer files lie under "nrvq" (given with its separator).
std::string ExamDataFolder(const std::string& exeDir);
std::string AnswerFilesFolder(const std::string& exeDir);
