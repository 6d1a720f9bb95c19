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
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int CListCtrlModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QVariant CListCtrlModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() ||
        static_cast<size_t>(index.column()) >= columns_.size())
        return {};
    const Row& row = rows_[static_cast<size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return ShownText(QString::fromStdString(row.texts[static_cast<size_t>(index.column())]));
    case Qt::DecorationRole:
        if (index.column() == 0 && images_ != nullptr && row.image >= 0 &&
            row.image < images_->GetImageCount()) {
            // One icon per distinct image, so the style's pixmap cache
            // knows it from one paint to the next.
            QPixmap image = images_->GetImage(row.image);
            auto [icon, fresh] = icons_.try_emplace(image.cacheKey());
            if (fresh)
                icon->second = QIcon(image);
            return icon->second;
        }
        return {};
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(
            AlignmentOf(index.column(), columns_[static_cast<size_t>(index.column())].format));
    default:
        return {};
    }
}

QVariant CListCtrlModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 ||
        static_cast<size_t>(section) >= columns_.size())
        return {};
    if (role == Qt::DisplayRole)
        return columns_[static_cast<size_t>(section)].heading;
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(
            AlignmentOf(section, columns_[static_cast<size_t>(section)].format));
    return {};
}

void CListCtrlModel::BeginBatch() {
    batching_ = true;
}

void CListCtrlModel::BeginReset() {
    if (batching_ && !resetting_) {
        beginResetModel();
        resetting_ = true;
    }
}

void CListCtrlModel::EndBatch() {
    if (!batching_)
        return;
    batching_ = false;
    if (resetting_) {
        resetting_ = false;
        textsChanged_ = false;
        endResetModel();
    } else if (textsChanged_) {
        textsChanged_ = false;
        if (!rows_.empty())
            Q_EMIT dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
    }
}

void CListCtrlModel::InsertColumn(int at, Column column) {
    beginInsertColumns({}, at, at);
    columns_.insert(columns_.begin() + at, std::move(column));
    for (Row& row : rows_) {
        std::move_backward(row.texts.begin() + at, row.texts.end() - 1, row.texts.end());
        row.texts[static_cast<size_t>(at)].clear();
    }
    endInsertColumns();
}

void CListCtrlModel::InsertRow(int at, Row row) {
    if (batching_) {
        BeginReset();
        rows_.insert(rows_.begin() + at, std::move(row));
        return;
    }
    beginInsertRows({}, at, at);
    rows_.insert(rows_.begin() + at, std::move(row));
    endInsertRows();
}

void CListCtrlModel::SetText(int row, int column, std::string text) {
    rows_[static_cast<size_t>(row)].texts[static_cast<size_t>(column)] = std::move(text);
    if (batching_)
        textsChanged_ = true;
    else
        Q_EMIT dataChanged(index(row, column), index(row, column));
}

void CListCtrlModel::Clear() {
    if (batching_) {
        BeginReset();
        rows_.clear(); // the capacity stays for the next fill
        return;
    }
    beginResetModel();
    rows_.clear();
    endResetModel();
}
