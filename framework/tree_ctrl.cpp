#include "tree_ctrl.h"

#include <QApplication>
#include <QHeaderView>
#include <QPainter>
#include <QProxyStyle>
#include <QStyledItemDelegate>

#include "image_list.h"
#include "view.h"

namespace {

// The tree's selection is its label's: the highlight covers the item's text
// and a margin around it, never the icon or the rest of the row.
class LabelSelectionDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        const QWidget* widget = opt.widget;
        const QStyle* style = widget ? widget->style() : QApplication::style();
        const bool selected = (opt.state & QStyle::State_Selected) != 0;
        const QPalette::ColorGroup group =
            (opt.state & QStyle::State_Active) ? QPalette::Active : QPalette::Inactive;

        if (opt.features & QStyleOptionViewItem::HasDecoration) {
            QRect iconRect = style->subElementRect(QStyle::SE_ItemViewItemDecoration, &opt, widget);
            opt.icon.paint(painter, iconRect, opt.decorationAlignment,
                           selected ? QIcon::Selected : QIcon::Normal, QIcon::On);
        }
        const QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget);
        const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
        QRect label(textRect.left(), textRect.top(),
                    opt.fontMetrics.horizontalAdvance(opt.text) + 2 * margin, textRect.height());
        label = label.intersected(opt.rect);
        painter->save();
        if (selected)
            painter->fillRect(label, opt.palette.brush(group, QPalette::Highlight));
        painter->setFont(opt.font);
        painter->setPen(
            opt.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
        painter->drawText(label.adjusted(margin, 0, -margin, 0),
                          Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, opt.text);
        painter->restore();
        if (opt.state & QStyle::State_HasFocus) {
            QStyleOptionFocusRect focus;
            focus.QStyleOption::operator=(opt);
            focus.rect = label;
            focus.state |= QStyle::State_KeyboardFocusChange;
            focus.backgroundColor =
                opt.palette.color(group, selected ? QPalette::Highlight : QPalette::Base);
            style->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, painter, widget);
        }
    }
};

// The lines and buttons before a selected item stay unlit: Qt asks the
// style whether the selection covers them when it paints each row.
class UnlitBranchesStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returned) const override {
        if (hint == SH_ItemView_ShowDecorationSelected)
            return 0;
        return QProxyStyle::styleHint(hint, option, widget, returned);
    }
};

} // namespace

CTreeCtrl::CTreeCtrl(QWidget* parent) : QTreeWidget(parent) {
    setHeaderHidden(true);
    setColumnCount(1);
    // Hidden, the header still reaches a screen reader: with no text it
    // reads as nothing rather than Qt's default column number.
    setHeaderLabels({QString()});
    setSelectionMode(QAbstractItemView::SingleSelection);
    // Items, not rows: the row beside the label is never highlighted.
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setItemDelegate(new LabelSelectionDelegate(this));
    auto* style = new UnlitBranchesStyle();
    style->setParent(this);
    setStyle(style);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setIconSize(QSize(16, 16));
    connect(this, &QTreeWidget::currentItemChanged, this, &CTreeCtrl::OnCurrentItemChanged);
}

void CTreeCtrl::ApplyStyles(LONG style, DWORD exStyle) {
    m_style = static_cast<DWORD>(style);
    // Without TVS_LINESATROOT the root items get neither button nor line.
    setRootIsDecorated((m_style & TVS_LINESATROOT) != 0);
    setItemsExpandable((m_style & TVS_HASBUTTONS) != 0);
    setDragEnabled((m_style & TVS_DISABLEDRAGDROP) == 0);
    setEditTriggers((m_style & TVS_EDITLABELS) ? QAbstractItemView::EditKeyPressed
                                               : QAbstractItemView::NoEditTriggers);
    ApplyCommonStyles(*this, (m_style & WS_BORDER) || (exStyle & WS_EX_CLIENTEDGE),
                      (m_style & TVS_SHOWSELALWAYS) != 0);
    viewport()->update();
}

CImageList* CTreeCtrl::SetImageList(CImageList* list, int type) {
    if (type != TVSIL_NORMAL)
        return nullptr;
    CImageList* old = m_images;
    m_images = list;
    if (list != nullptr)
        setIconSize(list->GetIconSize());
    return old;
}

HTREEITEM CTreeCtrl::InsertItem(const TVINSERTSTRUCTA* insert) {
    if (insert == nullptr)
        return nullptr;
    QTreeWidgetItem* parent = insert->hParent == TVI_ROOT || insert->hParent == nullptr
                                  ? nullptr
                                  : ItemOf(insert->hParent);
    auto* item = new QTreeWidgetItem();
    const TVITEMA& fields = insert->item;
    if ((fields.mask & TVIF_TEXT) && fields.pszText != nullptr)
        item->setText(0, QString::fromUtf8(fields.pszText));
    if (m_images != nullptr && (fields.mask & (TVIF_IMAGE | TVIF_SELECTEDIMAGE))) {
        QIcon icon;
        int normal = (fields.mask & TVIF_IMAGE) ? fields.iImage : 0;
        int selected = (fields.mask & TVIF_SELECTEDIMAGE) ? fields.iSelectedImage : normal;
        icon.addPixmap(m_images->GetImage(normal), QIcon::Normal);
        icon.addPixmap(m_images->GetImage(selected), QIcon::Selected);
        item->setIcon(0, icon);
    }
    item->setData(0, Qt::UserRole, QVariant::fromValue<qlonglong>(fields.lParam));
    int position = insert->hInsertAfter == TVI_FIRST ? 0 : -1;
    if (parent != nullptr)
        position < 0 ? parent->addChild(item) : parent->insertChild(position, item);
    else
        position < 0 ? addTopLevelItem(item) : insertTopLevelItem(position, item);
    return HandleOf(item);
}

BOOL CTreeCtrl::Expand(HTREEITEM item, UINT code) {
    if (item == nullptr)
        return FALSE;
    ItemOf(item)->setExpanded((code & TVE_EXPAND) != 0);
    return TRUE;
}

HTREEITEM CTreeCtrl::GetNextItem(HTREEITEM item, UINT code) const {
    switch (code) {
    case TVGN_ROOT:
        return HandleOf(topLevelItem(0));
    case TVGN_CARET:
        return HandleOf(currentItem());
    case TVGN_CHILD:
        return item ? HandleOf(ItemOf(item)->child(0)) : HandleOf(topLevelItem(0));
    case TVGN_NEXT: {
        if (item == nullptr)
            return nullptr;
        QTreeWidgetItem* self = ItemOf(item);
        QTreeWidgetItem* parent = self->parent();
        int at = parent ? parent->indexOfChild(self) : indexOfTopLevelItem(self);
        return HandleOf(parent ? parent->child(at + 1) : topLevelItem(at + 1));
    }
    default:
        return nullptr;
    }
}

BOOL CTreeCtrl::SelectItem(HTREEITEM item) {
    setCurrentItem(item ? ItemOf(item) : nullptr);
    return TRUE;
}

void CTreeCtrl::OnReflectedNotify(NMHDR*, LRESULT* result) {
    if (result != nullptr)
        *result = 0;
}

void CTreeCtrl::OnCurrentItemChanged(QTreeWidgetItem* current, QTreeWidgetItem* previous) {
    NMTREEVIEWA notification{};
    notification.hdr.hwndFrom = reinterpret_cast<HWND>(this);
    notification.hdr.code = TVN_SELCHANGEDA;
    notification.itemOld.hItem = HandleOf(previous);
    notification.itemNew.hItem = HandleOf(current);
    LRESULT result = 0;
    OnReflectedNotify(&notification.hdr, &result);
}

// TVS_HASLINES: dotted lines join every item to its parent; the root level
// has them only with TVS_LINESATROOT.
void CTreeCtrl::drawBranches(QPainter* painter, const QRect& rect, const QModelIndex& index) const {
    QTreeWidget::drawBranches(painter, rect, index);
    if (!(m_style & TVS_HASLINES))
        return;
    QTreeWidgetItem* item = itemFromIndex(index);
    if (item == nullptr)
        return;
    int depth = 0;
    for (QTreeWidgetItem* up = item->parent(); up != nullptr; up = up->parent())
        ++depth;
    int rootLevel = rootIsDecorated() ? 0 : 1; // the first level that has lines
    if (depth < rootLevel)
        return;
    const int step = indentation();
    auto hasNextSibling = [this](QTreeWidgetItem* node) {
        QTreeWidgetItem* parent = node->parent();
        int at = parent ? parent->indexOfChild(node) : indexOfTopLevelItem(node);
        int count = parent ? parent->childCount() : topLevelItemCount();
        return at + 1 < count;
    };
    painter->save();
    QPen pen(palette().color(QPalette::Mid));
    pen.setStyle(Qt::DotLine);
    painter->setPen(pen);
    int midY = rect.top() + rect.height() / 2;
    QTreeWidgetItem* node = item;
    for (int level = depth; level >= rootLevel; --level, node = node->parent()) {
        int x = rect.left() + (level - rootLevel) * step + step / 2;
        if (node == item) {
            painter->drawLine(x, rect.top(), x, hasNextSibling(node) ? rect.bottom() : midY);
            painter->drawLine(x, midY, x + step / 2, midY);
        } else if (hasNextSibling(node)) {
            painter->drawLine(x, rect.top(), x, rect.bottom());
        }
    }
    painter->restore();
}

QItemSelectionModel::SelectionFlags CTreeCtrl::selectionCommand(const QModelIndex& index,
                                                                const QEvent* event) const {
    QItemSelectionModel::SelectionFlags command =
        PressOnly(QTreeWidget::selectionCommand(index, event), index, m_pressed, event);
    if (command & (QItemSelectionModel::Deselect | QItemSelectionModel::Toggle))
        return index.isValid() ? QItemSelectionModel::ClearAndSelect
                               : QItemSelectionModel::NoUpdate;
    return command;
}

void CTreeCtrl::mousePressEvent(QMouseEvent* event) {
    m_pressed = indexAt(event->position().toPoint());
    QTreeWidget::mousePressEvent(event);
}

void CTreeCtrl::mouseMoveEvent(QMouseEvent* event) {
    if (IsDragMove(event))
        return;
    QTreeWidget::mouseMoveEvent(event);
}

bool CTreeCtrl::event(QEvent* event) {
    if (IsTabKey(event)) {
        event->accept();
        return true;
    }
    return QTreeWidget::event(event);
}
