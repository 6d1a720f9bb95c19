// A view that is a tree control.
#pragma once

#include "tree_ctrl.h"
#include "view.h"

class CTreeView : public CTreeCtrl, public CView {
    Q_OBJECT
public:
    explicit CTreeView(QWidget* parent = nullptr) : CTreeCtrl(parent) {}

    BOOL Create(QWidget* parent, DWORD style = kDefaultViewStyle) {
        return CreateViewWindow(*this, *this, parent, style);
    }

    CTreeCtrl& GetTreeCtrl() { return *this; }
};
