// How the views reach the main frame: as the GUI thread's main window,
// through what the frame offers them.
#pragma once

struct PortEntry;

class CMainFrameLink {
public:
    virtual void ShowEntry(const PortEntry* entry) = 0;
    virtual void SetFilter(int filter) = 0;

protected:
    ~CMainFrameLink() = default;
};

// The GUI thread's main window as a frame the views can talk to; none when
// there is no GUI thread, no main window, or it is not such a frame.
CMainFrameLink* GetMainFrameLink();
