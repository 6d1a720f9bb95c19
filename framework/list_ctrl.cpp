#include "list_ctrl.h"

#include <QHeaderView>
#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <algorithm>
#include <set>

#include "image_list.h"
#include "view.h"

namespace {

// No cell draws the focus: the list draws it round the whole row.
class RowFocusDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem cell = option;
        cell.state &= ~QStyle::State_HasFocus;
        QStyledItemDelegate::paint(painter, cell, index);
    }
};

} // namespace

CListCtrl::CListCtrl(QWidget* parent) : QTableView(parent) {
    setModel(&m_model);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    // Rows as high as a line of text or a small icon, whichever is higher.
    verticalHeader()->setMinimumSectionSize(1);
    verticalHeader()->setDefaultSectionSize(std::max(fontMetrics().height(), 16) + 3);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setSectionsClickable(false); // no sorting, no header clicks
    horizontalHeader()->setStretchLastSection(false);
    setWordWrap(false);
    setTextElideMode(Qt::ElideRight);
    setShowGrid(false);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setTabKeyNavigation(false);
    // Whole rows: the top row is never cut, whatever the scroll.
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setItemDelegate(new RowFocusDelegate(this));
    setIconSize(QSize(16, 16));
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &CListCtrl::OnSelectionChanged);
    connect(selectionModel(), &QItemSelectionModel::currentChanged, this,
            &CListCtrl::OnCurrentChanged);
}

CListCtrl::~CListCtrl() = default;

void CListCtrl::ApplyStyles(LONG style, DWORD exStyle) {
    DWORD bits = static_cast<DWORD>(style);
    setSelectionMode((bits & LVS_SINGLESEL) ? QAbstractItemView::SingleSelection
                                            : QAbstractItemView::ExtendedSelection);
    horizontalHeader()->setVisible((bits & 3u) == LVS_REPORT);
    ApplyCommonStyles(*this, (bits & WS_BORDER) || (exStyle & WS_EX_CLIENTEDGE),
                      (bits & LVS_SHOWSELALWAYS) != 0);
}

int CListCtrl::InsertColumn(int column, const char* heading, int format, int width) {
    if (GetColumnCount() >= CListCtrlModel::kMaxColumns)
        return -1;
    int at = std::clamp(column, 0, GetColumnCount());
    m_model.InsertColumn(at, {QString::fromUtf8(heading ? heading : ""), format, width});
    setColumnWidth(at, width);
    return at;
}

int CListCtrl::GetColumnCount() const {
    return static_cast<int>(m_model.Columns().size());
}

DWORD CListCtrl::SetExtendedStyle(DWORD style) {
    DWORD old = m_extendedStyle;
    m_extendedStyle = style;
    setShowGrid((style & LVS_EX_GRIDLINES) != 0);
    // Rows are always selected whole; without the full-row style the
    // platform highlights only the first column of the selected row.
    return old;
}

CImageList* CListCtrl::SetImageList(CImageList* list, int type) {
    if (type != LVSIL_SMALL)
        return nullptr;
    CImageList* old = m_smallImages;
    m_smallImages = list;
    m_model.SetImages(list);
    if (list != nullptr)
        setIconSize(list->GetIconSize());
    viewport()->update();
    return old;
}

CImageList* CListCtrl::GetImageList(int type) const {
    return type == LVSIL_SMALL ? m_smallImages : nullptr;
}

BOOL CListCtrl::DeleteAllItems() {
    m_model.Clear();
    // The rows that come next start from the first, not where the old ones
    // were scrolled to.
    verticalScrollBar()->setValue(0);
    return TRUE;
}

int CListCtrl::InsertItem(const LVITEMA* item) {
    if (item == nullptr || m_model.Columns().empty())
        return -1;
    int at = std::clamp(item->iItem, 0, GetItemCount());
    CListCtrlModel::Row row;
    if ((item->mask & LVIF_TEXT) && item->pszText != nullptr)
        row.texts[0] = item->pszText;
    if (item->mask & LVIF_IMAGE)
        row.image = item->iImage;
    if (item->mask & LVIF_PARAM)
        row.param = item->lParam;
    m_model.InsertRow(at, std::move(row));
    return at;
}

BOOL CListCtrl::SetItemText(int item, int subItem, const char* text) {
    if (item < 0 || item >= GetItemCount() || subItem < 0 || subItem >= GetColumnCount())
        return FALSE;
    m_model.SetText(item, subItem, text ? text : "");
    return TRUE;
}

BOOL CListCtrl::GetItem(LVITEMA* item) const {
    if (item == nullptr || item->iItem < 0 || item->iItem >= GetItemCount() || item->iSubItem < 0 ||
        item->iSubItem >= std::max(GetColumnCount(), 1))
        return FALSE;
    const CListCtrlModel::Row& row = m_model.Rows()[static_cast<size_t>(item->iItem)];
    if (item->mask & LVIF_PARAM)
        item->lParam = row.param;
    if (item->mask & LVIF_IMAGE)
        item->iImage = row.image;
    if ((item->mask & LVIF_TEXT) && item->pszText != nullptr && item->cchTextMax > 0) {
        const std::string& text = row.texts[static_cast<size_t>(item->iSubItem)];
        size_t length = std::min(text.size(), static_cast<size_t>(item->cchTextMax - 1));
        text.copy(item->pszText, length);
        item->pszText[length] = '\0';
    }
    return TRUE;
}

int CListCtrl::GetItemCount() const {
    return static_cast<int>(m_model.Rows().size());
}

std::string CListCtrl::GetItemText(int item, int subItem) const {
    if (item < 0 || item >= GetItemCount() || subItem < 0 || subItem >= GetColumnCount())
        return {};
    return m_model.Rows()[static_cast<size_t>(item)].texts[static_cast<size_t>(subItem)];
}

void CListCtrl::SetRedraw(BOOL redraw) {
    if (!redraw) {
        setUpdatesEnabled(false);
        m_model.BeginBatch();
    } else {
        m_model.EndBatch();
        setUpdatesEnabled(true);
    }
}

void CListCtrl::OnReflectedNotify(NMHDR*, LRESULT* result) {
    if (result != nullptr)
        *result = 0;
}

void CListCtrl::NotifyItemChanged(int row, UINT newState, UINT oldState) {
    NMLISTVIEW notification{};
    notification.hdr.hwndFrom = reinterpret_cast<HWND>(this);
    notification.hdr.code = LVN_ITEMCHANGED;
    notification.iItem = row;
    notification.uChanged = LVIF_STATE;
    notification.uNewState = newState;
    notification.uOldState = oldState;
    if (row >= 0 && row < GetItemCount())
        notification.lParam = m_model.Rows()[static_cast<size_t>(row)].param;
    LRESULT result = 0;
    OnReflectedNotify(&notification.hdr, &result);
}

void CListCtrl::OnSelectionChanged(const QItemSelection& selected,
                                   const QItemSelection& deselected) {
    // The rows that lost the selection are told first, then those that got it.
    std::set<int> lost, got;
    for (const QModelIndex& index : deselected.indexes())
        lost.insert(index.row());
    for (const QModelIndex& index : selected.indexes())
        got.insert(index.row());
    for (int row : lost)
        NotifyItemChanged(row, 0, LVIS_SELECTED);
    for (int row : got)
        NotifyItemChanged(row, LVIS_SELECTED, 0);
}

void CListCtrl::focusInEvent(QFocusEvent* event) {
    m_focusArriving = true;
    QTableView::focusInEvent(event);
    m_focusArriving = false;
}

void CListCtrl::OnCurrentChanged(const QModelIndex& current, const QModelIndex& previous) {
    if (m_focusArriving)
        return;
    if (previous.isValid())
        NotifyItemChanged(previous.row(), 0, LVIS_FOCUSED);
    if (current.isValid())
        NotifyItemChanged(current.row(), LVIS_FOCUSED, 0);
}

void CListCtrl::scrollTo(const QModelIndex& index, ScrollHint hint) {
    const int across = horizontalScrollBar()->value();
    QTableView::scrollTo(index, hint);
    horizontalScrollBar()->setValue(across);
}

void CListCtrl::scrollContentsBy(int dx, int dy) {
    QTableView::scrollContentsBy(dx, dy);
    KeepTopRowWhole();
}

void CListCtrl::updateGeometries() {
    QTableView::updateGeometries();
    KeepTopRowWhole();
}

void CListCtrl::KeepTopRowWhole() {
    const int top = verticalScrollBar()->value();
    if (top >= GetItemCount())
        return;
    const int offset = verticalHeader()->sectionPosition(top);
    if (verticalHeader()->offset() == offset)
        return;
    verticalHeader()->setOffset(offset);
    viewport()->update();
}

QModelIndex CListCtrl::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) {
    const int rows = GetItemCount();
    const int column = std::max(currentIndex().column(), 0);
    switch (action) {
    case MoveHome:
        return rows > 0 ? m_model.index(0, column) : QModelIndex();
    case MoveEnd:
        return rows > 0 ? m_model.index(rows - 1, column) : QModelIndex();
    case MoveLeft:
        horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
        return currentIndex();
    case MoveRight:
        horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        return currentIndex();
    default:
        return QTableView::moveCursor(action, modifiers);
    }
}

void CListCtrl::mousePressEvent(QMouseEvent* event) {
    m_pressed = indexAt(event->position().toPoint());
    QTableView::mousePressEvent(event);
}

void CListCtrl::mouseMoveEvent(QMouseEvent* event) {
    if (IsDragMove(event))
        return;
    QTableView::mouseMoveEvent(event);
}

QItemSelectionModel::SelectionFlags CListCtrl::selectionCommand(const QModelIndex& index,
                                                                const QEvent* event) const {
    return PressOnly(QTableView::selectionCommand(index, event), index, m_pressed, event);
}

bool CListCtrl::event(QEvent* event) {
    if (IsTabKey(event)) {
        event->accept();
        return true;
    }
    return QTableView::event(event);
}

void CListCtrl::paintEvent(QPaintEvent* event) {
    QTableView::paintEvent(event);
    PaintRowFocus();
    if (!showGrid())
        return;
    // Qt draws the grid of the rows there are; the rest continues it at the
    // same row height, each row's line on its last pixel, as Qt places them.
    const int step = verticalHeader()->defaultSectionSize();
    const int rows = GetItemCount();
    int top = 0;
    if (rows > 0)
        top = rowViewportPosition(rows - 1) + rowHeight(rows - 1);
    const QRect area = viewport()->rect();
    if (step <= 0 || top >= area.bottom() + 1)
        return;
    QPainter painter(viewport());
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    const QColor colour = QColor::fromRgba(
        static_cast<QRgb>(style()->styleHint(QStyle::SH_Table_GridLineColor, &option, this)));
    painter.setPen(QPen(colour, 0, gridStyle()));
    int right = area.right();
    if (GetColumnCount() > 0)
        right = std::min(right, columnViewportPosition(GetColumnCount() - 1) +
                                    columnWidth(GetColumnCount() - 1) - 1);
    for (int y = top + step - 1; y <= area.bottom(); y += step)
        painter.drawLine(area.left(), y, right, y);
    for (int column = 0; column < GetColumnCount(); ++column) {
        int x = columnViewportPosition(column) + columnWidth(column) - 1;
        if (x >= area.left() && x <= area.right())
            painter.drawLine(x, top, x, area.bottom());
    }
}

void CListCtrl::PaintRowFocus() {
    const QModelIndex current = currentIndex();
    if (!hasFocus() || !current.isValid() || GetColumnCount() == 0)
        return;
    const int last = GetColumnCount() - 1;
    const int left = columnViewportPosition(0);
    const QRect row(left, rowViewportPosition(current.row()),
                    columnViewportPosition(last) + columnWidth(last) - left,
                    rowHeight(current.row()));
    if (!row.intersects(viewport()->rect()))
        return;
    QStyleOptionFocusRect focus;
    focus.initFrom(this);
    focus.rect = row;
    focus.state |= QStyle::State_KeyboardFocusChange | QStyle::State_HasFocus;
    const bool selected = selectionModel()->isSelected(current);
    focus.backgroundColor = palette().color(selected ? QPalette::Highlight : QPalette::Base);
    QPainter painter(viewport());
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
}
