// The program's one top-level window.
#pragma once

#include <QMainWindow>

#include "frame_link.h"

class CClassView;
class COmbrelDoc;
class CPortView;
class QSplitter;

class CMainFrame : public QMainWindow, public CMainFrameLink {
    Q_OBJECT
public:
    explicit CMainFrame(COmbrelDoc* document);
    ~CMainFrame() override;

    // The framework's initial update of every view, in window order.
    void OnInitialUpdate();

    void ShowEntry(const PortEntry* entry) override;
    void SetFilter(int filter) override;

    int GetFilter() const { return m_nFilter; }
    CClassView* GetClassView() const;
    CPortView* GetPortView() const;
    QString GetStatusText() const;

private:
    COmbrelDoc* m_pDocument;
    QSplitter* m_pSplitter;
    int m_nFilter = -1;
};
