// The splitter with the program's own pane borders.
#pragma once

#include "splitter_wnd.h"

class CSplitterWndEx : public CSplitterWnd {
    Q_OBJECT
public:
    using CSplitterWnd::CSplitterWnd;

    // Each pane sits in a flat blue-grey frame with a white line inside it.
    void OnDrawSplitter(QPainter* dc, ESplitType type, const QRect& rect) override;

    static constexpr COLORREF kBorderColour = 0xC0987F; // red 127, green 152, blue 192
};
