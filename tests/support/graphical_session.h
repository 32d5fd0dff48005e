#pragma once
// A desktop for the window and keyboard tests. On Windows the one the tests already run in. On Linux a
// private Xvfb started for the object's lifetime, with DISPLAY pointing at it meanwhile: never the
// developer's own session, whose keyboard settings the tests change.
#include <string>

namespace tavrel::test {

class GraphicalSession {
public:
    GraphicalSession();
    ~GraphicalSession();
    GraphicalSession(const GraphicalSession&) = delete;
    GraphicalSession& operator=(const GraphicalSession&) = delete;

    bool Ready() const { return m_ready; }
    const std::string& WhyNot() const { return m_whyNot; }

    // The latching-modifier hot key as the system holds it, read and set behind the agent's back; false
    // when it cannot be.
    bool ReadShiftLatchHotKey(bool* on) const;
    bool WriteShiftLatchHotKey(bool on);

private:
    bool m_ready = false;
    std::string m_whyNot;
    int m_server = 0;
    std::string m_previousDisplay;
    bool m_hadDisplay = false;
};

// No desktop at all while the object lives (Linux: DISPLAY unset). Ready() is false where a program
// cannot be without one (Windows).
class NoGraphicalSession {
public:
    NoGraphicalSession();
    ~NoGraphicalSession();
    NoGraphicalSession(const NoGraphicalSession&) = delete;
    NoGraphicalSession& operator=(const NoGraphicalSession&) = delete;
    bool Ready() const { return m_ready; }

private:
    bool m_ready = false;
    bool m_hadDisplay = false;
    std::string m_previousDisplay;
};

}  // namespace tavrel::test
