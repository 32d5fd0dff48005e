#pragma once
// Starting, watching and stopping other programs: the exam client, its keyboard hook program and the
// installer. Thin and synchronous; nothing here logs, failures show as false, 0 or no handle.
#include <string>
#include <vector>

// A started program we can wait on. Converts to false when nothing was started; ProcessHandle{} is "none".
#ifdef _WIN32
using ProcessHandle = void*;  // the process HANDLE
#else
struct ProcessHandle {
    int pidfd = -1;  // a pidfd keeps naming this very process even after its pid is reused
    int pid = 0;
    explicit operator bool() const { return pidfd >= 0; }
};
#endif

// Two or more processes whose executable name is exactly `name` (case counts). A multi-process exam
// client shows as several processes, so a single one does not count as running.
//
// On Linux a process's name is the file name it was started as. The kernel keeps it as the short name,
// cut to 15 characters, so a cut name is completed from the executable's own file name or from the first
// two words of its command line, whichever continues it: that finds a program started through a symlink
// (argv[0]) and one that is a script (its interpreter's argv[1]). A dead process waiting to be reaped does
// not count.
bool IsProcessRunning(std::wstring name);

// Terminates every process of that name and waits for each to end (on Windows each one ends with exit
// code 259). Non-zero when the last termination attempt succeeded, 0 when it failed or nothing matched.
int KillProcessesByName(std::wstring name);

// The same for one program file: only processes of that file's name whose image is that very file count or
// end (Windows: the image's full path, in any letter case; Linux: the file /proc/<pid>/exe names, links
// resolved, so a program started through a link to it counts and a script never does). A program of the
// same name elsewhere, a system process included, is never touched.
bool IsProgramRunning(const std::wstring& imagePath);
int KillProgramProcesses(const std::wstring& imagePath);
// Waitable handles on the running processes of that program file that none of its other processes started (a
// multi-process client: its first process), whoever's account they run in; none when none runs. Each is checked
// through its own handle to be the process listed (the same image, started before the listing), so a pid given
// to another program meanwhile is never waited on. Closed with CloseProcessHandle; the exit code is not known.
std::vector<ProcessHandle> OpenProgramProcesses(const std::wstring& imagePath);

// Starts `file` with the parameter text in the working folder `directory` (each may be empty). The
// parameters reach the program as Windows splits a command line: blanks separate words, double quotes
// group them, backslashes escape a quote. No handle when the file is missing or could not be started.
// The caller owns the handle and closes it with CloseProcessHandle.
ProcessHandle RunProgram(const std::wstring& file, const std::wstring& parameters, const std::wstring& directory);

constexpr unsigned kWaitForever = 0xFFFFFFFF;
// True when the process has ended within timeoutMs; its exit code then goes to *exitCode (on Linux a
// program ended by a signal gives 128 + the signal number, as a shell shows it). Waiting again gives the
// same answer until the handle is closed.
bool WaitProcessEnd(ProcessHandle handle, int* exitCode = nullptr, unsigned timeoutMs = kWaitForever);
void CloseProcessHandle(ProcessHandle handle);

// Posts a close request (WM_CLOSE with lParam 16, the mark the exam client knows the agent's request by)
// to the top-level window of that title (UTF-8); blanks (0x20 only) around the title are dropped first. Does not
// wait. On Linux: the X11 window of that title, when the agent has a display; nothing without one.
void CloseWindowByTitle(std::string title);

// The same for the windows of one program file only: the first top-level window of that title whose process
// runs `imagePath` (compared as IsProgramRunning compares). A window of that title from any other program,
// a console titled so by a candidate included, is never asked. Linux: the window's _NET_WM_PID.
void CloseProgramWindowByTitle(std::string title, const std::wstring& imagePath);

// For as long as it lives, the temporary folder every program started is given (Windows: TEMP and TMP;
// Linux: TMPDIR, TEMP and TMP); the process's own values come back when it goes. SYSTEM's own,
// C:\Windows\Temp, is one every user may write: an installer running as SYSTEM that unpacks there runs what a
// candidate put in its way.
class TempFolderForPrograms {
public:
    explicit TempFolderForPrograms(const std::string& folder);
    ~TempFolderForPrograms();
    TempFolderForPrograms(const TempFolderForPrograms&) = delete;
    TempFolderForPrograms& operator=(const TempFolderForPrograms&) = delete;

private:
    struct Kept {
        const char* name;
        bool had;
        std::string value;
    };
    Kept m_kept[3];
    int m_count = 0;
};
