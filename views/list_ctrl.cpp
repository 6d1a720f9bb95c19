#include "list_ctrl.h"

#include <QHeaderView>
#include <algorithm>
#include <set>

#include "image_list.h"
#include "view.h"

namespace {

// The platform's list control draws its leftmost column left-aligned
// whatever format it is given.
Qt::Alignment AlignmentOf(int column, int format) {
    if (column == 0)
        return Qt::AlignLeft | Qt::AlignVCenter;
    switch (format & 3) {
    case LVCFMT_CENTER:
        return Qt::AlignHCenter | Qt::AlignVCenter;
    case LVCFMT_RIGHT:
        return Qt::AlignRight | Qt::AlignVCenter;
    default:
        return Qt::AlignLeft | Qt::AlignVCenter;
    }
}

} // namespace

int CListCtrlModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : shownRows_;
}

int CListCtrlModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(columns.size());
}

QVariant CListCtrlModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= shownRows_ ||
        static_cast<size_t>(index.column()) >= columns.size())
        return {};
    const Row& row = rows[static_cast<size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return QString::fromStdString(row.texts[static_cast<size_t>(index.column())]);
    case Qt::DecorationRole:
        if (index.column() == 0 && images != nullptr && row.image >= 0 &&
            row.image < images->GetImageCount()) {
            // One icon per distinct image, so the style's pixmap cache
            // knows it from one paint to the next.
            QPixmap image = images->GetImage(row.image);
            auto [icon, fresh] = icons_.try_emplace(image.cacheKey());
            if (fresh)
                icon->second = QIcon(image);
            return icon->second;
        }
        return {};
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(
            AlignmentOf(index.column(), columns[static_cast<size_t>(index.column())].format));
    default:
        return {};
    }
}

QVariant CListCtrlModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 ||
        static_cast<size_t>(section) >= columns.size())
        return {};
    if (role == Qt::DisplayRole)
        return columns[static_cast<size_t>(section)].heading;
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(
            AlignmentOf(section, columns[static_cast<size_t>(section)].format));
    return {};
}

void CListCtrlModel::BeginBatch() {
    batching_ = true;
}

void CListCtrlModel::EndBatch() {
    if (!batching_)
        return;
    batching_ = false;
    if (shownRows_ == static_cast<int>(rows.size())) {
        if (shownRows_ > 0)
            Q_EMIT dataChanged(index(0, 0), index(shownRows_ - 1, columnCount() - 1));
        return;
    }
    beginResetModel();
    shownRows_ = static_cast<int>(rows.size());
    endResetModel();
}

void CListCtrlModel::InsertColumn(int at, Column column) {
    beginInsertColumns({}, at, at);
    columns.insert(columns.begin() + at, std::move(column));
    for (Row& row : rows) {
        std::move_backward(row.texts.begin() + at, row.texts.end() - 1, row.texts.end());
        row.texts[static_cast<size_t>(at)].clear();
    }
    endInsertColumns();
}

void CListCtrlModel::InsertRow(int at, Row row) {
    if (batching_) {
        rows.insert(rows.begin() + at, std::move(row));
        if (at < shownRows_)
            shownRows_ = -1; // the shown rows moved: the batch's end resets
        return;
    }
    beginInsertRows({}, at, at);
    rows.insert(rows.begin() + at, std::move(row));
    ++shownRows_;
    endInsertRows();
}

void CListCtrlModel::ChangedText(int row, int column) {
    if (!batching_ && row < shownRows_)
        Q_EMIT dataChanged(index(row, column), index(row, column));
}

void CListCtrlModel::Clear() {
    beginResetModel();
    rows.clear(); // the capacity stays for the next fill
    shownRows_ = 0;
    endResetModel();
}

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
    return static_cast<int>(m_model.columns.size());
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
    m_model.images = list;
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
    return TRUE;
}

int CListCtrl::InsertItem(const LVITEMA* item) {
    if (item == nullptr || m_model.columns.empty())
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
    m_model.rows[static_cast<size_t>(item)].texts[static_cast<size_t>(subItem)] = text ? text : "";
    m_model.ChangedText(item, subItem);
    return TRUE;
}

BOOL CListCtrl::GetItem(LVITEMA* item) const {
    if (item == nullptr || item->iItem < 0 || item->iItem >= GetItemCount() || item->iSubItem < 0 ||
        item->iSubItem >= std::max(GetColumnCount(), 1))
        return FALSE;
    const CListCtrlModel::Row& row = m_model.rows[static_cast<size_t>(item->iItem)];
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
    return static_cast<int>(m_model.rows.size());
}

std::string CListCtrl::GetItemText(int item, int subItem) const {
    if (item < 0 || item >= GetItemCount() || subItem < 0 || subItem >= GetColumnCount())
        return {};
    return m_model.rows[static_cast<size_t>(item)].texts[static_cast<size_t>(subItem)];
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
        notification.lParam = m_model.rows[static_cast<size_t>(row)].param;
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

void CListCtrl::OnCurrentChanged(const QModelIndex& current, const QModelIndex& previous) {
    if (previous.isValid())
        NotifyItemChanged(previous.row(), 0, LVIS_FOCUSED);
    if (current.isValid())
        NotifyItemChanged(current.row(), LVIS_FOCUSED, 0);
}
