#include "class_view.h"
#include <cstdio>

#include "frame_link.h"

namespace {
constexpr WORD kFolderWithProgramIcon = 131;
constexpr WORD kClosedFolderIcon = 135;
} // namespace

CClassView::CClassView(QWidget* parent) : CTreeView(parent) {}

BOOL CClassView::PreCreateWindow(CREATESTRUCT& cs) {
    cs.style |=
        static_cast<LONG>(TVS_HASBUTTONS | TVS_HASLINES | TVS_DISABLEDRAGDROP | TVS_SHOWSELALWAYS);
    return CTreeView::PreCreateWindow(cs);
}

void CClassView::OnInitialUpdate() {
    CTreeView::OnInitialUpdate();
    // A repeated initial update (a new or opened document in the same frame)
    // keeps the items and slots and starts over from "All", as the list
    // does: the tree, the frame's filter and the rows agree.
    if (m_bReady) {
        SelectItem(GetNextItem(nullptr, TVGN_ROOT));
        return;
    }
    m_imageList.Create(16, 16, ILC_COLOR32 | ILC_MASK, 5, 5);
    for (WORD id : {kFolderWithProgramIcon, kClosedFolderIcon})
        if (HICON icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id)))
            m_imageList.Add(icon);
    SetImageList(&m_imageList, TVSIL_NORMAL);
    InsertItems();
    // This selection's notification finds the view not ready yet, so the
    // frame's filter is left at its -1.
    SelectItem(GetNextItem(nullptr, TVGN_ROOT));
    m_bReady = 1;
}

void CClassView::InsertItems() {
    TVINSERTSTRUCTA insert{};
    char text[8];
    auto add = [&](HTREEITEM parent, const char* label, int image) {
        std::snprintf(text, sizeof text, "%s", label);
        insert.hParent = parent;
        insert.hInsertAfter = TVI_LAST;
        insert.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
        insert.item.pszText = text;
        insert.item.iImage = image;
        insert.item.iSelectedImage = image;
        insert.item.lParam = 0;
        return InsertItem(&insert);
    };
    HTREEITEM all = add(TVI_ROOT, "All", 0);
    SetItemSlot(0, all, -1);
    SetItemSlot(1, add(all, "TCP", 1), 0);
    SetItemSlot(2, add(all, "UDP", 1), 1);
    Expand(all, TVE_EXPAND);
}

void CClassView::SetItemSlot(unsigned index, HTREEITEM item, int filter) {
    if (index >= 3)
        return;
    m_hItems[index] = item;
    m_nFilters[index] = filter;
}

void CClassView::OnReflectedNotify(NMHDR* header, LRESULT* result) {
    if (header != nullptr && header->code == TVN_SELCHANGEDA)
        OnSelchanged(header, result);
    else
        CTreeView::OnReflectedNotify(header, result);
}

void CClassView::OnSelchanged(NMHDR*, LRESULT* result) {
    if (m_bReady) {
        HTREEITEM selected = GetNextItem(nullptr, TVGN_CARET);
        for (unsigned slot = 0; slot < 3; ++slot) {
            if (m_hItems[slot] != selected)
                continue;
            if (CMainFrameLink* frame = GetMainFrameLink())
                frame->SetFilter(m_nFilters[slot]);
            break;
        }
    }
    if (result != nullptr)
        *result = 0;
}
