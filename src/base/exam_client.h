#pragma once
// The exam client is the program ExeDir + TavrelExe, told apart by its image, not by its name alone: a
// process of the same name elsewhere (a candidate's own, or svchost.exe when the server names it) neither
// makes "the exam client runs" nor is ended as the exam client.
#include <string>

struct SharedValues;

// ExeDir + TavrelExe of these values.
std::wstring ExamClientImage(const SharedValues& v);
// The exam client runs: two or more processes of that image (a multi-process client shows as several).
bool ExamClientRuns();
// Ends every process of that image and waits for each; the result of KillProgramProcesses.
int EndExamClient();
// The polite close request (WM_CLOSE, lParam 16) to the exam client's window titled AppTitle: only a window of
// a process of that image is asked, never a look-alike of another program.
void CloseExamClientWindow();
