// A view that is a tree control.
#pragma once

#include "tree_ctrl.h"
#include "view.h"

class CTreeView : public CTreeCtrl, public CView {
    Q_OBJECT
public:
    explicit CTreeView(QWidget* parent = nullptr) : CTreeCtrl(parent) {}

    BOOL Create(QWidget* parent) { return CreateViewWindow(*this, *this, parent); }

    CTreeCtrl& GetTreeCtrl() { return *this; }
};
