// The framework's way of making each kind of pane from its class.
#pragma once

#include "splitter_wnd.h"

// Makes a view of that class inside parent; none when it cannot be made.
template <typename View> QWidget* CreateViewObject(QWidget* parent, CCreateContext*) {
    auto* view = new View();
    if (!view->Create(parent)) {
        delete view;
        return nullptr;
    }
    return view;
}

template <typename View> CRuntimeClass RuntimeClassOf() {
    return &CreateViewObject<View>;
}
