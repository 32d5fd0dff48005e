#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "support/graphical_session.h"
#include "system/x11_posix.h"

extern char** environ;

namespace tavrel::test {

namespace {

void RememberDisplay(bool* had, std::string* previous) {
    const char* current = std::getenv("DISPLAY");
    *had = current != nullptr;
    if (current) *previous = current;
}

void RestoreDisplay(bool had, const std::string& previous) {
    if (had)
        setenv("DISPLAY", previous.c_str(), 1);
    else
        unsetenv("DISPLAY");
}

}  // namespace

GraphicalSession::GraphicalSession() {
    RememberDisplay(&m_hadDisplay, &m_previousDisplay);
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        m_whyNot = "no pipe for Xvfb";
        return;
    }
    // Xvfb picks a free display number itself and writes it to fd 3 once it accepts connections.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 3);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char program[] = "Xvfb";
    // -noreset: a server with no clients left would otherwise start afresh, forgetting the keyboard
    // settings a test has just made.
    char a1[] = "-displayfd", a2[] = "3", a3[] = "-nolisten", a4[] = "tcp", a5[] = "-screen", a6[] = "0",
         a7[] = "640x480x24", a8[] = "-noreset";
    char* argv[] = {program, a1, a2, a3, a4, a5, a6, a7, a8, nullptr};
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (rc != 0) {
        close(pipeFds[0]);
        m_whyNot = "Xvfb is not installed (apt-get install xvfb)";
        return;
    }
    m_server = pid;
    std::string number;
    pollfd item{pipeFds[0], POLLIN, 0};
    while (number.find('\n') == std::string::npos && poll(&item, 1, 15000) > 0) {
        char buffer[16];
        ssize_t got = read(pipeFds[0], buffer, sizeof buffer);
        if (got <= 0) break;
        number.append(buffer, static_cast<size_t>(got));
    }
    close(pipeFds[0]);
    if (number.empty() || number.find('\n') == std::string::npos) {
        m_whyNot = "Xvfb did not start";
        return;
    }
    number.resize(number.find('\n'));
    setenv("DISPLAY", (":" + number).c_str(), 1);
    m_ready = true;
}

GraphicalSession::~GraphicalSession() {
    if (m_server > 0) {
        kill(m_server, SIGTERM);
        waitpid(m_server, nullptr, 0);
    }
    RestoreDisplay(m_hadDisplay, m_previousDisplay);
}

bool GraphicalSession::ReadShiftLatchHotKey(bool* on) const {
    X11Connection connection;
    if (!connection) return false;
    const X11Library& x = connection.x();
    int opcode = 0, event = 0, error = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
    if (!x.KbQueryExtension(connection.display(), &opcode, &event, &error, &major, &minor)) return false;
    XkbDescPtr keyboard = x.KbAllocKeyboard();
    if (!keyboard) return false;
    bool ok = x.KbGetControls(connection.display(), XkbAllControlsMask, keyboard) == Success && keyboard->ctrls;
    if (ok) *on = (keyboard->ctrls->enabled_ctrls & XkbAccessXKeysMask) != 0;
    x.KbFreeKeyboard(keyboard, XkbAllComponentsMask, True);
    return ok;
}

bool GraphicalSession::WriteShiftLatchHotKey(bool on) {
    X11Connection connection;
    if (!connection) return false;
    const X11Library& x = connection.x();
    int opcode = 0, event = 0, error = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
    if (!x.KbQueryExtension(connection.display(), &opcode, &event, &error, &major, &minor)) return false;
    XkbDescPtr keyboard = x.KbAllocKeyboard();
    if (!keyboard) return false;
    bool ok = x.KbGetControls(connection.display(), XkbAllControlsMask, keyboard) == Success && keyboard->ctrls;
    if (ok) {
        if (on)
            keyboard->ctrls->enabled_ctrls |= XkbAccessXKeysMask;
        else
            keyboard->ctrls->enabled_ctrls &= ~static_cast<unsigned>(XkbAccessXKeysMask);
        ok = x.KbSetControls(connection.display(), XkbControlsEnabledMask, keyboard);
        x.Sync(connection.display(), False);
    }
    x.KbFreeKeyboard(keyboard, XkbAllComponentsMask, True);
    return ok;
}

NoGraphicalSession::NoGraphicalSession() : m_ready(true) {
    RememberDisplay(&m_hadDisplay, &m_previousDisplay);
    unsetenv("DISPLAY");
}

NoGraphicalSession::~NoGraphicalSession() { RestoreDisplay(m_hadDisplay, m_previousDisplay); }

}  // namespace tavrel::test
