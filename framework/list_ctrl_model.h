// The rows and columns of a report-style list control, as its view reads
// them. Rows change only through the model, which tells the view of each
// change; a batch that moves rows is one reset of Qt's, its end the reset's.
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
    // Rows hold their texts in place: a fill makes tens of thousands. Only
    // the cells painted are converted for the view, a few hundred a paint:
    // converting every text as it is set made a fill of 100,000 endpoints
    // three times as long and the window's memory larger.
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

    const std::vector<Column>& Columns() const { return m_columns; }
    const std::vector<Row>& Rows() const { return m_rows; }
    void SetImages(const CImageList* images) { m_images = images; }

    // While batching, the first change of rows begins a reset of the model
    // and the end of the batch ends it; a batch that only set texts tells
    // the view of them at its end.
    void BeginBatch();
    void EndBatch();
    bool Batching() const { return m_batching; }
    void InsertColumn(int index, Column column);
    void InsertRow(int index, Row row);
    void SetText(int row, int column, std::string text);
    void Clear();

private:
    std::vector<Column> m_columns;
    std::vector<Row> m_rows;
    const CImageList* m_images = nullptr;
    mutable std::unordered_map<qint64, QIcon> m_icons;
    void BeginReset(); // once in a batch, at its first change of rows

    bool m_batching = false;
    bool m_resetting = false;
    bool m_textsChanged = false;
};
