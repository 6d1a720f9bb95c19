// What every view of the document has: the framework's initial update.
#pragma once

#include <QAbstractItemView>
#include <QWidget>

#include <windows.h>

class CView {
public:
    virtual ~CView() = default;
    // Sent once the whole frame is built, and again for every new or opened
    // document in the same frame.
    virtual void OnInitialUpdate() {}
    // Adjusts the styles before the control is set up; FALSE stops creation.
    // A view's border is drawn as a sunken client edge.
    virtual BOOL PreCreateWindow(CREATESTRUCT& cs) {
        if (static_cast<DWORD>(cs.style) & WS_BORDER) {
            cs.dwExStyle |= WS_EX_CLIENTEDGE;
            cs.style = static_cast<LONG>(static_cast<DWORD>(cs.style) & ~WS_BORDER);
        }
        return TRUE;
    }
};

// The border styles and the kept selection that list and tree share: a
// border or client edge gives a frame, and with the show-selection-always
// style the selection keeps its colours when the control loses the focus.
inline void ApplyCommonStyles(QAbstractItemView& control, bool border, bool showSelectionAlways) {
    control.setFrameShape(border ? QFrame::StyledPanel : QFrame::NoFrame);
    if (!showSelectionAlways)
        return;
    QPalette colours = control.palette();
    for (QPalette::ColorRole role : {QPalette::Highlight, QPalette::HighlightedText})
        colours.setColor(QPalette::Inactive, role, colours.color(QPalette::Active, role));
    control.setPalette(colours);
}

// Creates a view's control in parent: the framework's default view styles,
// adjusted by the view's PreCreateWindow, then applied to the control.
template <typename Control> BOOL CreateViewWindow(CView& view, Control& control, QWidget* parent) {
    CREATESTRUCT cs{};
    cs.style = static_cast<LONG>(WS_CHILD | WS_VISIBLE | WS_BORDER);
    if (!view.PreCreateWindow(cs))
        return FALSE;
    if (parent != nullptr)
        control.setParent(parent);
    control.ApplyStyles(cs.style, cs.dwExStyle);
    return TRUE;
}
