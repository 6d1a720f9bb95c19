// A view that is a list control.
#pragma once

#include "list_ctrl.h"
#include "view.h"

class CListView : public CListCtrl, public CView {
    Q_OBJECT
public:
    explicit CListView(QWidget* parent = nullptr) : CListCtrl(parent) {}

    BOOL Create(QWidget* parent, DWORD style = kDefaultViewStyle) {
        return CreateViewWindow(*this, *this, parent, style);
    }

    CListCtrl& GetListCtrl() { return *this; }
};
