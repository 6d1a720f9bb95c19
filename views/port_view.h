// The list of the snapshot's endpoints, one row each, filtered by protocol.
#pragma once

#include "image_list.h"
#include "list_view.h"
#include "port_table.h"

class CPortView : public CListView {
    Q_OBJECT
public:
    explicit CPortView(QWidget* parent = nullptr);
    ~CPortView() override;

    BOOL PreCreateWindow(CREATESTRUCT& cs) override;
    void OnInitialUpdate() override;

    void InsertColumns();
    void ResetImageList();
    // Rebuilds every row from the snapshot held, under a filter value
    // (-1 all, 0 TCP, 1 UDP).
    void FillList(int filter);
    // Takes a new snapshot, then FillList.
    void RefreshList(int filter);
    void OnItemchanged(NMHDR* header, LRESULT* result);

    CPortTable& GetTable() { return m_table; }
    const CImageList& GetImageList() const { return m_imageList; }
    int IsReady() const { return m_bReady; }

protected:
    void OnReflectedNotify(NMHDR* header, LRESULT* result) override;

private:
    CPortTable m_table;
    CImageList m_imageList;
    int m_bReady = 0;
};
