// A report-style list control: columns, rows with text, an image and item
// data, and a notification for every row whose state changes.
#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QTableView>
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

    std::vector<Column> columns;
    std::vector<Row> rows;
    const CImageList* images = nullptr;

    // While batching, rows change without telling the view; the end of the
    // batch tells it once.
    void BeginBatch();
    void EndBatch();
    bool Batching() const { return batching_; }
    void InsertColumn(int index, Column column);
    void InsertRow(int index, Row row);
    void ChangedText(int row, int column);
    void Clear();

private:
    mutable std::unordered_map<qint64, QIcon> icons_;
    bool batching_ = false;
    int shownRows_ = 0; // the rows the view has been told of
};

class CListCtrl : public QTableView {
    Q_OBJECT
public:
    explicit CListCtrl(QWidget* parent = nullptr);
    ~CListCtrl() override;

    // Window styles (LVS_*, WS_BORDER) and extended window styles.
    void ApplyStyles(LONG style, DWORD exStyle);

    int InsertColumn(int column, const char* heading, int format, int width);
    int GetColumnCount() const;
    // Sets exactly these extended list styles (LVS_EX_*); returns the old ones.
    DWORD SetExtendedStyle(DWORD style);
    DWORD GetExtendedStyle() const { return m_extendedStyle; }
    CImageList* SetImageList(CImageList* list, int type);
    CImageList* GetImageList(int type) const;

    BOOL DeleteAllItems();
    // Inserts a row (LVIF_TEXT, LVIF_IMAGE, LVIF_PARAM); its index, or -1.
    int InsertItem(const LVITEMA* item);
    BOOL SetItemText(int item, int subItem, const char* text);
    BOOL GetItem(LVITEMA* item) const;
    int GetItemCount() const;
    std::string GetItemText(int item, int subItem) const;

    // WM_SETREDRAW: while off, rows change without the view repainting.
    void SetRedraw(BOOL redraw);

protected:
    // The control's notifications, reflected to the view that owns it.
    virtual void OnReflectedNotify(NMHDR* header, LRESULT* result);

private:
    void NotifyItemChanged(int row, UINT newState, UINT oldState);
    void OnSelectionChanged(const QItemSelection& selected, const QItemSelection& deselected);
    void OnCurrentChanged(const QModelIndex& current, const QModelIndex& previous);

    CListCtrlModel m_model;
    CImageList* m_smallImages = nullptr;
    DWORD m_extendedStyle = 0;
};
