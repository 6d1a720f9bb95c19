// What every view of the document has: the framework's initial update.
#pragma once

#include <QAbstractItemView>
#include <QKeyEvent>
#include <QMouseEvent>
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

// Tab and Shift+Tab, which the platform's list and tree take and ignore:
// taken, the key reaches no parent that would move the focus with it.
inline bool IsTabKey(const QEvent* event) {
    if (event->type() != QEvent::KeyPress)
        return false;
    const auto* key = static_cast<const QKeyEvent*>(event);
    return (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) &&
           !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
}

// List and tree choose on the press: a release over another item than the
// pressed one chooses nothing.
inline QItemSelectionModel::SelectionFlags PressOnly(QItemSelectionModel::SelectionFlags command,
                                                     const QModelIndex& index,
                                                     const QModelIndex& pressed,
                                                     const QEvent* event) {
    if (event != nullptr && event->type() == QEvent::MouseButtonRelease && index != pressed)
        return QItemSelectionModel::NoUpdate;
    return command;
}

// A move with a button held: Qt would select along it or start a drag; the
// platform's list and tree do neither.
inline bool IsDragMove(const QMouseEvent* event) {
    return (event->buttons() & (Qt::LeftButton | Qt::RightButton | Qt::MiddleButton)) != 0;
}

// The framework's styles of a view: a child window with a border.
constexpr DWORD kDefaultViewStyle = WS_CHILD | WS_VISIBLE | WS_BORDER;

// Creates a view's control in parent: the styles asked for, adjusted by the
// view's PreCreateWindow, then applied to the control.
template <typename Control>
BOOL CreateViewWindow(CView& view, Control& control, QWidget* parent,
                      DWORD style = kDefaultViewStyle) {
    CREATESTRUCT cs{};
    cs.style = static_cast<LONG>(style);
    if (!view.PreCreateWindow(cs))
        return FALSE;
    if (parent != nullptr)
        control.setParent(parent);
    control.ApplyStyles(cs.style, cs.dwExStyle);
    return TRUE;
}
