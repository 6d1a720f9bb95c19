// The rows and columns of a report-style list control, as its view reads
// them. Rows change only through the model, which tells the view of each
// change, or of a whole batch at its end.
#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <array>
#include <string>
#include <unordered_map>
#include <vector>

#include <commctrl.h>

class CImageList;

class CListCtrlModel : public QAbstractTableModel {
    Q_OBJECT
public:
    struct Column {
        QString heading;
        int format = LVCFMT_LEFT;
        int width = 0;
    };
    // Rows hold their texts in place: a fill makes tens of thousands.
    static constexpr int kMaxColumns = 8;
    struct Row {
        std::array<std::string, kMaxColumns> texts;
        LPARAM param = 0;
        int image = -1;
    };

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    const std::vector<Column>& Columns() const { return columns_; }
    const std::vector<Row>& Rows() const { return rows_; }
    void SetImages(const CImageList* images) { images_ = images; }

    // While batching, rows change without telling the view; the end of the
    // batch tells it once.
    void BeginBatch();
    void EndBatch();
    bool Batching() const { return batching_; }
    void InsertColumn(int index, Column column);
    void InsertRow(int index, Row row);
    void SetText(int row, int column, std::string text);
    void Clear();

private:
    std::vector<Column> columns_;
    std::vector<Row> rows_;
    const CImageList* images_ = nullptr;
    mutable std::unordered_map<qint64, QIcon> icons_;
    bool batching_ = false;
    // The rows the view has been told of, and whether a batch moved them so
    // that its end must reset the view.
    int shownRows_ = 0;
    bool resetPending_ = false;
};
