// The program's one top-level window: toolbar, status bar, and the pane
// layout of the tree beside the data frame.
#pragma once

#include <map>

#include "frame_link.h"
#include "frame_wnd.h"
#include "image_list.h"
#include "splitter_wnd_ex.h"

class CClassView;
class CDataView;
class CDetailView;
class CPortView;
class QLabel;
class QTimer;
class QToolBar;
class QAction;

// Command ids.
#define ID_VIEW_REFRESH 32771u
#define ID_HELP_WEBSITE 32772u
#define ID_TOOLS_FIREWALL 32773u
#define ID_TOOLS_PROCESS_MANAGER 32774u
#define ID_FILE_NEW 57600u
#define ID_FILE_OPEN 57601u
#define ID_FILE_SAVE 57603u
#define ID_EDIT_COPY 57634u
#define ID_EDIT_CUT 57635u
#define ID_EDIT_PASTE 57637u
#define ID_EDIT_UNDO 57643u
#define ID_APP_ABOUT 57664u
#define ID_APP_EXIT 57665u
#define ID_NEXT_PANE 57680u
#define ID_PREV_PANE 57681u

class CMainFrame : public CFrameWnd, public CMainFrameLink {
    Q_OBJECT
public:
    CMainFrame();
    ~CMainFrame() override;

    BOOL PreCreateWindow(CREATESTRUCT& cs) override;
    int OnCreate(CCreateContext* context) override;
    BOOL OnCreateClient(CCreateContext* context) override;
    void OnSize(UINT type, int cx, int cy);
    // The initial update of every view, in pane order.
    void InitialUpdateFrame() override;

    void ShowEntry(const PortEntry* entry) override;
    void SetFilter(int filter) override;
    void OnRefresh();
    void OnVisitWebSite();
    void OnFirewallSettings();
    void OnUpdateFirewallSettings(CCmdUI* cmdUI);
    void OnProcessManager();

    // TRUE when a firewall settings program is installed in the system
    // directory (firewall-config, then gufw); its path goes to program.
    static BOOL HasFirewallApplet(char* program = nullptr);

    // The panes, reached afresh by their splitter paths.
    CClassView* GetClassView() const;
    CDataView* GetDataView() const;
    CPortView* GetPortView() const;
    CDetailView* GetDetailView() const;

    CSplitterWndEx& GetSplitter() { return m_wndSplitter; }
    QToolBar* GetToolBar() const { return m_wndToolBar; }
    QAction* GetCommand(UINT id) const;
    QString GetStatusText() const;
    // The administrator pane's text; empty when the window has none.
    QString GetAdministratorText() const;
    // The way back to administrator mode, as a click on its pane asks it.
    void AskForAdministrator();
    int GetFilter() const { return m_nFilter; }
    BOOL HasApplet() const { return m_bFirewallApplet; }

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void CentreOnWorkArea(const QRect& area);
    QAction* AddCommand(UINT id, const QString& text = {});
    void OnCommand(UINT id);
    void MovePaneFocus(int step);
    void UpdateAdministratorPane();
    void TellOwnerSource();

    QLabel* m_pStatusPane = nullptr;        // the status bar's one message pane
    QLabel* m_pAdministratorPane = nullptr; // administrator mode only
    QTimer* m_pCollectorStart = nullptr;    // looks for pkexec's outcome
    QToolBar* m_wndToolBar = nullptr;
    CSplitterWndEx m_wndSplitter;
    BOOL m_bSplitterReady = FALSE;
    bool m_bPlaced = false; // fitted to the work area on its first showing
    CImageList m_imageList; // the toolbar's 24 x 24 images
    int m_nFilter;
    BOOL m_bFirewallApplet;
    char m_szFirewallApplet[MAX_PATH] = {};
    std::map<UINT, QAction*> m_commands;
};
