// The protocol tree: "All", with "TCP" and "UDP" beneath it.
#pragma once

#include "image_list.h"
#include "tree_view.h"

class CClassView : public CTreeView {
    Q_OBJECT
public:
    explicit CClassView(QWidget* parent = nullptr);

    BOOL PreCreateWindow(CREATESTRUCT& cs) override;
    void OnInitialUpdate() override;

    void InsertItems();
    // Stores the pair in slot index; indexes of 3 and up are ignored.
    void SetItemSlot(unsigned index, HTREEITEM item, int filter);
    void OnSelchanged(NMHDR* header, LRESULT* result);

    HTREEITEM GetSlotItem(unsigned index) const { return index < 3 ? m_hItems[index] : nullptr; }
    int GetSlotFilter(unsigned index) const { return index < 3 ? m_nFilters[index] : -1; }
    int IsReady() const { return m_bReady; }
    const CImageList& GetImageList() const { return m_imageList; }

protected:
    void OnReflectedNotify(NMHDR* header, LRESULT* result) override;

private:
    CImageList m_imageList;
    int m_bReady = 0;
    HTREEITEM m_hItems[3] = {nullptr, nullptr, nullptr};
    int m_nFilters[3] = {-1, -1, -1};
};
