#include "splitter_wnd.h"

#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <climits>

#include "colour.h"

CSplitterWnd::CSplitterWnd(QWidget* parent) : QWidget(parent) {}

BOOL CSplitterWnd::CreateStatic(QWidget* parent, int rows, int cols, DWORD style, UINT) {
    if (rows < 1 || cols < 1 || (rows > 1 && cols > 1) || !m_panes.empty())
        return FALSE;
    if (parent != nullptr)
        setParent(parent);
    m_rows.assign(static_cast<size_t>(rows), RowCol{});
    m_cols.assign(static_cast<size_t>(cols), RowCol{});
    m_panes.assign(static_cast<size_t>(rows * cols), nullptr);
    setVisible((style & WS_VISIBLE) != 0);
    setMouseTracking(true);
    return TRUE;
}

BOOL CSplitterWnd::CreateView(int row, int col, const CRuntimeClass& viewClass, QSize sizeInit,
                              CCreateContext* context) {
    if (row < 0 || row >= GetRowCount() || col < 0 || col >= GetColumnCount() ||
        GetPane(row, col) != nullptr || !viewClass)
        return FALSE;
    // The size only seeds the row's and column's ideal sizes.
    m_rows[static_cast<size_t>(row)].ideal = sizeInit.height();
    m_cols[static_cast<size_t>(col)].ideal = sizeInit.width();
    // Without a border of its own: the splitter draws each pane's.
    QWidget* pane = viewClass(this, WS_CHILD | WS_VISIBLE, context);
    if (pane == nullptr)
        return FALSE;
    pane->setParent(this);
    pane->show();
    m_panes[static_cast<size_t>(row * GetColumnCount() + col)] = pane;
    RecalcLayout();
    return TRUE;
}

QWidget* CSplitterWnd::GetPane(int row, int col) const {
    if (row < 0 || row >= GetRowCount() || col < 0 || col >= GetColumnCount())
        return nullptr;
    return m_panes[static_cast<size_t>(row * GetColumnCount() + col)];
}

void CSplitterWnd::SetRowInfo(int row, int ideal, int minimum) {
    if (row < 0 || row >= GetRowCount())
        return;
    m_rows[static_cast<size_t>(row)].ideal = ideal;
    m_rows[static_cast<size_t>(row)].minimum = minimum;
}

void CSplitterWnd::SetColumnInfo(int col, int ideal, int minimum) {
    if (col < 0 || col >= GetColumnCount())
        return;
    m_cols[static_cast<size_t>(col)].ideal = ideal;
    m_cols[static_cast<size_t>(col)].minimum = minimum;
}

void CSplitterWnd::GetRowInfo(int row, int& current, int& minimum) const {
    current = minimum = 0;
    if (row >= 0 && row < GetRowCount()) {
        current = m_rows[static_cast<size_t>(row)].current;
        minimum = m_rows[static_cast<size_t>(row)].minimum;
    }
}

void CSplitterWnd::GetColumnInfo(int col, int& current, int& minimum) const {
    current = minimum = 0;
    if (col >= 0 && col < GetColumnCount()) {
        current = m_cols[static_cast<size_t>(col)].current;
        minimum = m_cols[static_cast<size_t>(col)].minimum;
    }
}

// The static splitter's rule: each row (or column) but the last gets its
// ideal size, the last what is left; one whose ideal size is under its
// minimum is hidden, and so is one for which less than its minimum is left,
// its share going to the one before.
void CSplitterWnd::LayoutRowCol(std::vector<RowCol>& info, int size) {
    size = std::max(size, 0);
    const size_t count = info.size();
    for (size_t i = 0; i + 1 < count; ++i) {
        if (info[i].ideal < info[i].minimum)
            info[i].ideal = 0; // too small to see
        info[i].current = info[i].ideal;
    }
    info[count - 1].current = INT_MAX;
    for (size_t i = 0; i < count; ++i) {
        RowCol& rc = info[i];
        if (size == 0) {
            rc.current = 0;
            continue;
        }
        if (size < rc.minimum && i != 0) {
            rc.current = 0;
            info[i - 1].current += size + kBorder;
            size = 0;
        } else if (rc.current != 0) {
            if (size < rc.current) {
                rc.current = size;
                size = 0;
            } else {
                size -= rc.current;
            }
        }
        if (i + 1 != count) {
            if (size > kGap) {
                size -= kGap;
            } else {
                rc.current += size;
                if (rc.current > kGap - kBorder)
                    rc.current -= kGap - kBorder;
                size = 0;
            }
        }
    }
}

void CSplitterWnd::RecalcLayout() {
    if (m_panes.empty())
        return;
    QRect inside = rect().adjusted(kBorder, kBorder, -kBorder, -kBorder);
    LayoutRowCol(m_rows, inside.height());
    LayoutRowCol(m_cols, inside.width());
    int y = inside.top();
    for (int r = 0; r < GetRowCount(); ++r) {
        int x = inside.left();
        int height = m_rows[static_cast<size_t>(r)].current;
        for (int c = 0; c < GetColumnCount(); ++c) {
            int width = m_cols[static_cast<size_t>(c)].current;
            if (QWidget* pane = GetPane(r, c)) {
                if (width > 0 && height > 0) {
                    pane->setGeometry(x, y, width, height);
                    pane->show();
                } else {
                    pane->hide();
                }
            }
            x += width + kGap;
        }
        y += height + kGap;
    }
    update();
}

void CSplitterWnd::DestroyWindow() {
    for (QWidget*& pane : m_panes) {
        delete pane;
        pane = nullptr;
    }
    m_panes.clear();
    m_rows.clear();
    m_cols.clear();
    hide();
}

std::vector<QRect> CSplitterWnd::BarRects() const {
    std::vector<QRect> bars;
    QRect inside = rect().adjusted(kBorder, kBorder, -kBorder, -kBorder);
    int offset = 0;
    if (GetColumnCount() > 1) {
        offset = inside.left();
        for (size_t c = 0; c + 1 < m_cols.size(); ++c) {
            offset += m_cols[c].current;
            bars.emplace_back(offset + kBorder, 0, kGap - 2 * kBorder, height());
            offset += kGap;
        }
    } else {
        offset = inside.top();
        for (size_t r = 0; r + 1 < m_rows.size(); ++r) {
            offset += m_rows[r].current;
            bars.emplace_back(0, offset + kBorder, width(), kGap - 2 * kBorder);
            offset += kGap;
        }
    }
    return bars;
}

int CSplitterWnd::BarAt(const QPoint& point) const {
    std::vector<QRect> bars = BarRects();
    for (size_t i = 0; i < bars.size(); ++i)
        if (bars[i].adjusted(-kBorder, -kBorder, kBorder, kBorder).contains(point))
            return static_cast<int>(i);
    return -1;
}

void CSplitterWnd::paintEvent(QPaintEvent*) {
    QPainter dc(this);
    for (const QRect& bar : BarRects())
        OnDrawSplitter(&dc, splitBar, bar);
    for (QWidget* pane : m_panes)
        if (pane != nullptr && pane->isVisible())
            OnDrawSplitter(&dc, splitBorder,
                           pane->geometry().adjusted(-kBorder, -kBorder, kBorder, kBorder));
}

void CSplitterWnd::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    RecalcLayout();
}

void CSplitterWnd::mousePressEvent(QMouseEvent* event) {
    m_tracking = event->button() == Qt::LeftButton ? BarAt(event->position().toPoint()) : -1;
}

void CSplitterWnd::mouseMoveEvent(QMouseEvent* event) {
    QPoint at = event->position().toPoint();
    bool vertical = GetColumnCount() > 1;
    if (m_tracking < 0) {
        setCursor(BarAt(at) >= 0 ? (vertical ? Qt::SplitHCursor : Qt::SplitVCursor)
                                 : Qt::ArrowCursor);
        return;
    }
    // The dragged bar sets the ideal size of the row or column before it.
    std::vector<RowCol>& info = vertical ? m_cols : m_rows;
    size_t index = static_cast<size_t>(m_tracking);
    int start = kBorder;
    for (size_t i = 0; i < index; ++i)
        start += info[i].current + kGap;
    int position = (vertical ? at.x() : at.y()) - kGap / 2;
    info[index].ideal = std::max(position - start, 0);
    RecalcLayout();
}

void CSplitterWnd::mouseReleaseEvent(QMouseEvent*) {
    m_tracking = -1;
}

void CSplitterWnd::Draw3dRect(QPainter* dc, const QRect& rect, COLORREF topLeft,
                              COLORREF bottomRight) {
    // One-pixel lines; the right and bottom edges lie just inside the rectangle.
    dc->fillRect(QRect(rect.left(), rect.top(), rect.width() - 1, 1), ToQColor(topLeft));
    dc->fillRect(QRect(rect.left(), rect.top(), 1, rect.height() - 1), ToQColor(topLeft));
    dc->fillRect(QRect(rect.left() + rect.width() - 1, rect.top(), 1, rect.height()),
                 ToQColor(bottomRight));
    dc->fillRect(QRect(rect.left(), rect.top() + rect.height() - 1, rect.width(), 1),
                 ToQColor(bottomRight));
}

void CSplitterWnd::OnDrawSplitter(QPainter* dc, ESplitType type, const QRect& rect) {
    if (dc == nullptr) {
        update(rect);
        return;
    }
    const QPalette& colours = palette();
    switch (type) {
    case splitBorder:
        // The framework's sunken edge.
        Draw3dRect(dc, rect, FromQColor(colours.color(QPalette::Dark)),
                   FromQColor(colours.color(QPalette::Light)));
        Draw3dRect(dc, rect.adjusted(1, 1, -1, -1), FromQColor(colours.color(QPalette::Shadow)),
                   FromQColor(colours.color(QPalette::Button)));
        break;
    default:
        dc->fillRect(rect, colours.color(QPalette::Button));
        break;
    }
}
