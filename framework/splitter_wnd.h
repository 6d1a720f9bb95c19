// A static splitter: a fixed grid of panes whose rows and columns keep an
// ideal and a minimum size; every one but the last gets its ideal size, the
// last the rest, and one that would fall below its minimum is hidden.
#pragma once

#include <QWidget>
#include <vector>

#include <windows.h>

#include "create_context.h"

#define AFX_IDW_PANE_FIRST 0xE900u

class CSplitterWnd : public QWidget {
    Q_OBJECT
public:
    enum ESplitType { splitBox, splitBar, splitIntersection, splitBorder };

    explicit CSplitterWnd(QWidget* parent = nullptr);

    BOOL CreateStatic(QWidget* parent, int rows, int cols, DWORD style = WS_CHILD | WS_VISIBLE,
                      UINT id = AFX_IDW_PANE_FIRST);
    BOOL CreateView(int row, int col, const CRuntimeClass& viewClass, QSize sizeInit,
                    CCreateContext* context);
    QWidget* GetPane(int row, int col) const;
    int GetRowCount() const { return static_cast<int>(m_rows.size()); }
    int GetColumnCount() const { return static_cast<int>(m_cols.size()); }
    void SetRowInfo(int row, int ideal, int minimum);
    void SetColumnInfo(int col, int ideal, int minimum);
    void GetRowInfo(int row, int& current, int& minimum) const;
    void GetColumnInfo(int col, int& current, int& minimum) const;
    void RecalcLayout();
    void DestroyWindow();

    // Draws one piece of the splitter's decoration; with no painter it only
    // asks for the area to be repainted.
    virtual void OnDrawSplitter(QPainter* dc, ESplitType type, const QRect& rect);

    // The platform's metrics: a 2-pixel border round each pane and a gap of
    // 7 between panes (border, 3-pixel bar, border).
    static constexpr int kBorder = 2;
    static constexpr int kGap = 7;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

    static void Draw3dRect(QPainter* dc, const QRect& rect, COLORREF topLeft, COLORREF bottomRight);

private:
    struct RowCol {
        int ideal = 0;
        int minimum = 0;
        int current = 0;
    };
    static void LayoutRowCol(std::vector<RowCol>& info, int size);
    std::vector<QRect> BarRects() const;
    int BarAt(const QPoint& point) const;

    std::vector<RowCol> m_rows;
    std::vector<RowCol> m_cols;
    std::vector<QWidget*> m_panes; // row-major
    int m_tracking = -1;           // the bar being dragged
};
