#include "splitter_wnd_ex.h"

void CSplitterWndEx::OnDrawSplitter(QPainter* dc, ESplitType type, const QRect& rect) {
    if (dc == nullptr || type != splitBorder) {
        CSplitterWnd::OnDrawSplitter(dc, type, rect);
        return;
    }
    QRect inner = rect;
    Draw3dRect(dc, inner, kBorderColour, kBorderColour);
    inner.adjust(1, 1, -1, -1);
    Draw3dRect(dc, inner, 0xFFFFFF, 0xFFFFFF);
}
