#include "list_ctrl_model.h"

#include <algorithm>

#include "image_list.h"
#include "shown_text.h"

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
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int CListCtrlModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_columns.size());
}

QVariant CListCtrlModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() ||
        static_cast<size_t>(index.column()) >= m_columns.size())
        return {};
    const Row& row = m_rows[static_cast<size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        // Escaped as bytes: a byte that is not UTF-8 shows as \xHH, not as U+FFFD.
        return QString::fromStdString(ShownText(row.texts[static_cast<size_t>(index.column())]));
    case Qt::DecorationRole:
        if (index.column() == 0 && m_images != nullptr && row.image >= 0 &&
            row.image < m_images->GetImageCount()) {
            // One icon per distinct image, so the style's pixmap cache
            // knows it from one paint to the next.
            QPixmap image = m_images->GetImage(row.image);
            auto [icon, fresh] = m_icons.try_emplace(image.cacheKey());
            if (fresh)
                icon->second = QIcon(image);
            return icon->second;
        }
        return {};
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(
            AlignmentOf(index.column(), m_columns[static_cast<size_t>(index.column())].format));
    default:
        return {};
    }
}

QVariant CListCtrlModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 ||
        static_cast<size_t>(section) >= m_columns.size())
        return {};
    if (role == Qt::DisplayRole)
        return m_columns[static_cast<size_t>(section)].heading;
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(
            AlignmentOf(section, m_columns[static_cast<size_t>(section)].format));
    return {};
}

void CListCtrlModel::BeginBatch() {
    m_batching = true;
}

void CListCtrlModel::BeginReset() {
    if (m_batching && !m_resetting) {
        beginResetModel();
        m_resetting = true;
    }
}

void CListCtrlModel::EndBatch() {
    if (!m_batching)
        return;
    m_batching = false;
    if (m_resetting) {
        m_resetting = false;
        m_textsChanged = false;
        endResetModel();
    } else if (m_textsChanged) {
        m_textsChanged = false;
        if (!m_rows.empty())
            Q_EMIT dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
    }
}

void CListCtrlModel::InsertColumn(int at, Column column) {
    beginInsertColumns({}, at, at);
    m_columns.insert(m_columns.begin() + at, std::move(column));
    for (Row& row : m_rows) {
        std::move_backward(row.texts.begin() + at, row.texts.end() - 1, row.texts.end());
        row.texts[static_cast<size_t>(at)].clear();
    }
    endInsertColumns();
}

void CListCtrlModel::InsertRow(int at, Row row) {
    if (m_batching) {
        BeginReset();
        m_rows.insert(m_rows.begin() + at, std::move(row));
        return;
    }
    beginInsertRows({}, at, at);
    m_rows.insert(m_rows.begin() + at, std::move(row));
    endInsertRows();
}

void CListCtrlModel::SetText(int row, int column, std::string text) {
    m_rows[static_cast<size_t>(row)].texts[static_cast<size_t>(column)] = std::move(text);
    if (m_batching)
        m_textsChanged = true;
    else
        Q_EMIT dataChanged(index(row, column), index(row, column));
}

void CListCtrlModel::Clear() {
    if (m_batching) {
        BeginReset();
        m_rows.clear(); // the capacity stays for the next fill
        return;
    }
    beginResetModel();
    m_rows.clear();
    endResetModel();
}
