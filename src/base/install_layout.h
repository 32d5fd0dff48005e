#pragma once
// The installation: a root that holds the agent's folder (ExeDir, "Agent", with "shell.ini") and beside it
// "log", "Temp", "Modules" and "ExamData\nrvq". Every path the agent uses there is built here from ExeDir,
// which ends with its separator, in the platform's separators.
#include <ctime>
#include <string>

std::string IniFilePath(const std::string& exeDir);
// The root the installer installs into ("/D"), with its separator.
std::string InstallRootFolder(const std::string& exeDir);

// log: the agent's file of the given local date ("TavrelAgent.YYYYMMDD.log"), and the exam client's own.
std::string LogFilePath(const std::string& exeDir, const std::tm& localDate);
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
