#include "port_view.h"

#include <charconv>
#include <cstdio>
#include <cstring>

#include <ombrel/framework.h>

#include "frame_link.h"

namespace {

constexpr UINT kFirstHeader = 57666;
constexpr int kSmallIcon = 16;
constexpr UINT kImageFlags = ILC_COLOR32 | ILC_MASK;

struct ColumnLayout {
    int format;
    int width;
};
const ColumnLayout kColumns[] = {
    {LVCFMT_CENTER, 60}, // protocol
    {LVCFMT_LEFT, 140},  // local address and port
    {LVCFMT_LEFT, 140},  // remote address and port
    {LVCFMT_CENTER, 80}, // state
    {LVCFMT_CENTER, 80}, // process id
    {LVCFMT_LEFT, 300},  // process
};

// "%d" without the format machinery, which a fill of tens of thousands of
// rows would otherwise spend much of its time in.
char* Decimal(char* text, size_t size, int value) {
    *std::to_chars(text, text + size - 1, value).ptr = '\0';
    return text;
}

} // namespace

CPortView::CPortView(QWidget* parent) : CListView(parent) {}

CPortView::~CPortView() {
    // The control only uses the image list; it goes before the table.
    SetImageList(nullptr, LVSIL_SMALL);
}

BOOL CPortView::PreCreateWindow(CREATESTRUCT& cs) {
    DWORD style = static_cast<DWORD>(cs.style);
    style &= ~WS_BORDER;
    style |= LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS;
    cs.style = static_cast<LONG>(style);
    cs.dwExStyle &= ~(WS_EX_DLGMODALFRAME | WS_EX_WINDOWEDGE);
    cs.dwExStyle |= WS_EX_TRANSPARENT;
    return CListView::PreCreateWindow(cs);
}

void CPortView::OnInitialUpdate() {
    CListView::OnInitialUpdate();
    // A repeated initial update (a new or opened document in the same frame)
    // keeps the columns, styles and image list made the first time and only
    // takes a new snapshot and refills.
    if (GetColumnCount() == 0) {
        InsertColumns();
        SetExtendedStyle(LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
        m_imageList.Create(kSmallIcon, kSmallIcon, kImageFlags, 5, 5);
        SetImageList(&m_imageList, LVSIL_SMALL);
    }
    m_table.Refresh();
    FillList(-1);
}

void CPortView::InsertColumns() {
    std::string heading;
    for (int column = 0; column < 6; ++column) {
        heading = ombrel::platform::LoadResourceString(kFirstHeader + static_cast<UINT>(column));
        InsertColumn(column, heading.c_str(), kColumns[column].format, kColumns[column].width);
    }
}

void CPortView::ResetImageList() {
    m_imageList.DeleteImageList();
    m_imageList.Create(kSmallIcon, kSmallIcon, kImageFlags, 5, 5);
    SetImageList(&m_imageList, LVSIL_SMALL);
}

void CPortView::FillList(int filter) {
    LVITEMA item{};
    char text[512];
    HICON fallback = LoadIconA(nullptr, IDI_APPLICATION); // shared: never destroyed
    int image = -1;
    int row = 0;

    m_bReady = 0;
    SetRedraw(FALSE); // the rows appear at once when the fill is done
    ResetImageList();
    DeleteAllItems();

    int index = 0;
    PortEntry* entry = nullptr;
    for (int more = m_table.GetFirst(index, entry); more; more = m_table.GetNext(index, entry)) {
        if (entry == nullptr)
            continue;
        if (filter != -1 && entry->protocol != filter)
            continue;
        std::strcpy(text, entry->protocol == 0 ? "TCP" : "UDP");
        item.mask = LVIF_TEXT | LVIF_IMAGE | LVIF_PARAM;
        item.iItem = row;
        item.pszText = text;
        item.lParam = entry->key;
        HICON icon = entry->smallIcon != nullptr ? entry->smallIcon : fallback;
        if (icon != nullptr) {
            m_imageList.Add(icon); // a copy; the counter advances whatever it returns
            item.iImage = ++image;
        }
        InsertItem(&item);

        EndpointText(text, sizeof text, entry->localAddress, entry->localPort, entry->family);
        if (entry->compartmentName[0] != '\0')
            SetItemText(row, 1, (text + CompartmentSuffix(*entry)).c_str());
        else
            SetItemText(row, 1, text);
        SetItemText(row, 2,
                    EndpointText(text, sizeof text, entry->remoteAddress, entry->remotePort,
                                 entry->family));
        SetItemText(row, 3, entry->state);
        SetItemText(row, 4, Decimal(text, sizeof text, entry->processId));
        SetItemText(row, 5, entry->processPath);
        ++row;
    }
    SetRedraw(TRUE);
    m_bReady = 1;
}

void CPortView::RefreshList(int filter) {
    m_table.Refresh();
    FillList(filter);
}

void CPortView::OnReflectedNotify(NMHDR* header, LRESULT* result) {
    if (header != nullptr && header->code == LVN_ITEMCHANGED)
        OnItemchanged(header, result);
    else
        CListView::OnReflectedNotify(header, result);
}

void CPortView::OnItemchanged(NMHDR* header, LRESULT* result) {
    auto* notification = reinterpret_cast<NMLISTVIEW*>(header);
    if (m_bReady && notification != nullptr && notification->iItem != -1) {
        LVITEMA item{};
        item.mask = LVIF_PARAM;
        item.iItem = notification->iItem;
        if (GetItem(&item)) {
            if (PortEntry* entry = m_table.FindByKey(static_cast<int>(item.lParam)))
                if (CMainFrameLink* frame = GetMainFrameLink())
                    frame->ShowEntry(entry);
        }
    }
    if (result != nullptr)
        *result = 0;
}
