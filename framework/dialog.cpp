#include "dialog.h"

#include <QScreen>
#include <QStyle>
#include <QWindow>
#include <algorithm>

namespace {

// The edges the window system adds round a top-level window: its own once
// it has them, an estimate from the style before.
QMargins EdgesOf(const QWidget& window) {
    if (QWindow* handle = window.windowHandle()) {
        QMargins edges = handle->frameMargins();
        if (!edges.isNull())
            return edges;
    }
    const int edge =
        window.style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, &window) + 1;
    const int title = window.style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, &window);
    return QMargins(edge, title + edge, edge, edge);
}

} // namespace

CDialog::CDialog(QWidget* owner) : QDialog(owner) {
    setModal(true);
}

int CDialog::DoModal() {
    CenterWindow();
    return exec();
}

void CDialog::CenterWindow() {
    QWidget* owner = parentWidget() != nullptr ? parentWidget()->window() : nullptr;
    QScreen* screen = owner != nullptr ? owner->screen() : this->screen();
    if (screen == nullptr)
        return;
    const QRect area = screen->availableGeometry();
    const QRect around = owner != nullptr && owner->isVisible() ? owner->frameGeometry() : area;
    // Before the box is shown only its owner tells how thick the edges are.
    QMargins edges = windowHandle() != nullptr ? windowHandle()->frameMargins() : QMargins();
    m_awaitingEdges = edges.isNull();
    if (edges.isNull())
        edges = owner != nullptr ? EdgesOf(*owner) : EdgesOf(*this);
    const QSize whole = size().grownBy(edges);
    QPoint at = around.topLeft() + QPoint((around.width() - whole.width()) / 2,
                                          (around.height() - whole.height()) / 2);
    at.setX(
        std::clamp(at.x(), area.left(), std::max(area.left(), area.right() + 1 - whole.width())));
    at.setY(
        std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() + 1 - whole.height())));
    move(at); // a window's position is its frame's
}

void CDialog::moveEvent(QMoveEvent* event) {
    QDialog::moveEvent(event);
    if (m_awaitingEdges && windowHandle() != nullptr && !windowHandle()->frameMargins().isNull())
        CenterWindow();
}
