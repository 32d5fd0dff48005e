#pragma once
// "shell.ini" beside the agent: the exam server's address and two ports, and the exam client's window title.
#include <string>

// Reads the four values into the shared values; missing ones stay empty and the agent runs on with them.
void ReadConfiguration(const std::string& iniPath);
// Stores a new server address in "shell.ini" (the only value the agent ever writes there).
bool WriteServerAddress(const std::string& iniPath, const std::string& serverIp);
