// The frame on the right of the main splitter: the port list above the
// detail pane.
#pragma once

#include <QWidget>

#include "splitter_wnd_ex.h"

class CDataView : public QWidget {
    Q_OBJECT
public:
    explicit CDataView(QWidget* parent = nullptr);

    // Creates the frame's window in parent, with its panes.
    BOOL Create(QWidget* parent, CCreateContext* context);
    BOOL OnCreateClient(CCreateContext* context);
    void OnSize(UINT type, int cx, int cy);

    // Read by the main frame, which reaches the panes through it.
    CSplitterWndEx m_wndSplitter;

    static constexpr int kDetailHeight = 120;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    BOOL m_bSplitterReady = FALSE;
};
